// Installation of the upgrade package that a child leaves in the runtime directory before it
// ends with 130, 131 or 132: extract or copy it into the data directory, note it in the
// boot-check record, remove the package. Called by the supervision cycle.
#pragma once

#include <stddef.h>
#include <sys/stat.h>

#include "protocol/protocol.h"

namespace watchd {

constexpr size_t EXTRACT_COMMAND_CAPACITY = 2048;

// The shell command that has the extraction tool (m01_load, beside the daemon) unpack the
// plug-in archive, open as package_fd (inherited by the tool), into the data directory.
int format_extract_command(int package_fd, char (&command)[EXTRACT_COMMAND_CAPACITY]);

// Whether an entry of this status may hand over a package (the runtime directory, S_IFDIR)
// or be installed (the package, S_IFREG): of that type and owner, and nobody else may write it.
bool trusted_entry(const struct stat& info, mode_t type, uid_t owner);

// Whether a status from system() means the command ran and exited with 0.
bool command_succeeded(int status);

// Installs the waiting package as the exit-code protocol's rule for code says (130, 131 or
// 132) and records it. Does nothing when no package waits. A package in a runtime directory
// that others could have changed, or one that is no regular file of the daemon's user or that
// others could write, is refused and left in place. A failed installation, or a record that
// cannot be read, leaves the record as it was (even one that the archive brought along is
// taken back).
void install_upgrade(int code);

}  // namespace watchd
