#include "base/merge_journal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>

#include "base/remove_entry.h"
#include "base/resources.h"

namespace watchd {
namespace {

constexpr int WALK_OPEN_DIRS = 16;

constexpr const char* PACKAGE_PART = "package";
constexpr const char* KEPT_PART = "kept";
constexpr const char* ADDED_PART = "added";
constexpr const char* COMMIT_MARK = "committed";

// Symbolic links cannot be opened; their directory's fsync covers them.
int sync_entry(const char* path, const struct stat* /*st*/, int type, struct FTW* /*ftw*/) {
    if (type == FTW_SL)
        return 0;
    if (type != FTW_F && type != FTW_DP)
        return EIO;
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    return fd.valid() && fsync(fd.get()) == 0 ? 0 : errno;
}

// The directories of one level of the merge: the staged package, the target and the journal.
struct merge_dirs {
    int package;
    int target;
    int kept;
    int added;
};

// One walk over a level of the merge (or of its undoing): its directories, whether a target
// entry changed (so that the target is fsynced), and the first failure an undo step met.
struct walk : merge_dirs {
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
    // A stream of its own over "." leaves dir_fd open.
    dir_ptr dir = open_dir_stream(dir_fd, ".");
    if (!dir)
        return errno;
    for (bool moved = true; moved;) {
        moved = false;
        rewinddir(dir.get());
        while (const dirent* d = next_entry(dir.get())) {
            int r = step(w, d->d_name, &moved);
            if (r != 0)
                return r;
        }
    }
    return 0;
}

// Runs level (the journal, the merge or its undoing) on the four directories one level down,
// under name.
int descend(const merge_dirs& dirs, const char* name, int (*level)(const merge_dirs&)) {
    const int parents[] = {dirs.package, dirs.target, dirs.kept, dirs.added};
    unique_fd subs[4];
    for (int i = 0; i < 4; ++i) {
        subs[i] = open_subdir(parents[i], name);
        if (!subs[i].valid())
            return errno;
    }
    return level({subs[0].get(), subs[1].get(), subs[2].get(), subs[3].get()});
}

// What a package entry does to the target: replaces an entry there, merges into a directory
// there (a replacing directory), or neither; error is 0 or an errno value (EISDIR: the package
// would put something else in a directory's place).
struct placement {
    int error = 0;
    bool replaces = false;
    bool merges = false;
};

placement place_of(const merge_dirs& dirs, const char* name) {
    placement p;
    struct stat from_st;
    struct stat to_st;
    if (fstatat(dirs.package, name, &from_st, AT_SYMLINK_NOFOLLOW) != 0) {
        p.error = errno;
        return p;
    }
    p.replaces = fstatat(dirs.target, name, &to_st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!p.replaces && errno != ENOENT)
        p.error = errno;
    p.merges = p.replaces && S_ISDIR(to_st.st_mode);
    if (p.error == 0 && p.merges && !S_ISDIR(from_st.st_mode))
        p.error = EISDIR;
    return p;
}

int journal_level(const merge_dirs& dirs);
int merge_into(const merge_dirs& dirs);

// Journals one package entry: the old entry it replaces is kept by a hard link, so that the
// rename replaces it at once and the target never lacks the name; a new one gets a marker. A
// merged directory gets a mirror in both, so that kept never holds an old directory.
int journal_entry(walk* w, const char* name, bool* /*moved*/) {
    const placement p = place_of(*w, name);
    if (p.error != 0)
        return p.error;
    if (p.merges) {
        if (mkdirat(w->kept, name, 0700) != 0 || mkdirat(w->added, name, 0700) != 0)
            return errno;
        return descend(*w, name, journal_level);
    }
    if (p.replaces)
        return linkat(w->target, name, w->kept, name, 0) == 0 ? 0 : errno;
    unique_fd marker(openat(w->added, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    return marker.valid() ? 0 : errno;
}

// A level's journal, durable before any move: each directory of it fsynced after what it holds.
int journal_level(const merge_dirs& dirs) {
    walk w = {dirs};
    int r = for_each_entry(&w, dirs.package, journal_entry);
    if (r == 0 && (fsync(dirs.kept) != 0 || fsync(dirs.added) != 0))
        r = errno;
    return r;
}

// Moves one package entry into the target: a directory that the target already holds is
// merged into, anything else is renamed over what the target holds under its name.
int merge_entry(walk* w, const char* name, bool* moved) {
    const placement p = place_of(*w, name);
    if (p.error != 0)
        return p.error;
    if (p.merges)
        return descend(*w, name, merge_into);
    if (renameat(w->package, name, w->target, name) != 0)
        return errno;
    *moved = w->changed = true;
    return 0;
}

// One level of the merge; the target directory is fsynced after its renames.
int merge_into(const merge_dirs& dirs) {
    walk w = {dirs};
    int r = for_each_entry(&w, dirs.package, merge_entry);
    if (r != 0)
        return r;
    return w.changed && fsync(dirs.target) != 0 ? errno : 0;
}

int undo_level(const merge_dirs& dirs);

// Puts one kept entry back over the new one. A directory in kept mirrors a merged one; a
// kept entry that the target still holds was never replaced. Goes on after a failure.
int undo_kept(walk* w, const char* name, bool* moved) {
    struct stat st;
    struct stat here;
    if (fstatat(w->kept, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        w->note(errno);
        return 0;
    }
    if (S_ISDIR(st.st_mode)) {
        // ENOENT: not all four there, the journal was cut before it reached below.
        int r = descend(*w, name, undo_level);
        w->note(r == ENOENT ? 0 : r);
        return 0;
    }
    const bool still_there = fstatat(w->target, name, &here, AT_SYMLINK_NOFOLLOW) == 0 &&
                             here.st_dev == st.st_dev && here.st_ino == st.st_ino;
    if (still_there)
        return 0;
    if (renameat(w->kept, name, w->target, name) == 0)
        *moved = w->changed = true;
    else
        w->note(errno);
    return 0;
}

// Moves the entry a marker stands for back into the package, unless it was never moved. A
// directory here is undone with its mirror in kept.
int undo_added(walk* w, const char* name, bool* /*moved*/) {
    struct stat st;
    if (fstatat(w->added, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        w->note(errno);
        return 0;
    }
    if (S_ISDIR(st.st_mode))
        return 0;
    if (renameat(w->target, name, w->package, name) == 0)
        w->changed = true;
    else if (errno != ENOENT)
        w->note(errno);
    return 0;
}

// Undoes one level from its journal; each step finds out whether it is still to be done, so
// that an undo cut short can be run again. Goes on past a failure: 0, or the first errno.
int undo_level(const merge_dirs& dirs) {
    walk w = {dirs};
    w.note(for_each_entry(&w, dirs.kept, undo_kept));
    w.note(for_each_entry(&w, dirs.added, undo_added));
    if (w.changed && fsync(dirs.target) != 0)
        w.note(errno);
    return w.first_error;
}

// Rolls back the merge journaled in staging_fd. A missing part means the merge was cut before
// its journal was complete, so before any move.
int roll_back(int staging_fd, int target_fd) {
    const char* const names[] = {PACKAGE_PART, KEPT_PART, ADDED_PART};
    unique_fd parts[3];
    for (int i = 0; i < 3; ++i) {
        parts[i] = open_subdir(staging_fd, names[i]);
        if (!parts[i].valid())
            return errno == ENOENT ? 0 : errno;
    }
    return undo_level({parts[0].get(), target_fd, parts[1].get(), parts[2].get()});
}

// Removes the staging directory, the journal first and durably, so that a cut on the way
// never leaves a journal without the commit mark or the package it undoes.
int remove_staging(int target_fd, int staging_fd) {
    for (const char* part : {KEPT_PART, ADDED_PART}) {
        int r = remove_entry_at(staging_fd, part);
        if (r != 0)
            return r;
    }
    if (fsync(staging_fd) != 0)
        return errno;
    int r = remove_entry_at(target_fd, STAGING_NAME);
    return r == 0 && fsync(target_fd) != 0 ? errno : r;
}

// The commit point, once every move is durable: after it the moves are final.
int commit_merge(const staging_area& area) {
    unique_fd mark(
        openat(area.staging.get(), COMMIT_MARK, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (mark.valid() && fsync(area.staging.get()) == 0)
        return 0;
    const int err = errno;
    // Not committed after all: the merge is to be rolled back, so the mark must not stay.
    if (mark.valid() && unlinkat(area.staging.get(), COMMIT_MARK, 0) == 0)
        (void)fsync(area.staging.get());
    return err;
}

}  // namespace

int make_staging_area(int target_fd, staging_area* area) {
    unique_fd* const dirs[] = {&area->staging, &area->package, &area->kept, &area->added};
    const char* const names[] = {STAGING_NAME, PACKAGE_PART, KEPT_PART, ADDED_PART};
    for (int i = 0; i < 4; ++i) {
        const int parent = i == 0 ? target_fd : area->staging.get();
        if (mkdirat(parent, names[i], 0700) != 0)
            return errno;
        *dirs[i] = open_subdir(parent, names[i]);
        if (!dirs[i]->valid())
            return errno;
    }
    return fchdir(area->package.get()) == 0 ? 0 : errno;
}

int merge_staged(const staging_area& area, int target_fd) {
    const merge_dirs top = {area.package.get(), target_fd, area.kept.get(), area.added.get()};
    // The package is the working directory; each directory is fsynced after what it holds.
    // nftw's own failures come back as -1 with errno set, the callbacks' as errno values.
    int r = nftw(".", sync_entry, WALK_OPEN_DIRS, FTW_DEPTH | FTW_PHYS);
    if (r == -1)
        r = errno;
    if (r == 0)
        r = journal_level(top);
    if (r == 0 && (fsync(area.staging.get()) != 0 || fsync(target_fd) != 0))
        r = errno;
    if (r == 0)
        r = merge_into(top);
    return r != 0 ? r : commit_merge(area);
}

int settle_staging(int target_fd) {
    unique_fd staging = open_subdir(target_fd, STAGING_NAME);
    // Not a directory: nothing a merge made; it goes as it is.
    if (!staging.valid())
        return errno == ENOTDIR || errno == ELOOP ? remove_entry_at(target_fd, STAGING_NAME)
               : errno == ENOENT                  ? 0
                                                  : errno;
    struct stat st;
    if (fstatat(staging.get(), COMMIT_MARK, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        int r = errno == ENOENT ? roll_back(staging.get(), target_fd) : errno;
        if (r != 0)
            return r;
    }
    return remove_staging(target_fd, staging.get());
}

int settle_staging_in(const char* path) {
    unique_fd dir(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid())
        return errno == ENOENT ? 0 : errno;
    return settle_staging(dir.get());
}

}  // namespace watchd
