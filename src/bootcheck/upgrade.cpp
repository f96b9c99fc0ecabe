#include "bootcheck/upgrade.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string_view>

#include "base/data_names.h"
#include "base/merge_journal.h"
#include "base/output.h"
#include "base/shell.h"
#include "base/text.h"
#include "bootcheck/bootchk.h"
#include "files/fileio.h"

namespace watchd {
namespace {

static_assert(path_names(BOOTCHK_PATH, DAEMON_DATA_NAMES[0]) &&
                  path_names(LUA_DATA_TARGET, DAEMON_DATA_NAMES[1]) &&
                  path_names(SIGNATURE_TARGET, DAEMON_DATA_NAMES[2]),
              "the extraction tool keeps packages off the files the daemon writes");

bool extract_plugin_archive(int package_fd) {
    // The tool reads the package through a descriptor it inherits, so it gets exactly the file
    // that was checked, whatever the path names by then.
    unique_fd inherited(dup(package_fd));
    char command[EXTRACT_COMMAND_CAPACITY];
    if (!inherited.valid() || format_extract_command(inherited.get(), command) < 0)
        return false;
    // The record as it was: the archive may bring a .bootchk of its own, which must not stay
    // behind when the extraction fails.
    struct stat info;
    const bool existed = fstatat(AT_FDCWD, BOOTCHK_PATH, &info, AT_SYMLINK_NOFOLLOW) == 0;
    file_content record;
    const bool readable = existed && read_whole_file(BOOTCHK_PATH, &record) == read_result::read;
    if (command_succeeded(run_shell_command(command)))
        return true;
    // A tool cut short leaves its journal behind: the files go back before the record does.
    (void)settle_staging_in(DATA_DIR);
    if (!existed)
        unlinkat(AT_FDCWD, BOOTCHK_PATH, 0);
    else if (readable)
        (void)save_text_file(BOOTCHK_PATH, record.bytes.get(), static_cast<int32_t>(record.length));
    return false;
}

// The runtime directory without its trailing slash, so that O_NOFOLLOW applies to it.
constexpr char RUNTIME_DIR_ENTRY[] = "/tmp/.uci";
constexpr std::string_view RUNTIME_DIR_TEXT = RUNTIME_DIR;
static_assert(RUNTIME_DIR_TEXT.substr(0, RUNTIME_DIR_TEXT.size() - 1) == RUNTIME_DIR_ENTRY &&
                  RUNTIME_DIR_TEXT.back() == '/',
              "RUNTIME_DIR_ENTRY is the runtime directory");

enum class package_state { none, refused, taken };

// The waiting package, opened once and checked on its descriptor, and the directory it is in.
struct waiting_package {
    unique_fd dir;
    unique_fd file;
};

package_state take_package(waiting_package* package) {
    package->dir.reset(open(RUNTIME_DIR_ENTRY, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!package->dir.valid())
        return errno == ENOENT ? package_state::none : package_state::refused;
    struct stat info;
    if (fstat(package->dir.get(), &info) != 0 || !trusted_entry(info, S_IFDIR, geteuid()))
        return package_state::refused;
    // O_NONBLOCK: a FIFO planted here must not hang the daemon in open().
    package->file.reset(openat(package->dir.get(), UPGRADE_PACKAGE_NAME,
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!package->file.valid())
        return errno == ENOENT ? package_state::none : package_state::refused;
    if (fstat(package->file.get(), &info) != 0 || !trusted_entry(info, S_IFREG, geteuid()))
        return package_state::refused;
    return package_state::taken;
}

// The current record, or a new empty one when there is none or it is no JSON object. false
// when the record is there but cannot be read: its members must not be thrown away.
bool record_to_update(json_ptr* record) {
    read_result result;
    *record = cjson_from_file(BOOTCHK_PATH, &result);
    if (result == read_result::failed)
        return false;
    if (!*record || !cJSON_IsObject(record->get()))
        record->reset(cJSON_CreateObject());
    return true;
}

// Appends member (and a version when the record has no usable one) and writes the record. A
// record that cannot be completed or written keeps its old content, and the failure is said.
void note_installation(cJSON* record, const char* member) {
    bool complete = record != nullptr;
    if (complete && json_member_string(record, MEMBER_VERSION) == nullptr)
        complete = cJSON_AddStringToObject(record, MEMBER_VERSION, BOOTCHK_VERSION) != nullptr;
    complete = complete && cJSON_AddNumberToObject(record, member, 1) != nullptr;
    malloc_text text(complete ? cJSON_PrintUnformatted(record) : nullptr);
    if (!text ||
        save_text_file(BOOTCHK_PATH, text.get(), static_cast<int32_t>(strlen(text.get()))) != 0)
        say("failed to save %s\n", BOOTCHK_PATH);
}

}  // namespace

int format_extract_command(int package_fd, char (&command)[EXTRACT_COMMAND_CAPACITY]) {
    // /proc/self/fd/N: where the tool finds the descriptor it inherits by number.
    return format_text(command, sizeof command, "./m01_load tar -zxf /proc/self/fd/%d -C %s",
                       package_fd, DATA_DIR);
}

bool trusted_entry(const struct stat& info, mode_t type, uid_t owner) {
    return (info.st_mode & S_IFMT) == type && info.st_uid == owner &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool command_succeeded(int status) {
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void install_upgrade(int code) {
    const exit_code_rule* rule = exit_code_rule_for(code);
    if (rule == nullptr || rule->record_member == nullptr)
        return;
    waiting_package package;
    const package_state state = take_package(&package);
    if (state == package_state::none)
        return;
    // A refused package is left where it is: it is not the daemon's to remove. The record is
    // read before extracting, so that an archive cannot bring a record of its own. The rule
    // either copies the package over its target or has the extraction tool unpack it.
    json_ptr record;
    const int fd = package.file.get();
    const bool installed =
        state == package_state::taken && record_to_update(&record) &&
        (rule->copy_target == nullptr ? extract_plugin_archive(fd)
                                      : copy_fd_to_file(fd, rule->copy_target) == 0);
    if (state == package_state::taken)
        unlinkat(package.dir.get(), UPGRADE_PACKAGE_NAME, 0);
    if (installed)
        note_installation(record.get(), rule->record_member);
    else
        say("failed to install upgrade(%d)\n", code);
}

}  // namespace watchd
