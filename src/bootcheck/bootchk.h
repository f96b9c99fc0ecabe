// The boot-check record in the data directory: its dotted-version packing and comparison,
// and the operations on the record file (load, clear, and the start-mode gate that the
// supervision cycle runs at the top of every cycle). Nothing here prints.
#pragma once

#include <stdint.h>

#include "files/json.h"
#include "protocol/protocol.h"

namespace watchd {

constexpr const char* BOOTCHK_PATH = "/data//.bootchk";
// Written into a new record, and the oldest record version that still allows plugin mode.
constexpr const char* BOOTCHK_VERSION = "3.9.08.2";

// The first four dot-separated components of text, one byte each, first in the top byte.
// Empty components are skipped; a missing one counts as 0; each is its decimal value
// modulo 256 (any other character takes part as its code less '0').
uint32_t pack_version(const char* text);

// Negative, zero or positive as version a is older than, equal to or newer than b, by
// their packed values read as unsigned numbers.
int compare_versions(const char* a, const char* b);

// The record parsed from BOOTCHK_PATH, or null when it is missing, empty or not JSON.
[[nodiscard]] json_ptr load_bootchk();

// Removes a readable record. 1 when it was removed, 0 when there was none to remove, -1 when
// it is there but could not be removed (a read-only data directory).
int clear_bootchk();

// What the start-mode gate makes of a record (null: none, or none that parses).
enum class record_verdict {
    absent,      // no record: normal mode
    no_version,  // no string "version": normal mode, the record stays
    stale,       // older than BOOTCHK_VERSION: normal mode, and the record is to be removed
    normal,      // current, but "plugindata" is not 1: normal mode
    plugin,      // current with "plugindata" 1: plugin mode
};
// The gate's decision alone, without touching the file; the status tool asks it read-only.
record_verdict judge_bootchk(const cJSON* record);

// The gate as each cycle runs it on the record file: 1 for plugin mode, 0 for normal mode, and
// a record older than BOOTCHK_VERSION is removed on the way.
int decide_plugin_mode_removing_stale_record();

}  // namespace watchd
