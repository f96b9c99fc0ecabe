// Owning handles for the daemon's resources: descriptors, cJSON trees, malloc'd buffers
// and directory streams. Every module that acquires one of these holds it
// through a type from here, so that no early return can leak it.
#pragma once

#include <cjson/cJSON.h>
#include <dirent.h>
#include <stdlib.h>

#include <memory>

#include "unique_fd.h"

namespace watchd {

struct json_deleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using json_ptr = std::unique_ptr<cJSON, json_deleter>;

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
