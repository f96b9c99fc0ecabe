#include "bootcheck/upgrade.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bootcheck/bootchk.h"
#include "files/fileio.h"
#include "output.h"
#include "supervisor/watchd.h"
#include "text.h"

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

// The record file as it was before an extraction: the archive may bring a .bootchk of its
// own, which must not stay behind when the extraction fails.
struct record_snapshot {
    bool existed = false;
    bool readable = false;
    file_content content;
};

record_snapshot take_record_snapshot() {
    record_snapshot snapshot;
    struct stat info;
    snapshot.existed = lstat(BOOTCHK_PATH, &info) == 0;
    snapshot.readable = snapshot.existed && read_regular_file(BOOTCHK_PATH, &snapshot.content);
    return snapshot;
}

void restore_record(const record_snapshot& snapshot) {
    if (!snapshot.existed) {
        unlink(BOOTCHK_PATH);
    } else if (snapshot.readable) {
        (void)save_text_file(BOOTCHK_PATH, snapshot.content.bytes.get(),
                             static_cast<int32_t>(snapshot.content.length));
    }
}

bool extract_plugin_archive() {
    char command[EXTRACT_COMMAND_CAPACITY];
    if (format_extract_command(command) < 0)
        return false;
    record_snapshot before = take_record_snapshot();
    flush_output();
    if (command_succeeded(system(command)))
        return true;
    restore_record(before);
    return false;
}

// A readable regular file at the package path: a FIFO, device or symbolic link there would
// hang the daemon or install bytes from elsewhere.
bool package_waiting() {
    struct stat info;
    return lstat(UPGRADE_PACKAGE_PATH, &info) == 0 && S_ISREG(info.st_mode) &&
           access(UPGRADE_PACKAGE_PATH, R_OK) == 0;
}

// Runs the extraction tool or copies the package. true when the installation worked.
bool put_package_in_place(int code) {
    if (code == EXIT_INSTALL_PLUGIN)
        return extract_plugin_archive();
    const char* target = code == EXIT_INSTALL_LUA ? LUA_DATA_TARGET : SIGNATURE_TARGET;
    return copy_file_fd(UPGRADE_PACKAGE_PATH, target) == 0;
}

// The current record, or a new empty one when there is none or it is no JSON object.
json_ptr record_to_update() {
    json_ptr record = load_bootchk();
    if (record && cJSON_IsObject(record.get()))
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
    if (member == nullptr || !package_waiting())
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
