// Bounded text: every path, command and message of the daemon is formatted or built into a
// buffer of fixed capacity, and a text that does not fit is reported instead of being cut.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

namespace watchd {

// Formats into buf of capacity cap. Returns the formatted length, or -1 when the text did
// not fit (buf then holds the cut text) or the format failed.
[[gnu::format(printf, 3, 4)]] inline int format_text(char* buf, size_t cap, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(buf, cap, fmt, args);
    va_end(args);
    return n < 0 || static_cast<size_t>(n) >= cap ? -1 : n;
}

// Builds a text in a buffer of fixed capacity piece by piece, remembering whether everything
// fitted. The buffer always holds a terminated text.
class text_appender {
  public:
    text_appender(char* buf, size_t cap) : buf_(buf), cap_(cap) { buf_[0] = '\0'; }

    void put(char c) {
        if (len_ + 1 >= cap_) {
            fitted_ = false;
            return;
        }
        buf_[len_++] = c;
        buf_[len_] = '\0';
    }
    void put(const char* text) {
        while (*text != '\0')
            put(*text++);
    }
    bool fitted() const { return fitted_; }

  private:
    char* buf_;
    size_t cap_;
    size_t len_ = 0;
    bool fitted_ = true;
};

}  // namespace watchd
