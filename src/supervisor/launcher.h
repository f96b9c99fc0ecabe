// Starting one watched program as a child: the program path by start mode, the child's
// command line, closing inherited descriptors (main at start-up, the child before exec) and
// the set-up that makes the child die with the daemon. The supervision cycle calls start_slot
// for every slot of a cycle and for each single restart.
#pragma once

#include <stdint.h>

#include "supervisor/state.h"

namespace watchd {

constexpr int MAX_CHILD_ARGS = 16;  // the terminating null pointer included
constexpr const char* PLUGIN_ODM_TAG = "brelvant_odm";

// A child's argument list. The program path is referenced, not copied, so it is never cut.
struct child_args {
    const char* argv[MAX_CHILD_ARGS];
    char restart_text[12];
};

// Composes path [-r code] [-d] [-T runtime -D data -O tag]: -r when restart_code is not 0,
// -d when debug is 1, the plugin-mode options when extended is 1.
void build_child_args(const char* path, int32_t restart_code, int32_t debug, int32_t extended,
                      child_args* args);

// The program path of a slot: the name itself, or the name under the data directory in
// plugin mode. 0, or -1 when it does not fit.
[[nodiscard]] int format_program_path(const char* name, int32_t plugin_mode,
                                      char (&path)[DATA_PATH_CAPACITY]);

// Closes every descriptor but the standard streams, without one system call per possible
// descriptor where the system allows it.
void close_inherited_fds();

// The three ways close_inherited_fds tries in turn, closing from first up. The first two
// return false when the system does not offer them (no close_range, no /proc).
bool close_with_close_range(int first);
bool close_listed_fds(int first);
void close_up_to_limit(int first);

// Starts slot index in the current mode as a child (vfork) that executes its program with
// every signal at its default and none blocked, and stores the pid in the slot: -1 when the
// path does not fit, or after printing "failed to fork". A child whose exec fails prints why
// and ends with _exit(EXIT_EXEC_FAILED).
void start_slot(watch_state* state, int index, int32_t restart_code);

}  // namespace watchd
