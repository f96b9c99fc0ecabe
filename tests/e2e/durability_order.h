// Power-safety of an installation, judged from a system-call trace (`strace -f -y` output,
// pid-prefixed lines). A SIGKILL leaves the page cache alone, so the order of fsync and
// rename calls is what stands in for a real power cut. Pure: the end-to-end durability test
// feeds it a live trace, and a table of canned traces checks the rules themselves.
#pragma once

#include <string>
#include <vector>

namespace watchd_e2e {

struct durability_report {
    // One line per broken rule, naming the path.
    std::vector<std::string> violations;
    // Final paths under the data directory that a successful rename created, in order.
    std::vector<std::string> renamed_into_place;
    bool record_written = false;  // a rename onto the record path succeeded
};

// The rules, for every path under data_dir:
// - a file is never written under its final name: it reaches it by a rename;
// - a file (or everything below a directory) is fsynced before it is renamed into place;
// - the directory an entry was renamed into is fsynced after the rename;
// - when the record's temporary file is created, nothing of the package is still unsynced
//   and no package entry is renamed into place later.
durability_report check_durable_installation(const std::string& trace, const std::string& data_dir,
                                             const std::string& record_path);

}  // namespace watchd_e2e
