#include "files/json.h"

namespace watchd {

read_result json_from_file(const char* path, json_ptr* document) {
    file_content content;
    document->reset();
    const read_result result = read_whole_file(path, &content);
    if (result == read_result::read && content.length > 0)
        document->reset(cJSON_Parse(content.bytes.get()));
    return result;
}

json_ptr cjson_from_file(const char* path) {
    json_ptr document;
    (void)json_from_file(path, &document);
    return document;
}

const char* json_member_string(const cJSON* object, const char* member) {
    return cJSON_GetStringValue(cJSON_GetObjectItem(object, member));
}

int32_t json_member_int(const cJSON* object, const char* member) {
    const cJSON* item = cJSON_GetObjectItem(object, member);
    return item == nullptr ? 0 : item->valueint;
}

}  // namespace watchd
