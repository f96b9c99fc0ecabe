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

}  // namespace watchd
