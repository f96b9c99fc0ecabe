// The staging directory of an installation: the package is extracted into it, inside the
// target directory, made durable, and only then moved into place, so that a failure on the
// way leaves the target as it was. extract.cpp drives it.
#pragma once

namespace m01_load {

// The staging directory's name in the target directory; no package entry may use it.
constexpr const char* STAGING_NAME = ".m01_load.new";

// Removes path (relative to the working directory) with everything under it; a missing path
// is no error. 0, or an errno value.
[[nodiscard]] int remove_tree(const char* path);

// fsyncs every file and directory under the working directory, each directory after what it
// holds. 0, or an errno value.
[[nodiscard]] int sync_tree();

// Moves every entry of the directory from_fd into the directory to_fd: a directory that to
// already holds is merged into, anything else is renamed over what to holds under its name.
// Each directory that received an entry is fsynced after its renames. 0, or an errno value;
// a failure leaves the renames made so far in place.
[[nodiscard]] int merge_into(int from_fd, int to_fd);

}  // namespace m01_load
