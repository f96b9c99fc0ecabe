// The protocol every component of the daemon shares: the exit codes children steer it with,
// the fixed directories and files it works in, the boot-check record's member names and the
// buffer capacities. A leaf: it includes nothing of the daemon's own.
#pragma once

namespace watchd {

// Children steer the daemon by ending with one of these codes.
constexpr int EXIT_EXEC_FAILED = 129;     // the child's exec failed; the cycle failed
constexpr int EXIT_INSTALL_PLUGIN = 130;  // install the waiting plug-in archive
constexpr int EXIT_INSTALL_LUA = 131;     // install the waiting Lua data file
constexpr int EXIT_INSTALL_SIG = 132;     // install the waiting signature file
constexpr int EXIT_RESTART_ALL = 160;     // restart every watched program

constexpr const char* RUNTIME_DIR = "/tmp/.uci/";
constexpr const char* DATA_DIR = "/data/";

// The package a child leaves in the runtime directory before it ends with 130, 131 or 132;
// UPGRADE_PACKAGE_PATH joins the two.
constexpr const char* UPGRADE_PACKAGE_NAME = "ttupgrade.tgz";
constexpr const char* UPGRADE_PACKAGE_PATH = "/tmp/.uci//ttupgrade.tgz";
constexpr const char* LUA_DATA_TARGET = "/data//init.bin";
constexpr const char* SIGNATURE_TARGET = "/data//m01_sig.bin";

// Members of the boot-check record.
constexpr const char* MEMBER_VERSION = "version";
constexpr const char* MEMBER_PLUGINDATA = "plugindata";
constexpr const char* MEMBER_LUADATA = "luadata";
constexpr const char* MEMBER_SIGDATA = "sigdata";

constexpr int PATH_CAPACITY = 4096;       // names, the run-file path, the working directory
constexpr int DATA_PATH_CAPACITY = 8192;  // paths under the data directory

}  // namespace watchd
