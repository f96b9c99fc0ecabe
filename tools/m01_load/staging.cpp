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

#include "base/unique_fd.h"

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

constexpr const char* PACKAGE_PART = "package";
constexpr const char* KEPT_PART = "kept";
constexpr const char* ADDED_PART = "added";

watchd::unique_fd open_subdir(int parent_fd, const char* name) {
    return watchd::unique_fd(
        openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// One walk over a level of the move (or of its undoing): its directories, whether a target
// entry changed (so that the target is fsynced), and the first failure an undo step met.
struct walk {
    merge_dirs dirs;
    bool changed = false;
    int first_error = 0;

    void note(int err) {
        if (first_error == 0)
            first_error = err;
    }
};

// What is done to one entry of the directory walked: 0, or an errno value that ends the walk;
// *moved when the entry left that directory.
using entry_step = int (*)(walk* w, const char* name, bool* moved);

// Calls step for each entry of dir_fd, in passes until one in which no entry moved: entries
// renamed away while the directory is read may hide others from readdir.
int for_each_entry(walk* w, int dir_fd, entry_step step) {
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
            int r = step(w, d->d_name, &moved);
            if (r != 0)
                return r;
        }
    }
    return 0;
}

// Runs level (the merge or its undoing) on the four directories one level down, under name.
int descend(const merge_dirs& dirs, const char* name, int (*level)(const merge_dirs&)) {
    const int parents[] = {dirs.package, dirs.target, dirs.kept, dirs.added};
    watchd::unique_fd subs[4];
    for (int i = 0; i < 4; ++i) {
        subs[i] = open_subdir(parents[i], name);
        if (!subs[i].valid())
            return errno;
    }
    return level({subs[0].get(), subs[1].get(), subs[2].get(), subs[3].get()});
}

int make_dir(int parent_fd, const char* name) {
    return mkdirat(parent_fd, name, 0700) == 0 || errno == EEXIST ? 0 : errno;
}

// Moves one package entry into the target, the old entry kept or the new one marked first.
// The old entry is kept by a hard link, so that the rename replaces it at once: the target
// never lacks the name, even for a moment.
int merge_entry(walk* w, const char* name, bool* moved) {
    const merge_dirs& dirs = w->dirs;
    struct stat from_st;
    struct stat to_st;
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
        int r = make_dir(dirs.kept, name);
        if (r == 0)
            r = make_dir(dirs.added, name);
        return r != 0 ? r : descend(dirs, name, merge_into);
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
    *moved = w->changed = true;
    return 0;
}

// Puts one kept entry back over the new one. A directory in kept mirrors a merged one; a
// kept entry that the target still holds was never replaced. Goes on after a failure.
int undo_kept(walk* w, const char* name, bool* moved) {
    const merge_dirs& dirs = w->dirs;
    struct stat st;
    struct stat here;
    if (fstatat(dirs.kept, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        w->note(errno);
        return 0;
    }
    if (S_ISDIR(st.st_mode)) {
        // ENOENT: not all four there, the merge failed before it moved anything below.
        int r = descend(dirs, name, undo_merge);
        w->note(r == ENOENT ? 0 : r);
        return 0;
    }
    // A replacement that was never moved in leaves nothing to put back.
    const bool still_there = fstatat(dirs.target, name, &here, AT_SYMLINK_NOFOLLOW) == 0 &&
                             here.st_dev == st.st_dev && here.st_ino == st.st_ino;
    if (still_there)
        return 0;
    if (renameat(dirs.kept, name, dirs.target, name) == 0)
        *moved = w->changed = true;
    else
        w->note(errno);
    return 0;
}

// Moves the entry a marker stands for back into the package, unless its move was the step
// that failed. A directory here is undone with its mirror in kept.
int undo_added(walk* w, const char* name, bool* /*moved*/) {
    const merge_dirs& dirs = w->dirs;
    struct stat st;
    if (fstatat(dirs.added, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        w->note(errno);
        return 0;
    }
    if (S_ISDIR(st.st_mode))
        return 0;
    if (renameat(dirs.target, name, dirs.package, name) == 0)
        w->changed = true;
    else if (errno != ENOENT)
        w->note(errno);
    return 0;
}

}  // namespace

int remove_tree(const char* path) {
    struct stat st;
    if (fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : errno;
    return walk_result(nftw(path, remove_entry, WALK_OPEN_DIRS, FTW_DEPTH | FTW_PHYS));
}

int sync_tree() {
    return walk_result(nftw(".", sync_entry, WALK_OPEN_DIRS, FTW_DEPTH | FTW_PHYS));
}

int make_staging_area(staging_area* area) {
    watchd::unique_fd staging;
    watchd::unique_fd* const dirs[] = {&staging, &area->package, &area->kept, &area->added};
    const char* const names[] = {STAGING_NAME, PACKAGE_PART, KEPT_PART, ADDED_PART};
    for (int i = 0; i < 4; ++i) {
        const int parent = i == 0 ? AT_FDCWD : staging.get();
        if (mkdirat(parent, names[i], 0700) != 0)
            return errno;
        *dirs[i] = open_subdir(parent, names[i]);
        if (!dirs[i]->valid())
            return errno;
    }
    return 0;
}

int merge_into(const merge_dirs& dirs) {
    walk w = {dirs};
    int r = for_each_entry(&w, dirs.package, merge_entry);
    if (r != 0)
        return r;
    return w.changed && fsync(dirs.target) != 0 ? errno : 0;
}

int undo_merge(const merge_dirs& dirs) {
    walk w = {dirs};
    w.note(for_each_entry(&w, dirs.kept, undo_kept));
    w.note(for_each_entry(&w, dirs.added, undo_added));
    if (w.changed && fsync(dirs.target) != 0)
        w.note(errno);
    return w.first_error;
}

}  // namespace m01_load
