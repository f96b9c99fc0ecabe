// The run file read back as a history of the daemon's current (or last) run: per configured
// program its ends by exit code and by signal and its last end, and for all programs
// together the restarts of all, the installations and the SIGSEGV ends that set the next
// back-off. Pure: it sees the text only; watchd-status feeds it the file line by line.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "files/runfile.h"
#include "supervisor/state.h"

namespace watchd {

// Exit codes and signal numbers are bytes of a wait status.
constexpr int END_CODES = 256;
constexpr int INSTALL_KINDS = 3;  // EXIT_INSTALL_PLUGIN, EXIT_INSTALL_LUA, EXIT_INSTALL_SIG

struct program_history {
    uint32_t ends;
    uint32_t exits[END_CODES];    // by exit code
    uint32_t signals[END_CODES];  // by signal number
    uint32_t segv_ends;
    bool has_last;
    exit_line_fields last;
};

struct run_history {
    const char* names[MAX_SLOTS];  // the configured programs, owned by the caller
    int count;
    program_history programs[MAX_SLOTS];
    uint32_t other_ends;    // whole lines of programs that are not configured now
    uint32_t segv_ends;     // of all programs: the back-off counts them together
    uint32_t restarts_all;  // exits with EXIT_RESTART_ALL
    uint32_t installs[INSTALL_KINDS];
    uint32_t cut_lines;        // cut by an old format, the size bound, or not ended yet
    uint32_t malformed_lines;  // whole lines the daemon cannot have written
};

// Empties history for the configured names (at most MAX_SLOTS are used).
void start_history(run_history* history, const char* const* names, int count);

// Adds one line of the run file after its first; len includes the line end when it has one.
void add_run_line(run_history* history, const char* line, size_t len);

// Adds every line of text, the run file after its first line.
void summarize_run_text(run_history* history, const char* text, size_t len);

// The back-off in seconds that the next SIGSEGV end of any program would get.
unsigned next_segv_backoff(const run_history& history);

}  // namespace watchd
