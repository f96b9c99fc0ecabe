// The steps that prepare the daemon's process before supervision: fixing the run-file path,
// moving into the daemon's directory, making sure the runtime directory exists and
// registering the instance in its run file. main calls them once.
#pragma once

#include "supervisor/state.h"

namespace watchd {

// Opens /dev/null on each of standard input, output and error that is closed, so that no
// file the daemon opens later takes their place (the run file as stdout would swallow the
// messages; as stdin, descriptor 0, it would count as no run file).
void open_missing_standard_streams();

// The run file's path: the runtime directory, the base name of argv0, ".run". 0, or -1 when
// argv0 or the path does not fit a path buffer: such an argv0 would silently name another
// directory or run file.
[[nodiscard]] int format_run_path(const char* argv0, char (&run_path)[PATH_CAPACITY]);

// Changes into the directory part of path; stays put when path has no directory part or the
// change fails.
void enter_program_dir(const char* path);

// 0 when the runtime directory exists or was created, -1 after printing why not.
[[nodiscard]] int ensure_uci_dir();

// Locks the run file of state with the working directory as its first line. 0, or -1 after
// printing why (the daemon then ends).
[[nodiscard]] int register_instance(const char* argv0, watch_state* state);

}  // namespace watchd
