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

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path) == 0 ? 0 : errno;
}

// Symbolic links cannot be opened; their directory's fsync covers them.
int sync_entry(const char* path, const struct stat*, int type, struct FTW*) {
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

constexpr const char* PACKAGE_PART = "package";
constexpr const char* KEPT_PART = "kept";
constexpr const char* ADDED_PART = "added";

watchd::unique_fd open_subdir(int parent_fd, const char* name) {
    return watchd::unique_fd(
        openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Calls step(name, &moved) for each entry of dir_fd, in passes until one in which no step
// moved anything: entries renamed away while the directory is read may hide others from
// readdir. Stops at the first errno value a step returns.
template <class Step>
int for_each_entry(int dir_fd, Step step) {
    watchd::unique_fd copy(fcntl(dir_fd, F_DUPFD_CLOEXEC, 0));
    std::unique_ptr<DIR, dir_closer> dir(copy.valid() ? fdopendir(copy.get()) : nullptr);
    if (!dir)
        return errno;
    (void)copy.release();  // the stream owns it now
    for (bool moved = true; moved;) {
        moved = false;
        rewinddir(dir.get());
        while (const dirent* d = readdir(dir.get())) {
            if (strcmp(d->d_name, ".") == 0 || strcmp(d->d_name, "..") == 0)
                continue;
            int r = step(d->d_name, &moved);
            if (r != 0)
                return r;
        }
    }
    return 0;
}

// The four directories one level down, under name.
struct merge_subdirs {
    watchd::unique_fd package, target, kept, added;

    int open(const merge_dirs& dirs, const char* name) {
        const int parents[] = {dirs.package, dirs.target, dirs.kept, dirs.added};
        watchd::unique_fd* const subs[] = {&package, &target, &kept, &added};
        for (int i = 0; i < 4; ++i) {
            *subs[i] = open_subdir(parents[i], name);
            if (!subs[i]->valid())
                return errno;
        }
        return 0;
    }
    merge_dirs fds() const { return {package.get(), target.get(), kept.get(), added.get()}; }
};

// Whether dir_fd holds the file st describes under name.
bool holds(int dir_fd, const char* name, const struct stat& st) {
    struct stat here;
    return fstatat(dir_fd, name, &here, AT_SYMLINK_NOFOLLOW) == 0 && here.st_dev == st.st_dev &&
           here.st_ino == st.st_ino;
}

int make_dir(int parent_fd, const char* name) {
    return mkdirat(parent_fd, name, 0700) == 0 || errno == EEXIST ? 0 : errno;
}

// Moves one package entry into the target, the old entry kept or the new one marked first.
// The old entry is kept by a hard link, so that the rename replaces it at once: the target
// never lacks the name, even for a moment.
int merge_entry(const merge_dirs& dirs, const char* name, bool* moved) {
    struct stat from_st, to_st;
    if (fstatat(dirs.package, name, &from_st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    const bool replaces = fstatat(dirs.target, name, &to_st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!replaces && errno != ENOENT)
        return errno;
    if (replaces && S_ISDIR(to_st.st_mode)) {
        // Only a directory is merged into; kept never holds an old directory, so that its
        // directories mirror the merged ones.
        if (!S_ISDIR(from_st.st_mode))
            return EISDIR;
        merge_subdirs sub;
        int r = make_dir(dirs.kept, name);
        if (r == 0)
            r = make_dir(dirs.added, name);
        if (r == 0)
            r = sub.open(dirs, name);
        return r != 0 ? r : merge_into(sub.fds());
    }
    if (replaces) {
        if (linkat(dirs.target, name, dirs.kept, name, 0) != 0)
            return errno;
    } else {
        watchd::unique_fd marker(
            openat(dirs.added, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!marker.valid())
            return errno;
    }
    if (renameat(dirs.package, name, dirs.target, name) != 0)
        return errno;
    *moved = true;
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

int make_staging_area(staging_area* area) {
    if (mkdir(STAGING_NAME, 0700) != 0)
        return errno;
    watchd::unique_fd staging = open_subdir(AT_FDCWD, STAGING_NAME);
    if (!staging.valid())
        return errno;
    watchd::unique_fd* const parts[] = {&area->package, &area->kept, &area->added};
    const char* const names[] = {PACKAGE_PART, KEPT_PART, ADDED_PART};
    for (int i = 0; i < 3; ++i) {
        if (mkdirat(staging.get(), names[i], 0700) != 0)
            return errno;
        *parts[i] = open_subdir(staging.get(), names[i]);
        if (!parts[i]->valid())
            return errno;
    }
    return 0;
}

int merge_into(const merge_dirs& dirs) {
    bool changed = false;
    int r = for_each_entry(dirs.package, [&](const char* name, bool* moved) {
        int err = merge_entry(dirs, name, moved);
        changed = changed || *moved;
        return err;
    });
    if (r != 0)
        return r;
    return changed && fsync(dirs.target) != 0 ? errno : 0;
}

int undo_merge(const merge_dirs& dirs) {
    int first_error = 0;
    auto note = [&first_error](int err) {
        if (first_error == 0)
            first_error = err;
    };
    bool changed = false;
    // A directory in kept mirrors a merged one; anything else is an old entry to put back,
    // over the new one when that was moved in.
    note(for_each_entry(dirs.kept, [&](const char* name, bool* moved) {
        struct stat st;
        if (fstatat(dirs.kept, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            note(errno);
        } else if (S_ISDIR(st.st_mode)) {
            // Not all four there: the merge failed before it moved anything below.
            merge_subdirs sub;
            int r = sub.open(dirs, name);
            note(r == 0 ? undo_merge(sub.fds()) : r == ENOENT ? 0 : r);
        } else if (holds(dirs.target, name, st)) {
            // Kept, but its replacement was never moved in: nothing to put back.
        } else if (renameat(dirs.kept, name, dirs.target, name) == 0) {
            *moved = changed = true;
        } else {
            note(errno);
        }
        return 0;
    }));
    // A marker's entry goes back into the package, unless its move was the step that failed.
    note(for_each_entry(dirs.added, [&](const char* name, bool*) {
        // A directory here is undone with its mirror in kept.
        struct stat st;
        if (fstatat(dirs.added, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            note(errno);
        else if (!S_ISDIR(st.st_mode) && renameat(dirs.target, name, dirs.package, name) == 0)
            changed = true;
        else if (!S_ISDIR(st.st_mode) && errno != ENOENT)
            note(errno);
        return 0;
    }));
    if (changed && fsync(dirs.target) != 0)
        note(errno);
    return first_error;
}

}  // namespace m01_load
