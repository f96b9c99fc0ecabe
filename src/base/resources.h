// Owning handles for descriptors, malloc'd buffers and directory streams. Every module that
// acquires one of these holds it through a type from here, so that no early return can leak it.
#pragma once

#include <dirent.h>
#include <stdlib.h>

#include <memory>

#include "base/unique_fd.h"

namespace watchd {

struct dir_closer {
    void operator()(DIR* dir) const { closedir(dir); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

struct free_deleter {
    void operator()(void* block) const { free(block); }
};
// Owner of a malloc'd text, such as the result of cJSON_PrintUnformatted or a private copy.
using malloc_text = std::unique_ptr<char, free_deleter>;

}  // namespace watchd
