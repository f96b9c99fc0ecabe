// The supervisor's state: watch_state (owned by main for the life of the process) and the
// process table. The protocol it shares with its children and the other components is in
// protocol/protocol.h.
#pragma once

#include <stdint.h>

#include "protocol/protocol.h"

namespace watchd {

constexpr const char* CONFIG_FILE = "config";
constexpr const char* DEFAULT_PROGRAM = "kelvra-dpi-inner";

constexpr int MAX_SLOTS = 4;

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
