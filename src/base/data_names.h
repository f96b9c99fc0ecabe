// The names the daemon writes in its data directory, and the suffix of the temporary file its
// temp-and-rename writer puts beside each. Shared with the extraction tool, which keeps
// packages off them.
#pragma once

#include <stddef.h>

namespace watchd {

constexpr const char* DAEMON_DATA_NAMES[] = {".bootchk", "init.bin", "m01_sig.bin"};
constexpr const char DAEMON_TEMP_SUFFIX[] = ".tmp";

// Whether path ends with "/" and name: the daemon's full paths are checked against the names
// above when it is compiled, so that the two cannot drift apart.
constexpr bool path_names(const char* path, const char* name) {
    size_t path_len = 0;
    size_t name_len = 0;
    while (path[path_len] != '\0')
        ++path_len;
    while (name[name_len] != '\0')
        ++name_len;
    if (name_len >= path_len || path[path_len - name_len - 1] != '/')
        return false;
    for (size_t i = 0; i < name_len; ++i)
        if (path[path_len - name_len + i] != name[i])
            return false;
    return true;
}

}  // namespace watchd
