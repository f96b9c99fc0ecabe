// The supervisor's state and the protocol it shares with its children: watch_state (owned by
// main for the life of the process), the process table, the reserved exit codes and the
// fixed directories that every component works in.
#pragma once

#include <stdint.h>

namespace watchd {

// Children steer the daemon by ending with one of these codes.
constexpr int EXIT_EXEC_FAILED = 129;     // the child's exec failed; the cycle failed
constexpr int EXIT_INSTALL_PLUGIN = 130;  // install the waiting plug-in archive
constexpr int EXIT_INSTALL_LUA = 131;     // install the waiting Lua data file
constexpr int EXIT_INSTALL_SIG = 132;     // install the waiting signature file
constexpr int EXIT_RESTART_ALL = 160;     // restart every watched program

constexpr const char* RUNTIME_DIR = "/tmp/.uci/";
constexpr const char* DATA_DIR = "/data/";
constexpr const char* CONFIG_FILE = "config";
constexpr const char* DEFAULT_PROGRAM = "kelvra-dpi-inner";

constexpr int MAX_SLOTS = 4;
constexpr int PATH_CAPACITY = 4096;       // names, the run-file path, the working directory
constexpr int DATA_PATH_CAPACITY = 8192;  // paths under the data directory

struct proc_slot {
    char name[PATH_CAPACITY];  // file that is started and process name that is killed
    int32_t pid;               // 0 before the first start, negative after a failed fork
};

struct watch_state {
    char run_path[PATH_CAPACITY];
    int32_t debug_flag;   // 1: every child gets -d
    int32_t plugin_mode;  // 1: children start from the data directory with extended options
    int32_t lock_fd;      // the locked run file, or negative
    int32_t count;        // slots in use
    proc_slot slots[MAX_SLOTS];
    uint32_t segv_count;  // SIGSEGV ends so far, all slots together; never reset
};

}  // namespace watchd
