#include "staging.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "unique_fd.h"

namespace m01_load {
namespace {

constexpr int WALK_OPEN_DIRS = 16;

int remove_entry(const char* path, const struct stat* /*st*/, int /*type*/, struct FTW* /*ftw*/) {
    return remove(path) == 0 ? 0 : errno;
}

// Symbolic links cannot be opened; their directory's fsync covers them.
int sync_entry(const char* path, const struct stat* /*st*/, int type, struct FTW* /*ftw*/) {
    if (type == FTW_SL)
        return 0;
    if (type != FTW_F && type != FTW_DP)
        return EIO;
    watchd::unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    return fd.valid() && fsync(fd.get()) == 0 ? 0 : errno;
}

// nftw's own failures come back as -1 with errno set, the callbacks' as errno values.
int walk_result(int r) {
    return r == -1 ? errno : r;
}

struct dir_closer {
    void operator()(DIR* dir) const { closedir(dir); }
};

watchd::unique_fd open_subdir(int parent_fd, const char* name) {
    return watchd::unique_fd(
        openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// One pass over from_fd's entries; *renamed tells whether it moved any.
int merge_pass(DIR* from, int from_fd, int to_fd, bool* renamed) {
    rewinddir(from);
    while (const dirent* d = readdir(from)) {
        const char* name = d->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        struct stat from_st;
        struct stat to_st;
        if (fstatat(from_fd, name, &from_st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno;
        if (S_ISDIR(from_st.st_mode) && fstatat(to_fd, name, &to_st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(to_st.st_mode)) {
            watchd::unique_fd sub_from = open_subdir(from_fd, name);
            watchd::unique_fd sub_to = open_subdir(to_fd, name);
            if (!sub_from.valid() || !sub_to.valid())
                return errno;
            int r = merge_into(sub_from.get(), sub_to.get());
            if (r != 0)
                return r;
            continue;
        }
        if (renameat(from_fd, name, to_fd, name) != 0)
            return errno;
        *renamed = true;
    }
    return 0;
}

}  // namespace

int remove_tree(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0)
        return errno == ENOENT ? 0 : errno;
    return walk_result(nftw(path, remove_entry, WALK_OPEN_DIRS, FTW_DEPTH | FTW_PHYS));
}

int sync_tree() {
    return walk_result(nftw(".", sync_entry, WALK_OPEN_DIRS, FTW_DEPTH | FTW_PHYS));
}

int merge_into(int from_fd, int to_fd) {
    watchd::unique_fd from_copy(fcntl(from_fd, F_DUPFD_CLOEXEC, 0));
    std::unique_ptr<DIR, dir_closer> from(from_copy.valid() ? fdopendir(from_copy.get()) : nullptr);
    if (!from)
        return errno;
    (void)from_copy.release();  // the stream owns it now
    // Entries renamed away while the directory is read may hide others from readdir: pass
    // again until a pass moves nothing.
    bool changed = false;
    for (bool renamed = true; renamed;) {
        renamed = false;
        int r = merge_pass(from.get(), from_fd, to_fd, &renamed);
        if (r != 0)
            return r;
        changed = changed || renamed;
    }
    return changed && fsync(to_fd) != 0 ? errno : 0;
}

}  // namespace m01_load
