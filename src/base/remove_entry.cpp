#include "base/remove_entry.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/resources.h"

namespace watchd {
namespace {

// "4294967295" and its terminating zero.
constexpr int HOISTED_NAME_CAPACITY = 11;

enum class removal { removed, full_directory, failed };

removal remove_unless_full_directory(int dir_fd, const char* name) {
    if (unlinkat(dir_fd, name, 0) == 0 || errno == ENOENT)
        return removal::removed;
    // unlink() of a directory fails with EISDIR on Linux, with EPERM as POSIX has it.
    if (errno != EISDIR && errno != EPERM)
        return removal::failed;
    if (unlinkat(dir_fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT)
        return removal::removed;
    return errno == ENOTEMPTY || errno == EEXIST ? removal::full_directory : removal::failed;
}

// open_dir_stream, with the directory made writable for its owner first: a mode without write
// permission (a package's read-only directory) must not keep what is to go.
dir_ptr open_directory(int dir_fd, const char* name) {
    dir_ptr stream = open_dir_stream(dir_fd, name);
    if (stream)
        (void)fchmod(dirfd(stream.get()), S_IRWXU);
    return stream;
}

// Moves the directory name in from_fd into top_fd under a number not taken there. A number
// that names an empty directory replaces it: that one was to go anyway.
bool move_up(int from_fd, const char* name, int top_fd, unsigned* next_number) {
    char hoisted[HOISTED_NAME_CAPACITY];
    for (;;) {
        snprintf(hoisted, sizeof hoisted, "%u", (*next_number)++);
        if (renameat(from_fd, name, top_fd, hoisted) == 0)
            return true;
        if (errno != ENOTEMPTY && errno != EEXIST && errno != ENOTDIR && errno != EISDIR)
            return false;
    }
}

// Empties the directory name in top_fd one level: its entries are removed, and directories
// with contents are moved up into top_fd, to be emptied in their turn. Moving them up, not
// descending, keeps the descriptors and the path lengths bounded however deep the tree is.
bool flatten_directory(int top_fd, const char* name, unsigned* next_number) {
    dir_ptr stream = open_directory(top_fd, name);
    if (!stream)
        return false;
    bool changed = false;
    while (const dirent* entry = next_entry(stream.get())) {
        const removal result = remove_unless_full_directory(dirfd(stream.get()), entry->d_name);
        if (result == removal::failed)
            return false;
        if (result == removal::full_directory &&
            !move_up(dirfd(stream.get()), entry->d_name, top_fd, next_number))
            return false;
        changed = true;
    }
    // A directory that stayed full without anything to take out of it would loop for ever.
    return errno == 0 && changed;
}

// Empties the directory stream's directory, pass after pass until a pass finds it empty:
// entries moved up during a pass may or may not show in that pass.
bool empty_directory(DIR* top) {
    unsigned next_number = 0;
    for (;;) {
        rewinddir(top);
        bool found = false;
        while (const dirent* entry = next_entry(top)) {
            found = true;
            const removal result = remove_unless_full_directory(dirfd(top), entry->d_name);
            if (result == removal::failed)
                return false;
            if (result == removal::full_directory &&
                !flatten_directory(dirfd(top), entry->d_name, &next_number))
                return false;
        }
        if (errno != 0)
            return false;
        if (!found)
            return true;
    }
}

}  // namespace

int remove_entry_at(int dir_fd, const char* name) {
    errno = 0;
    const removal result = remove_unless_full_directory(dir_fd, name);
    if (result == removal::removed)
        return 0;
    if (result == removal::full_directory) {
        dir_ptr top = open_directory(dir_fd, name);
        if (top && empty_directory(top.get()) &&
            (unlinkat(dir_fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT))
            return 0;
    }
    // A directory that stayed full without a failed call to blame.
    return errno != 0 ? errno : ENOTEMPTY;
}

}  // namespace watchd
