// The staging directory of an installation: the package is extracted into it, inside the
// target directory, made durable, and only then moved into place, so that a failure on the
// way leaves the target as it was. extract.cpp drives it.
#pragma once

#include "base/unique_fd.h"

namespace m01_load {

// The staging directory's name in the target directory; no package entry may use it.
constexpr const char* STAGING_NAME = ".m01_load.new";

// The staging directory's parts: the package is extracted into `package`; while it is moved
// into place, `kept` takes a hard link to each old entry that a new one replaces and `added`
// holds an empty marker for each new entry that replaced nothing, both under the entry's own
// relative name, so that every step can be undone.
struct staging_area {
    watchd::unique_fd package;
    watchd::unique_fd kept;
    watchd::unique_fd added;
};

// The directories of one level of the move: the staged package, the target and the two
// records of what was done.
struct merge_dirs {
    int package;
    int target;
    int kept;
    int added;
};

// Makes the staging directory and its parts in the working directory. 0, or an errno value.
[[nodiscard]] int make_staging_area(staging_area* area);

// Removes path (relative to the working directory) with everything under it; a missing path
// is no error. 0, or an errno value.
[[nodiscard]] int remove_tree(const char* path);

// fsyncs every file and directory under the working directory, each directory after what it
// holds. 0, or an errno value.
[[nodiscard]] int sync_tree();

// Moves every entry of the package into the target: a directory that the target already
// holds is merged into, anything else is renamed over what the target holds under its name,
// after that old entry was linked into kept (or a marker made in added). Each target directory
// that received an entry is fsynced after its renames. 0, or an errno value; after a failure
// undo_merge puts the target back.
[[nodiscard]] int merge_into(const merge_dirs& dirs);

// Undoes what merge_into did, from its records: the kept entries go back to their places and
// the added ones back into the package; each target directory changed is fsynced. Goes on
// past a failure. 0, or the first errno value.
[[nodiscard]] int undo_merge(const merge_dirs& dirs);

}  // namespace m01_load
