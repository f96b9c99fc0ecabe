#include "space_budget.h"

#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <sys/statvfs.h>

namespace m01_load {
namespace {

// What the package may take of the target's file system. Each entry counts one block, and a
// file its data rounded up to whole blocks besides; the old files' space does not count as
// free, since they stay until the new ones are in place. Each entry counts three inodes: its
// own and, while it is moved into place, up to two that record the step (a marker, or two
// directories that mirror a merged one).
constexpr uint64_t INODES_PER_ENTRY = 3;

}  // namespace

int add_entry(space_budget* budget, uint64_t data) {
    const uint64_t blocks = data / budget->block_size + (data % budget->block_size != 0) + 1;
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(blocks, budget->block_size, &bytes) ||
        __builtin_add_overflow(budget->bytes_needed, bytes, &budget->bytes_needed))
        return -1;
    budget->inodes_needed += INODES_PER_ENTRY;
    return budget->bytes_needed <= budget->bytes_free &&
                   budget->inodes_needed <= budget->inodes_free
               ? 0
               : -1;
}

int read_space_budget(space_budget* budget) {
    struct statvfs fs;
    if (statvfs(".", &fs) != 0)
        return -1;
    budget->block_size = fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize != 0 ? fs.f_bsize : 512;
    if (__builtin_mul_overflow(static_cast<uint64_t>(fs.f_bavail), budget->block_size,
                               &budget->bytes_free))
        budget->bytes_free = UINT64_MAX;
    // A file system that counts no inodes at all sets no limit on them.
    budget->inodes_free = fs.f_files != 0 ? fs.f_favail : UINT64_MAX;
    return add_entry(budget, 0) == 0 ? 0 : (errno = ENOSPC, -1);
}

uint64_t entry_data_bytes(archive_entry* entry) {
    const la_int64_t size = archive_entry_size(entry);
    if (size <= 0)
        return 0;
    if (archive_entry_sparse_reset(entry) == 0)
        return static_cast<uint64_t>(size);
    uint64_t data = 0;
    la_int64_t offset = 0;
    la_int64_t length = 0;
    while (archive_entry_sparse_next(entry, &offset, &length) == ARCHIVE_OK)
        if (length > 0 && __builtin_add_overflow(data, static_cast<uint64_t>(length), &data))
            return UINT64_MAX;
    return data;
}

}  // namespace m01_load
