// What a package entry may be: the policy that refuses an entry before anything of it is
// written (special files, absolute names, `..`, a path through a symbolic link in the target,
// a type that would replace another, the staging directory's and the daemon's own names, a
// name too long to be staged). extract.cpp asks it for every entry.
#pragma once

struct archive_entry;

namespace m01_load {

// entry_problem's answer for the target directory's own entry (`.`): it is skipped, so the
// directory keeps its mode, owner and times.
inline constexpr char TARGET_ITSELF[] = "";

// Why an entry must not be installed, or null (TARGET_ITSELF: skip it). The target directory's
// side is checked here: the renames into place would otherwise write through a symbolic link
// there, or put a file in the place of a directory.
const char* entry_problem(archive_entry* entry, int dir_fd);

}  // namespace m01_load
