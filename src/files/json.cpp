#include "files/json.h"

namespace watchd {

json_ptr cjson_from_file(const char* path, read_result* result) {
    file_content content;
    const read_result outcome = read_whole_file(path, &content);
    if (result != nullptr)
        *result = outcome;
    return json_ptr(outcome == read_result::read && content.length > 0
                        ? cJSON_Parse(content.bytes.get())
                        : nullptr);
}

const char* json_member_string(const cJSON* object, const char* member) {
    return cJSON_GetStringValue(cJSON_GetObjectItem(object, member));
}

int32_t json_member_int(const cJSON* object, const char* member) {
    const cJSON* item = cJSON_GetObjectItem(object, member);
    return item == nullptr ? 0 : item->valueint;
}

}  // namespace watchd
