// What watchd-status finds out about one daemon, read-only: whether it runs (the holder of
// the run file's lock), its directory, programs and children, the start mode the boot-check
// gate would pick, a waiting package, and the history in the run file.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "base/resources.h"
#include "bootcheck/bootchk.h"
#include "status/history.h"

namespace watchd {

// The exit statuses of the init scripts' status action.
enum class status_result { running = 0, not_running = 3, unknown = 4 };

struct slot_facts {
    bool running;
    pid_t pid;
    long long uptime;  // seconds, -1 when unknown
    int32_t restart_code;
    bool from_data;  // started from the data directory (plugin mode)
};

struct status_facts {
    char run_path[PATH_CAPACITY];
    bool run_file_present;
    bool running;
    pid_t pid;
    long long uptime;
    bool debug;
    bool has_directory;
    char directory[PATH_CAPACITY];
    bool config_loaded;
    slot_facts slots[MAX_SLOTS];
    bool record_present;
    record_verdict verdict;
    bool package_waiting;
    run_history history;                // with the programs the config names
    char problem[PATH_CAPACITY + 128];  // why the status is unknown
};

// Fills facts for the daemon of base name name, and record with the boot-check record if parsed.
status_result gather_status(const char* name, status_facts* facts, json_ptr* record);

// The report on standard output: the short human table, or with json every fact as one JSON
// object, every text valid UTF-8. Both are read from one JSON tree, which the record moves
// into. 0, or -1 when memory ran out.
[[nodiscard]] int print_report(const char* name, const status_facts& facts, json_ptr* record,
                               bool json);

}  // namespace watchd
