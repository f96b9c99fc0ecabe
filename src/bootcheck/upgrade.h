// Installation of the upgrade package that a child leaves in the runtime directory before it
// ends with 130, 131 or 132: extract or copy it into the data directory, note it in the
// boot-check record, remove the package. Called by the supervision cycle.
#pragma once

#include <stddef.h>

namespace watchd {

constexpr const char* UPGRADE_PACKAGE_PATH = "/tmp/.uci//ttupgrade.tgz";
constexpr const char* LUA_DATA_TARGET = "/data//init.bin";
constexpr const char* SIGNATURE_TARGET = "/data//m01_sig.bin";
constexpr const char* EXTRACT_TOOL = "m01_load";
constexpr size_t EXTRACT_COMMAND_CAPACITY = 2048;

// The shell command that extracts the plug-in archive into the data directory.
int format_extract_command(char (&command)[EXTRACT_COMMAND_CAPACITY]);

// Whether a status from system() means the command ran and exited with 0.
bool command_succeeded(int status);

// Installs the waiting package for exit code 130, 131 or 132 and records it. Does nothing
// when no readable regular file waits at the package path. A failed installation leaves the
// record as it was (even one that the archive brought along is taken back).
void install_upgrade(int code);

}  // namespace watchd
