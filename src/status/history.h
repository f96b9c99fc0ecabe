// The run file read back as a history of the daemon's current (or last) run: per configured
// program its ends by exit code and by signal and its last end, and for all programs
// together the restarts of all, the installations and the SIGSEGV ends that set the next
// back-off. Pure: it sees the text only, in pieces of any size, and splits it into lines.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "files/runfile.h"
#include "supervisor/state.h"

namespace watchd {

// Exit codes and signal numbers are bytes of a wait status.
constexpr int END_CODES = 256;
// The daemon writes at most this many bytes a line, its line end included.
constexpr size_t LONGEST_RUN_LINE = EXIT_LINE_CAPACITY - 1;

struct program_history {
    uint32_t ends;
    uint32_t exits[END_CODES];    // by exit code
    uint32_t signals[END_CODES];  // by signal number
    uint32_t segv_ends;
    bool has_last;
    exit_line_fields last;
};

struct run_history {
    char names[MAX_SLOTS][PATH_CAPACITY];  // the configured programs
    int count;
    program_history programs[MAX_SLOTS];
    uint32_t other_ends;    // whole lines of programs that are not configured now
    uint32_t segv_ends;     // of all programs: the back-off counts them together
    uint32_t restarts_all;  // exits with EXIT_RESTART_ALL
    uint32_t installs[EXIT_INSTALL_SIG - EXIT_INSTALL_PLUGIN + 1];  // from EXIT_INSTALL_PLUGIN on
    uint32_t cut_lines;        // cut by an old format, the size bound, or not ended yet
    uint32_t malformed_lines;  // whole lines the daemon cannot have written
    // The line read so far; one longer than LONGEST_RUN_LINE is only counted, not kept.
    char line[LONGEST_RUN_LINE];
    size_t line_len;
};

// Empties history for the configured names (at most MAX_SLOTS are used, each cut to fit).
void start_history(run_history* history, const char* const* names, int count);

// Adds the next len bytes of the run file after its first line; a line may come in pieces.
void add_run_text(run_history* history, const char* text, size_t len);
// At the end of the file: a last line without its line end is counted as cut.
void end_run_text(run_history* history);

// The back-off in seconds that the next SIGSEGV end of any program would get.
unsigned next_segv_backoff(const run_history& history);

}  // namespace watchd
