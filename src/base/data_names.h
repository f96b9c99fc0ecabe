// The names the daemon writes in its data directory, and the suffix of the temporary file its
// temp-and-rename writer puts beside each. Shared with the extraction tool, which keeps
// packages off them.
#pragma once

#include <string_view>

namespace watchd {

constexpr const char* DAEMON_DATA_NAMES[] = {".bootchk", "init.bin", "m01_sig.bin"};
constexpr const char DAEMON_TEMP_SUFFIX[] = ".tmp";

// Whether path ends with "/" and name: the daemon's full paths are checked against the names
// above when it is compiled, so that the two cannot drift apart.
constexpr bool path_names(std::string_view path, std::string_view name) {
    return path.size() > name.size() && path[path.size() - name.size() - 1] == '/' &&
           path.substr(path.size() - name.size()) == name;
}

}  // namespace watchd
