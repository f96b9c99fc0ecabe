// The run file under the runtime directory: the instance lock that keeps a second daemon of
// the same name from starting, and the time-stamped log of every child end that the
// supervision cycle reaps. Start-up takes the lock once; the cycle logs through its descriptor.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

namespace watchd {

constexpr size_t EXIT_LINE_CAPACITY = 256;
constexpr size_t TIME_TEXT_CAPACITY = 64;
// /tmp is RAM on a router: past this size the log keeps its first line and its newest half.
constexpr off_t RUN_FILE_LIMIT = off_t{1024} * 1024;
constexpr off_t RUN_FILE_KEEP = RUN_FILE_LIMIT / 2;

// Opens (never through a symbolic link, and only a regular file), locks and empties the file
// at path, then writes len bytes of data into it: the descriptor, or -1 with nothing left open.
[[nodiscard]] int acquire_run_lock(const char* path, const char* data, int32_t len);

// Appends one line for a child's end. exited_normally 1 means the child exited with code;
// any other value means a signal ended it. A descriptor of 0 or less means no run file.
void log_child_exit(int32_t code, int32_t exited_normally, const char* name, int32_t fd);

// The asctime() text of when, without its line end.
void format_time_text(time_t when, char (&text)[TIME_TEXT_CAPACITY]);

// The log line for a child's end. A line too long for the buffer is cut so that it still ends
// with its line end. Returns its length.
size_t format_exit_line(char (&line)[EXIT_LINE_CAPACITY], const char* time_text, const char* name,
                        int32_t code, int32_t exited_normally);

// The fields of one run-file line, as format_exit_line was given them.
struct exit_line_fields {
    char time_text[TIME_TEXT_CAPACITY];
    char name[EXIT_LINE_CAPACITY];
    int32_t code;
    int32_t exited_normally;  // 1 or 0
};

// Reads back a line of len bytes (its line end included) that format_exit_line wrote whole:
// true only when formatting the fields again gives the same bytes. A line of
// EXIT_LINE_CAPACITY - 1 bytes may still be the cut start of a longer one; only the caller,
// knowing the program names, can tell.
[[nodiscard]] bool parse_exit_line(const char* line, size_t len, exit_line_fields* fields);

}  // namespace watchd
