// The daemon's JSON documents: the owner of a cJSON tree, loading a JSON file through the
// whole-file reader, and reading one member. Used by the configuration loader, the boot-check
// record and the status companion.
#pragma once

#include <cjson/cJSON.h>
#include <stdint.h>

#include <memory>

#include "files/fileio.h"

namespace watchd {

struct json_deleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using json_ptr = std::unique_ptr<cJSON, json_deleter>;

// The parsed tree of the JSON file at path, or null when the file is missing, empty,
// unreadable, no regular file or not JSON. Text after the first JSON value is ignored. *result,
// when asked for, tells what reading the file came to, as read_whole_file does.
[[nodiscard]] json_ptr cjson_from_file(const char* path, read_result* result = nullptr);

// The text of a string member (first match, letter case ignored), or null. The text belongs
// to the tree.
const char* json_member_string(const cJSON* object, const char* member);
// The integer cJSON keeps for the member (numbers truncated, true is 1), 0 when missing.
int32_t json_member_int(const cJSON* object, const char* member);

}  // namespace watchd
