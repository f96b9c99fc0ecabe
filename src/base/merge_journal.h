// The journaled merge of a staged directory into its target: the staging directory's layout,
// the journal that makes every move undoable, its commit point, and the recovery that rolls an
// interrupted merge back. The extraction tool merges; the daemon recovers before it starts
// anything from the target.
#pragma once

#include <stddef.h>

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

// Makes the staging directory and its parts in target_fd, and changes the working directory to
// the package part, where the package is to be extracted. 0, or an errno value.
[[nodiscard]] int make_staging_area(int target_fd, staging_area* area);

// Installs the package extracted into area: makes it durable, writes the journal of the whole
// merge and makes that durable, moves every entry into target_fd and commits. 0, or an errno
// value: settle_staging then rolls back what moved.
[[nodiscard]] int merge_staged(const staging_area& area, int target_fd);

// Settles what a merge left in target_fd: a committed one is only removed; any other is first
// rolled back from its journal, each target directory changed fsynced, and then removed.
// Each step can be cut and repeated. 0 when no staging directory is left, or an errno value.
[[nodiscard]] int settle_staging(int target_fd);

// settle_staging for the directory at path.
[[nodiscard]] int settle_staging_in(const char* path);

}  // namespace watchd
