#include "entry_policy.h"

#include <archive_entry.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>

#include "base/data_names.h"
#include "base/merge_journal.h"

namespace m01_load {
namespace {

// Why an entry is refused, where more than one check finds it.
constexpr const char* REPLACES_DIRECTORY = "would replace a directory";
constexpr const char* DAEMON_NAME = "name of a file the daemon writes";

// Why a first component may not be installed in the target directory: it is the staging
// directory's, or a name the daemon writes there. A file the daemon writes may come as a
// plain regular file, which is what the daemon puts there; nothing may take its temporary.
const char* reserved_name_problem(const char* name, bool last, bool plain_file) {
    if (strcmp(name, watchd::STAGING_NAME) == 0)
        return "name reserved for the staging directory";
    for (const char* own : watchd::DAEMON_DATA_NAMES) {
        size_t shared = 0;
        while (own[shared] != '\0' && name[shared] == own[shared])
            ++shared;
        if (own[shared] != '\0')
            continue;
        // name starts with own: it is own itself, or own's temporary when the suffix follows.
        if (name[shared] == '\0')
            return last && plain_file ? nullptr : DAEMON_NAME;
        if (strcmp(name + shared, watchd::DAEMON_TEMP_SUFFIX) == 0)
            return DAEMON_NAME;
    }
    return nullptr;
}

// An entry's type, as far as the checks of its name's components need it.
struct entry_kind {
    bool is_dir;
    bool plain_file;  // a regular file that is no hard link
};

// Checks the component of an entry's name that path ends with and, while the name exists in
// the target directory, what that component is there.
const char* component_problem(const char* path, const char* component, bool last, entry_kind kind,
                              int dir_fd, bool* in_target) {
    if (strcmp(component, "..") == 0)
        return "name with '..' refused";
    const char* reserved =
        component == path ? reserved_name_problem(component, last, kind.plain_file) : nullptr;
    if (reserved != nullptr)
        return reserved;
    if (!*in_target)
        return nullptr;
    struct stat st;
    if (fstatat(dir_fd, path, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        *in_target = false;
        return errno == ENOENT ? nullptr : strerror(errno);
    }
    if (!last) {
        if (S_ISLNK(st.st_mode))
            return "would be written through a symbolic link";
        return S_ISDIR(st.st_mode) ? nullptr : strerror(ENOTDIR);
    }
    if (kind.is_dir != S_ISDIR(st.st_mode))
        return kind.is_dir ? "would replace a file with a directory" : REPLACES_DIRECTORY;
    return nullptr;
}

}  // namespace

const char* entry_problem(archive_entry* entry, int dir_fd) {
    const mode_t type = archive_entry_mode(entry) & AE_IFMT;
    const bool hard_link = archive_entry_hardlink(entry) != nullptr;
    if (!hard_link && type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK)
        return "device nodes, FIFOs and sockets are refused";
    // A header without a name is damage: what it meant to install is unknown.
    const char* name = archive_entry_pathname(entry);
    if (name == nullptr || name[0] == '\0')
        return "empty name refused";
    if (name[0] == '/')
        return "absolute name refused";
    char path[PATH_MAX];
    size_t length = strlen(name);
    if (length >= sizeof path)
        return strerror(ENAMETOOLONG);
    memcpy(path, name, length + 1);
    while (length > 0 && path[length - 1] == '/')
        path[--length] = '\0';
    // Leading "./" and the slashes after it, and a "." that ends the name, name the target
    // directory itself.
    char* relative = path;
    while ((relative[0] == '.' && (relative[1] == '/' || relative[1] == '\0')) ||
           (relative != path && relative[0] == '/'))
        ++relative;
    if (strlen(relative) + watchd::STAGED_PREFIX_LENGTH >= PATH_MAX)
        return "name too long to be staged";
    const entry_kind kind = {type == AE_IFDIR, type == AE_IFREG && !hard_link};
    if (relative[0] == '\0')
        return kind.is_dir ? TARGET_ITSELF : REPLACES_DIRECTORY;
    bool in_target = true;
    char* start = relative;
    for (char* end = relative;; ++end) {
        if (*end != '/' && *end != '\0')
            continue;
        // The name is cut after the component while it is checked.
        const bool last = *end == '\0';
        *end = '\0';
        const char* problem = component_problem(relative, start, last, kind, dir_fd, &in_target);
        if (problem != nullptr || last)
            return problem;
        *end = '/';
        start = end + 1;
    }
}

}  // namespace m01_load
