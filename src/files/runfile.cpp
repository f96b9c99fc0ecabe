#include "files/runfile.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "base/output.h"
#include "base/resources.h"
#include "base/text.h"
#include "files/fileio.h"
#include "protocol/protocol.h"

namespace watchd {
namespace {

constexpr size_t MOVE_CHUNK = 4096;
// The first line is the working directory: at most PATH_CAPACITY - 1 characters and "\n".
constexpr size_t FIRST_LINE_MAX = PATH_CAPACITY;
constexpr const char EXITED_TEXT[] = " exited normally with code(";
constexpr const char KILLED_TEXT[] = " killed by signal(";

// Offset just past the first line end at or after from, end when there is none, or -1 when
// a read fails.
off_t next_line_start(int fd, off_t from, off_t end) {
    char chunk[MOVE_CHUNK];
    while (from < end) {
        ssize_t got = pread(fd, chunk, sizeof chunk, from);
        if (got < 0)
            return -1;
        if (got == 0)
            return end;
        const void* newline = memchr(chunk, '\n', static_cast<size_t>(got));
        if (newline != nullptr)
            return from + (static_cast<const char*>(newline) - chunk) + 1;
        from += got;
    }
    return end;
}

// Calls transfer (pread or pwrite) until all len bytes at offset at are read or written. false
// when a call fails or the file ends early.
template <typename Transfer>
bool transfer_all(Transfer transfer, int fd, char* buf, size_t len, off_t at) {
    while (len > 0) {
        const ssize_t done = transfer(fd, buf, len, at);
        if (done <= 0)
            return false;
        buf += done;
        len -= static_cast<size_t>(done);
        at += done;
    }
    return true;
}

// Copies [from, end) down to offset to (to < from), front to back. false when a read or write
// fails or the file ends early.
bool move_down(int fd, off_t from, off_t end, off_t to) {
    char chunk[MOVE_CHUNK];
    while (from < end) {
        const auto want = static_cast<size_t>(std::min(end - from, off_t(sizeof chunk)));
        if (!transfer_all(pread, fd, chunk, want, from) ||
            !transfer_all(pwrite, fd, chunk, want, to))
            return false;
        from += off_t(want);
        to += off_t(want);
    }
    return true;
}

// Moves [from, end) down to offset to and cuts the file there. The bytes that the move
// overwrites are kept in memory first, so that a failed read, write or truncation puts them
// back: the file is then as it was, and the next cut tries again.
bool cut_run_file(int fd, off_t to, off_t from, off_t end) {
    const size_t len = static_cast<size_t>(end - from);
    malloc_text overwritten(static_cast<char*>(malloc(len > 0 ? len : 1)));
    if (!overwritten || !transfer_all(pread, fd, overwritten.get(), len, to))
        return false;
    if (move_down(fd, from, end, to) && ftruncate(fd, to + off_t(len)) == 0)
        return true;
    (void)transfer_all(pwrite, fd, overwritten.get(), len, to);
    return false;
}

// Keeps the run file under RUN_FILE_LIMIT. Called before incoming more bytes are written:
// when they would bring it past the limit, the file is rewritten in place to its first line plus
// the newest whole lines that fit in RUN_FILE_KEEP, and the descriptor is left at its end. A
// cut that fails leaves the file as it was.
void bound_run_file(int fd, size_t incoming) {
    struct stat info;
    if (fstat(fd, &info) != 0)
        return;
    const off_t size = info.st_size;
    if (std::max(lseek(fd, 0, SEEK_CUR) + off_t(incoming), size) <= RUN_FILE_LIMIT)
        return;

    const off_t first_line_end = next_line_start(fd, 0, std::min(size, off_t(FIRST_LINE_MAX)));
    if (first_line_end < 0)
        return;
    off_t tail_from = std::max(size - (RUN_FILE_KEEP - first_line_end), first_line_end);
    // Start at a whole line: the byte before tail_from must be a line end.
    if (tail_from > first_line_end)
        tail_from = next_line_start(fd, tail_from - 1, size);
    if (tail_from < 0 || !cut_run_file(fd, first_line_end, tail_from, size)) {
        // The file is as it was: the new line goes behind everything in it.
        lseek(fd, 0, SEEK_END);
        return;
    }
    lseek(fd, first_line_end + (size - tail_from), SEEK_SET);
}

}  // namespace

int acquire_run_lock(const char* path, const char* data, int32_t len) {
    if (path == nullptr) {
        say_line("NULL file name");
        return -1;
    }
    // O_NOFOLLOW: a symbolic link planted here must not get its target truncated. A FIFO or
    // device would block or swallow the log: only a regular file will do.
    unique_fd fd = open_regular_file(path, O_RDWR | O_CREAT | O_NOFOLLOW, 0644);
    if (!fd.valid()) {
        say("failed to open %s\n", path);
        return -1;
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        say("already in use for %s\n", path);
        return -1;
    }
    if (ftruncate(fd.get(), 0) != 0) {
        // Logging goes on without a clean file; there is nobody to tell.
    }
    if (len > 0)
        (void)write_all(fd.get(), data, static_cast<size_t>(len));
    return fd.release();
}

void format_time_text(time_t when, char (&text)[TIME_TEXT_CAPACITY]) {
    struct tm local;
    // asctime_r fills 26 bytes: a year of more than four characters does not fit, and where
    // glibc then gives no text, musl ends the process. Such a year is not even asked for.
    if (localtime_r(&when, &local) == nullptr || local.tm_year < -999 - 1900 ||
        local.tm_year > 9999 - 1900 || asctime_r(&local, text) == nullptr)
        format_text(text, sizeof text, "?");
    if (char* line_end = strrchr(text, '\n'); line_end != nullptr)
        *line_end = '\0';
}

size_t format_exit_line(char (&line)[EXIT_LINE_CAPACITY], const char* time_text, const char* name,
                        int32_t code, int32_t exited_normally) {
    int n = snprintf(line, sizeof line, "%s: %s%s%d)\n", time_text, name,
                     exited_normally == 1 ? EXITED_TEXT : KILLED_TEXT, code);
    if (n < 0) {
        line[0] = '\0';
        return 0;
    }
    if (static_cast<size_t>(n) < sizeof line)
        return static_cast<size_t>(n);
    // Cut, but keep the line end so the next line does not run into this one.
    line[sizeof line - 2] = '\n';
    line[sizeof line - 1] = '\0';
    return sizeof line - 1;
}

namespace {

// The widest number "%d" writes: a sign and ten digits.
constexpr size_t NUMBER_DIGITS_MAX = 11;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Length of the time text that starts text and is followed by ": ", or 0. The text is
// asctime()'s "%.3s %.3s%3d %.2d:%.2d:%.2d %d" or format_time_text's "?".
size_t time_text_length(const char* text, size_t len) {
    if (len >= 3 && memcmp(text, "?: ", 3) == 0)
        return 1;
    // "Mon Dec  7 05:42:50 " is 20 characters: letters, blanks, digits and colons in place.
    static const char shape[] = "aaa aaa _d dd:dd:dd ";
    const size_t fixed = sizeof shape - 1;
    if (len < fixed)
        return 0;
    for (size_t i = 0; i < fixed; ++i) {
        const char c = text[i];
        const bool ok = shape[i] == 'a'   ? (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')
                        : shape[i] == 'd' ? is_digit(c)
                        : shape[i] == '_' ? c == ' ' || is_digit(c)
                                          : c == shape[i];
        if (!ok)
            return 0;
    }
    size_t end = fixed;
    if (end < len && text[end] == '-')
        ++end;
    const size_t digits_from = end;
    while (end < len && is_digit(text[end]) && end - digits_from < NUMBER_DIGITS_MAX)
        ++end;
    if (end == digits_from || end + 2 > len || text[end] != ':' || text[end + 1] != ' ')
        return 0;
    return end;
}

}  // namespace

bool parse_exit_line(const char* line, size_t len, exit_line_fields* fields) {
    if (len < 2 || len >= EXIT_LINE_CAPACITY || line[len - 1] != '\n' || line[len - 2] != ')')
        return false;
    // The code follows the last "(": the digits stop at the closing ")" at the latest.
    const auto* open = static_cast<const char*>(memrchr(line, '(', len));
    if (open == nullptr)
        return false;
    char* code_end = nullptr;
    const long long code = strtoll(open + 1, &code_end, 10);
    if (code_end != line + len - 2 || code < INT32_MIN || code > INT32_MAX)
        return false;
    // The text before it tells the kind; a line of the other kind does not format back.
    const size_t kind_end = static_cast<size_t>(open - line) + 1;
    const size_t exited_len = sizeof EXITED_TEXT - 1;
    fields->exited_normally =
        static_cast<int32_t>(kind_end >= exited_len &&
                             memcmp(line + kind_end - exited_len, EXITED_TEXT, exited_len) == 0);
    const size_t kind_len = fields->exited_normally == 1 ? exited_len : sizeof KILLED_TEXT - 1;
    const size_t time_len = kind_end >= kind_len ? time_text_length(line, kind_end - kind_len) : 0;
    if (time_len == 0 || time_len >= sizeof fields->time_text)
        return false;
    const size_t name_begin = time_len + 2;
    format_text(fields->time_text, sizeof fields->time_text, "%.*s", static_cast<int>(time_len),
                line);
    format_text(fields->name, sizeof fields->name, "%.*s",
                static_cast<int>(kind_end - kind_len - name_begin), line + name_begin);
    fields->code = static_cast<int32_t>(code);

    // A zero byte in the name, a sign, blanks or leading zeros in the code, another text before
    // it: whatever the pieces are, they must format back to the line byte for byte.
    char again[EXIT_LINE_CAPACITY];
    const size_t again_len = format_exit_line(again, fields->time_text, fields->name, fields->code,
                                              fields->exited_normally);
    return again_len == len && memcmp(again, line, len) == 0;
}

void log_child_exit(int32_t code, int32_t exited_normally, const char* name, int32_t fd) {
    if (fd <= 0)
        return;
    char time_text[TIME_TEXT_CAPACITY];
    format_time_text(time(nullptr), time_text);
    char line[EXIT_LINE_CAPACITY];
    size_t len = format_exit_line(line, time_text, name, code, exited_normally);
    bound_run_file(fd, len);
    (void)write_all(fd, line, len);
}

}  // namespace watchd
