// The names the daemon writes in its data directory, and the suffix of the temporary file its
// temp-and-rename writer puts beside each. Shared with the extraction tool, which keeps
// packages off them.
#pragma once

namespace watchd {

constexpr const char* DAEMON_DATA_NAMES[] = {".bootchk", "init.bin", "m01_sig.bin"};
constexpr const char DAEMON_TEMP_SUFFIX[] = ".tmp";

}  // namespace watchd
