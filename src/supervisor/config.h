// The process table's configuration: the JSON file in the daemon's directory that names the
// programs to watch, or the built-in program when it names none. Loaded once by main.
#pragma once

#include "supervisor/state.h"

namespace watchd {

// Fills count and slots from the JSON file at path. 0, or -1 when the file is missing, empty
// or not JSON, an element has no string "base", or it lists more programs than there are
// slots.
[[nodiscard]] int load_watch_config(const char* path, watch_state* state);

}  // namespace watchd
