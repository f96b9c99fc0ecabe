#include "bootcheck/upgrade.h"

#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bootcheck/bootchk.h"
#include "files/fileio.h"
#include "files/output.h"
#include "files/text.h"
#include "supervisor/watchd.h"

namespace watchd {
namespace {

const char* recorded_member_for(int code) {
    switch (code) {
        case EXIT_INSTALL_PLUGIN:
            return MEMBER_PLUGINDATA;
        case EXIT_INSTALL_LUA:
            return MEMBER_LUADATA;
        case EXIT_INSTALL_SIG:
            return MEMBER_SIGDATA;
        default:
            return nullptr;
    }
}

// Runs the extraction tool or copies the package. true when the installation worked.
bool put_package_in_place(int code) {
    if (code == EXIT_INSTALL_PLUGIN) {
        char command[EXTRACT_COMMAND_CAPACITY];
        if (format_extract_command(command) < 0)
            return false;
        flush_output();
        return command_succeeded(system(command));
    }
    const char* target = code == EXIT_INSTALL_LUA ? LUA_DATA_TARGET : SIGNATURE_TARGET;
    return copy_file_fd(UPGRADE_PACKAGE_PATH, target) == 0;
}

// The current record, or a new empty one when there is none or it does not parse.
json_ptr record_to_update() {
    json_ptr record = load_bootchk();
    if (record)
        return record;
    return json_ptr(cJSON_CreateObject());
}

// Appends member (and a version when the record has no usable one) and writes the record.
void note_installation(cJSON* record, const char* member) {
    if (json_member_string(record, MEMBER_VERSION) == nullptr) {
        cJSON_AddItemToObject(record, MEMBER_VERSION, cJSON_CreateString(BOOTCHK_VERSION));
    }
    cJSON_AddItemToObject(record, member, cJSON_CreateNumber(1));
    malloc_text text(cJSON_PrintUnformatted(record));
    if (!text)
        return;
    // A record that cannot be written keeps its old content; nothing more can be done here.
    (void)save_text_file(BOOTCHK_PATH, text.get(), static_cast<int32_t>(strlen(text.get())));
}

}  // namespace

int format_extract_command(char (&command)[EXTRACT_COMMAND_CAPACITY]) {
    return format_text(command, sizeof command, "./%s tar -zxf %s -C %s", EXTRACT_TOOL,
                       UPGRADE_PACKAGE_PATH, DATA_DIR);
}

bool command_succeeded(int status) {
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void install_upgrade(int code) {
    const char* member = recorded_member_for(code);
    if (member == nullptr || access(UPGRADE_PACKAGE_PATH, R_OK) != 0)
        return;
    // Read before extracting, so that an archive cannot bring a record of its own.
    json_ptr record = record_to_update();
    bool installed = put_package_in_place(code);
    unlink(UPGRADE_PACKAGE_PATH);
    if (!installed) {
        say("failed to install upgrade(%d)\n", code);
        return;
    }
    if (record)
        note_installation(record.get(), member);
}

}  // namespace watchd
