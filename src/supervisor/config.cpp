#include "supervisor/config.h"

#include "base/text.h"
#include "files/json.h"

namespace watchd {
namespace {

constexpr const char* SECTION = "__watch";
constexpr const char* PROCESS_LIST = "processes";
constexpr const char* PROGRAM_NAME = "base";

// Names longer than a slot holds are cut, as the table's capacity demands.
void set_slot(proc_slot* slot, const char* name) {
    (void)format_text(slot->name, sizeof slot->name, "%s", name);
    slot->pid = 0;
}

}  // namespace

int load_watch_config(const char* path, watch_state* state) {
    json_ptr document = cjson_from_file(path);
    if (!document)
        return -1;
    // cJSON finds nothing in a missing section; a document that lists no program gets the
    // built-in one.
    const cJSON* processes =
        cJSON_GetObjectItem(cJSON_GetObjectItem(document.get(), SECTION), PROCESS_LIST);
    if (processes == nullptr || processes->child == nullptr) {
        set_slot(&state->slots[0], DEFAULT_PROGRAM);
        state->count = 1;
        return 0;
    }
    int count = 0;
    const cJSON* element = nullptr;
    cJSON_ArrayForEach(element, processes) {
        const char* name = json_member_string(element, PROGRAM_NAME);
        if (count == MAX_SLOTS || name == nullptr)
            return -1;
        set_slot(&state->slots[count++], name);
    }
    state->count = count;
    return 0;
}

}  // namespace watchd
