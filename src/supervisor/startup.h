// The steps that prepare the daemon's process before supervision: closing inherited
// descriptors, fixing the run-file path, moving into the daemon's directory, making sure
// the runtime directory exists and registering the instance in its run file. main calls them
// once; the launcher's child reuses the first.
#pragma once

#include "supervisor/watchd.h"

namespace watchd {

// Closes every descriptor from first up (3 when first is 0 or less), without one system
// call per possible descriptor where the system allows it.
void close_inherited_fds(int first);

// Opens /dev/null on each of standard input, output and error that is closed, so that no
// file the daemon opens later takes their place (the run file as stdout would swallow the
// messages; as stdin, descriptor 0, it would count as no run file).
void open_missing_standard_streams();

// The three ways close_inherited_fds tries in turn. The first two return false when the
// system does not offer them (no close_range, no /proc).
bool close_with_close_range(int first);
bool close_listed_fds(int first);
void close_up_to_limit(int first);

// The run file's path: the runtime directory, the base name of argv0, ".run". 0 or -1 when
// it does not fit.
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
