// Owning handles for descriptors, malloc'd buffers and directory streams, and the opening and
// reading of a directory through them. Every module that acquires one of these holds it
// through a type from here, so that no early return can leak it.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "base/unique_fd.h"

namespace watchd {

struct dir_closer {
    void operator()(DIR* dir) const { closedir(dir); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

// The directory name in dir_fd, never through a symbolic link.
inline unique_fd open_subdir(int dir_fd, const char* name) {
    return unique_fd(openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// A stream over the directory name in dir_fd, or null.
inline dir_ptr open_dir_stream(int dir_fd, const char* name) {
    unique_fd fd = open_subdir(dir_fd, name);
    dir_ptr stream(fd.valid() ? fdopendir(fd.get()) : nullptr);
    if (stream)
        (void)fd.release();  // the stream owns it now
    return stream;
}

// The next entry other than . and .., or null at the end (errno then says whether the end was
// a failure).
inline const dirent* next_entry(DIR* stream) {
    const dirent* entry;
    do {
        errno = 0;
        entry = readdir(stream);
    } while (entry != nullptr &&
             (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0));
    return entry;
}

struct free_deleter {
    void operator()(void* block) const { free(block); }
};
// Owner of a malloc'd text, such as the result of cJSON_PrintUnformatted or a private copy.
using malloc_text = std::unique_ptr<char, free_deleter>;

}  // namespace watchd
