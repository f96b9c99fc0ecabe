// The space a package may take: blocks and inodes free on the target's file system, and
// what each entry costs there while it is staged and moved into place. The checking pass
// counts every entry as soon as its header is read.
#pragma once

#include <stdint.h>

struct archive_entry;

namespace m01_load {

// What the target's file system has free, and what the entries counted so far need.
struct space_budget {
    uint64_t block_size = 0;
    uint64_t bytes_free = 0;
    uint64_t inodes_free = 0;
    uint64_t bytes_needed = 0;
    uint64_t inodes_needed = 0;
};

// Counts one entry with data bytes of file data. 0 while everything counted still fits.
[[nodiscard]] int add_entry(space_budget* budget, uint64_t data);

// The budget of the working directory's file system, the staging directory counted. 0, or -1
// with errno set.
[[nodiscard]] int read_space_budget(space_budget* budget);

// The bytes an entry stores: a sparse file's data regions, not its holes.
uint64_t entry_data_bytes(archive_entry* entry);

}  // namespace m01_load
