#include "supervisor/config.h"

#include "base/text.h"
#include "files/json.h"

namespace watchd {
namespace {

constexpr const char* SECTION = "__watch";
constexpr const char* PROCESS_LIST = "processes";
constexpr const char* PROGRAM_NAME = "base";

// The configured list, or null when the document configures none.
const cJSON* configured_processes(const cJSON* document) {
    const cJSON* section = cJSON_GetObjectItem(document, SECTION);
    if (section == nullptr)
        return nullptr;
    const cJSON* processes = cJSON_GetObjectItem(section, PROCESS_LIST);
    if (processes == nullptr || cJSON_GetArraySize(processes) == 0)
        return nullptr;
    return processes;
}

int fill_slots(const cJSON* processes, watch_state* state) {
    const int size = cJSON_GetArraySize(processes);
    if (size > MAX_SLOTS)
        return -1;
    state->count = size;
    for (int i = 0; i < size; ++i) {
        const cJSON* element = cJSON_GetArrayItem(processes, i);
        const char* name = element == nullptr ? nullptr : json_member_string(element, PROGRAM_NAME);
        if (name == nullptr)
            return -1;
        // Names longer than a slot holds are cut, as the table's capacity demands.
        snprintf(state->slots[i].name, sizeof state->slots[i].name, "%s", name);
        state->slots[i].pid = 0;
    }
    return 0;
}

}  // namespace

void set_default_process(watch_state* state) {
    state->count = 1;
    format_text(state->slots[0].name, sizeof state->slots[0].name, "%s", DEFAULT_PROGRAM);
    state->slots[0].pid = 0;
}

int load_watch_config(const char* path, watch_state* state) {
    json_ptr document = cjson_from_file(path);
    if (!document)
        return -1;
    const cJSON* processes = configured_processes(document.get());
    if (processes == nullptr) {
        set_default_process(state);
        return 0;
    }
    return fill_slots(processes, state);
}

}  // namespace watchd
