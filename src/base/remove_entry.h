// Removal of a directory entry of any type, relative to a directory descriptor: what a
// writer does with a leftover in its way. A directory goes with everything below it, however
// deep, without path-length limit and with two descriptors open at a time.
#pragma once

namespace watchd {

// Removes the entry name of the directory dir_fd, never following a symbolic link. 0 when the
// entry is gone (or was never there), or an errno value. A failure can leave part of a
// directory's contents behind, all of it still under name, so that a later call carries on.
[[nodiscard]] int remove_entry_at(int dir_fd, const char* name);

}  // namespace watchd
