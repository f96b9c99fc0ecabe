// The journaled merge of a staged directory into its target: the staging directory's layout,
// the journal that makes every move undoable, its commit point, and the recovery that rolls an
// interrupted merge back. The extraction tool merges; the daemon recovers before it starts
// anything from the target.
#pragma once

#include <limits.h>
#include <string.h>

#include "base/unique_fd.h"

namespace watchd {

// The staging directory's name in the target directory; no package entry may use it.
constexpr const char STAGING_NAME[] = ".m01_load.new";

// The longest prefix, relative to the target, that an entry's name gets inside the staging
// directory ("package" is the longest part): a name that does not fit PATH_MAX behind it
// cannot be staged, journaled and removed by path.
constexpr size_t STAGED_PREFIX_LENGTH = sizeof STAGING_NAME - 1 + sizeof "/package/" - 1;

// The staging directory and its parts: the package is extracted into `package`; before the
// first move, `kept` takes a hard link to each old entry that a new one replaces and `added`
// an empty marker for each new entry that replaces nothing, both under the entry's own
// relative name, so that every move can be undone.
struct staging_area {
    unique_fd staging;
    unique_fd package;
    unique_fd kept;
    unique_fd added;
};

// The directories of one level of the merge: the staged package, the target and the journal.
struct merge_dirs {
    int package;
    int target;
    int kept;
    int added;
};

// Makes the staging directory and its parts in target_fd. 0, or an errno value.
[[nodiscard]] int make_staging_area(int target_fd, staging_area* area);

// fsyncs every file and directory under the working directory, each directory after what it
// holds. 0, or an errno value.
[[nodiscard]] int sync_tree();

// Writes the journal of the whole merge (kept links, added markers, mirror directories of the
// merged ones) and makes it durable with the staging directory and the target. 0, or an errno
// value.
[[nodiscard]] int journal_merge(const staging_area& area, int target_fd);

// Moves every entry of the package into the target: a directory that the target already holds
// is merged into, anything else is renamed over what the target holds under its name. Each
// target directory that received an entry is fsynced after its renames. 0, or an errno value.
[[nodiscard]] int merge_into(const merge_dirs& dirs);

// The commit point: after it the moves are final. 0, or an errno value.
[[nodiscard]] int commit_merge(const staging_area& area);

// Settles what a merge left in target_fd: a committed one is only removed; any other is first
// rolled back from its journal, each target directory changed fsynced, and then removed.
// Each step can be cut and repeated. 0 when no staging directory is left, or an errno value.
[[nodiscard]] int settle_staging(int target_fd);

// settle_staging for the directory at path.
[[nodiscard]] int settle_staging_in(const char* path);

}  // namespace watchd
