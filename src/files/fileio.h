// Small file helpers shared by the configuration loader, the boot-check record and the
// upgrade installer: read a whole file, replace a file atomically, copy an open file. They keep no
// state and report failure through their results.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "base/resources.h"

namespace watchd {

// The whole content of a file, with a terminating zero byte after length bytes.
struct file_content {
    malloc_text bytes;
    size_t length = 0;
};

// Opens path close-on-exec with flags (and mode, when flags create it) when it is a regular
// file (never blocking on a FIFO); an invalid descriptor for anything else.
[[nodiscard]] unique_fd open_regular_file(const char* path, int flags, mode_t mode = 0);

// What reading a whole file came to: read; absent (no such file, or no regular file); or
// failed (it is there but could not be read: an I/O error, no permission, no memory).
enum class read_result { read, absent, failed };

// Reads the regular file at path whole (never blocking on a FIFO).
[[nodiscard]] read_result read_whole_file(const char* path, file_content* content);

// Replaces the file at path with len bytes of data: a temporary file in the same directory is
// written, fsync'd and renamed over the target, so the target is always either the old or the
// new content. Returns 0, or -1 (with no temporary file left) when any step fails.
[[nodiscard]] int save_text_file(const char* path, const char* data, int32_t len);

// Replaces dst with a copy of what is left to read of the open descriptor src_fd, in the same
// atomic way. A new dst gets mode 0700 less the umask; an existing regular file keeps its
// permission bits (0777 of them). Returns 0, or -1 when src_fd is invalid, dst cannot be
// opened, or a read, write or rename fails; dst is untouched when src_fd is invalid.
[[nodiscard]] int copy_fd_to_file(int src_fd, const char* dst);

// Reads until cap bytes or the end of the file, retrying interrupted calls. The length, or -1
// when a read fails.
[[nodiscard]] ssize_t read_full(int fd, char* buf, size_t cap);

// Writes all len bytes, finishing short writes and retrying interrupted calls. 0 or -1.
[[nodiscard]] int write_all(int fd, const char* data, size_t len);

}  // namespace watchd
