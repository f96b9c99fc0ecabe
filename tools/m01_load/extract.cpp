#include "extract.h"

#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <memory>

#include "base/merge_journal.h"
#include "base/unique_fd.h"
#include "entry_policy.h"
#include "package_stream.h"

namespace m01_load {
namespace {

// libarchive writes into the staging directory, where entries may not leave it: no absolute
// names, no `..`, no path through a symbolic link made by the package, no hard link to a
// target outside. entry_problem checks the target directory's side.
constexpr int EXTRACT_FLAGS = ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM |
                              ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                              ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS;

// Owner of a libarchive reader or writer: archive_free releases either.
using archive_ptr = std::unique_ptr<archive, decltype(&archive_free)>;

const char* error_text(archive* handle) {
    const char* text = archive_error_string(handle);
    return text != nullptr ? text : "unknown error";
}

// Reports problem under subject. 1, the status of a failed extraction.
int report(const char* subject, const char* problem) {
    dprintf(STDERR_FILENO, "m01_load: tar: %s: %s\n", subject, problem);
    return 1;
}

// Reports that the tool cannot do action on path, with errno's reason. 1, as report().
int report_cannot(const char* action, const char* path) {
    dprintf(STDERR_FILENO, "m01_load: tar: cannot %s %s: %s\n", action, path, strerror(errno));
    return 1;
}

// The entry's name as the archive gives it, or a stand-in for an unnamed one.
const char* entry_name(archive_entry* entry) {
    const char* name = archive_entry_pathname(entry);
    return name != nullptr && name[0] != '\0' ? name : "(unnamed entry)";
}

// What the package may take of the target's file system. Each entry counts one block, and a
// file its data rounded up to whole blocks besides; the old files' space does not count as
// free, since they stay until the new ones are in place. Each entry counts three inodes: its
// own and, while it is moved into place, up to two that record the step (a marker, or two
// directories that mirror a merged one).
constexpr uint64_t INODES_PER_ENTRY = 3;

// What the target's file system has free, and what the entries counted so far need.
struct space_budget {
    uint64_t block_size = 0;
    uint64_t bytes_free = 0;
    uint64_t inodes_free = 0;
    uint64_t bytes_needed = 0;
    uint64_t inodes_needed = 0;
    const char* directory = nullptr;  // the target directory as named, for the report
};

// Counts one entry with data bytes of file data. True while everything counted still fits.
bool add_entry(space_budget* budget, uint64_t data) {
    const uint64_t blocks = data / budget->block_size + (data % budget->block_size != 0) + 1;
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(blocks, budget->block_size, &bytes) ||
        __builtin_add_overflow(budget->bytes_needed, bytes, &budget->bytes_needed))
        return false;
    budget->inodes_needed += INODES_PER_ENTRY;
    return budget->bytes_needed <= budget->bytes_free &&
           budget->inodes_needed <= budget->inodes_free;
}

// The bytes an entry stores: a sparse file's data regions, not its holes.
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

int count_entry(space_budget* budget, archive_entry* entry) {
    if (add_entry(budget, entry_data_bytes(entry)))
        return ARCHIVE_OK;
    dprintf(STDERR_FILENO, "m01_load: tar: %s: %s (%llu bytes, %llu inodes available)\n",
            budget->directory, strerror(ENOSPC),
            static_cast<unsigned long long>(budget->bytes_free),
            static_cast<unsigned long long>(budget->inodes_free));
    return ARCHIVE_FATAL;
}

// Copies the current entry's data. 0 on success; a failure is reported under the entry.
int copy_entry_data(archive* reader, archive* writer, archive_entry* entry) {
    const void* block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    for (;;) {
        int r = archive_read_data_block(reader, &block, &size, &offset);
        if (r == ARCHIVE_EOF)
            return 0;
        if (r != ARCHIVE_OK)
            return report(entry_name(entry), error_text(reader));
        // A failed write(2), a full disk among others, comes back as a mere warning.
        if (archive_write_data_block(writer, block, size, offset) != ARCHIVE_OK) {
            int err = archive_errno(writer);
            return report(entry_name(entry), err > 0 ? strerror(err) : error_text(writer));
        }
    }
}

int extract_entry(archive* reader, archive* writer, archive_entry* entry, int dir_fd) {
    const char* problem = entry_problem(entry, dir_fd);
    if (problem == TARGET_ITSELF)
        return ARCHIVE_OK;
    if (problem != nullptr) {
        report(entry_name(entry), problem);
        return ARCHIVE_FAILED;
    }
    // No setuid, setgid or sticky bit comes from a package.
    archive_entry_set_perm(entry, archive_entry_mode(entry) & 0777);
    // A warning here is an entry not written as the package says (a hard link to itself
    // skipped, a time not set): the package is refused as for a reader warning.
    int r = archive_write_header(writer, entry);
    if (r == ARCHIVE_OK) {
        if (archive_entry_size(entry) > 0 && copy_entry_data(reader, writer, entry) != 0)
            return ARCHIVE_FATAL;
        r = archive_write_finish_entry(writer);
    }
    if (r == ARCHIVE_OK)
        return ARCHIVE_OK;
    report(entry_name(entry), error_text(writer));
    return r == ARCHIVE_FATAL ? ARCHIVE_FATAL : ARCHIVE_FAILED;
}

// One pass over the package: the check counts each entry against budget (writer null), the
// extraction writes it into the staging directory with writer. That step answers ARCHIVE_OK,
// ARCHIVE_FAILED (the entry refused and named; the others are still read) or ARCHIVE_FATAL
// (reported: stop), and the next header's read skips what it left of the entry's data. After
// the last header the writer is closed: directory modes and times are set last, once nothing
// more is written into them. Then the file is read to its end. 0 when all of it passed.
int read_package(const tar_request& request, const watchd::unique_fd& file, space_budget* budget,
                 archive* writer, int dir_fd) {
    package_stream stream(file.get(), request.gzip);
    archive_ptr reader(archive_read_new(), archive_free);
    if (!reader)
        return report(request.archive, strerror(ENOMEM));
    // No filter of libarchive's: a package is gzip data, which the stream inflates, or a plain
    // tar. Each filter would bring its reader into the router's image for nothing.
    archive_read_support_format_tar(reader.get());
    int status = 0;
    archive_entry* entry = nullptr;
    int r =
        archive_read_open(reader.get(), &stream, nullptr, package_stream::read_callback, nullptr);
    while (r == ARCHIVE_OK && (r = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
        const int entry_status = writer == nullptr
                                     ? count_entry(budget, entry)
                                     : extract_entry(reader.get(), writer, entry, dir_fd);
        if (entry_status == ARCHIVE_FATAL)
            return 1;
        if (entry_status != ARCHIVE_OK)
            status = 1;
    }
    if (r == ARCHIVE_EOF && writer != nullptr && archive_write_close(writer) != ARCHIVE_OK)
        return report(request.archive, error_text(writer));
    // A warning is damage that libarchive read past (a malformed pax record, an empty name):
    // what it would install is not what the package says. ARCHIVE_RETRY (a damaged header)
    // ranks above ARCHIVE_WARN but is a failure too.
    if (r != ARCHIVE_EOF || stream.finish() != 0)
        return report(request.archive,
                      stream.problem() != nullptr ? stream.problem() : error_text(reader.get()));
    return status;
}

// read_package's check: each entry is counted against the budget of the working directory's
// file system (the staging directory counted first) as soon as its header is read, so that a
// package that cannot fit is refused before the rest is inflated. 0 when it is whole and fits.
int verify_archive(const tar_request& request, const watchd::unique_fd& file,
                   const char* directory) {
    space_budget budget;
    budget.directory = directory;
    struct statvfs fs;
    if (statvfs(".", &fs) != 0)
        return report(directory, strerror(errno));
    budget.block_size = fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize != 0 ? fs.f_bsize : 512;
    if (__builtin_mul_overflow(static_cast<uint64_t>(fs.f_bavail), budget.block_size,
                               &budget.bytes_free))
        budget.bytes_free = UINT64_MAX;
    // A file system that counts no inodes at all sets no limit on them.
    budget.inodes_free = fs.f_files != 0 ? fs.f_favail : UINT64_MAX;
    if (!add_entry(&budget, 0))
        return report(directory, strerror(ENOSPC));
    return read_package(request, file, &budget, nullptr, -1);
}

// Extracts the verified package into the staging area, the working directory from then on,
// and moves it into place. 0 on success; a failure is reported, and the caller settles the
// staging directory.
int stage_and_move(const tar_request& request, const watchd::unique_fd& file,
                   const watchd::unique_fd& dir_fd, const char* directory) {
    watchd::staging_area area;
    int err = watchd::make_staging_area(dir_fd.get(), &area);
    if (err != 0)
        return report(directory, strerror(err));
    archive_ptr writer(archive_write_disk_new(), archive_free);
    if (!writer || archive_write_disk_set_options(writer.get(), EXTRACT_FLAGS) != ARCHIVE_OK)
        return report(request.archive, strerror(ENOMEM));
    if (read_package(request, file, nullptr, writer.get(), dir_fd.get()) != 0)
        return 1;
    err = watchd::merge_staged(area, dir_fd.get());
    return err == 0 ? 0 : report(directory, strerror(err));
}

// settle_staging in dir_fd: 0, or 1 (reported). A staging directory that cannot be removed is
// a failure, even after the commit.
int settle(const watchd::unique_fd& dir_fd) {
    const int err = watchd::settle_staging(dir_fd.get());
    return err == 0 ? 0 : report(watchd::STAGING_NAME, strerror(err));
}

}  // namespace

int extract_archive(const tar_request& request) {
    // Opened before the change of directory, so a relative archive path keeps its meaning.
    // O_NONBLOCK: opening a FIFO would otherwise wait for a writer before the check below can
    // refuse it. Reads of a regular file ignore the flag.
    watchd::unique_fd file(open(request.archive, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file.valid())
        return report_cannot("open", request.archive);
    // A FIFO or a device could hold the tool, and the daemon that waits for it, forever.
    // fstatat, which the entry checks call anyway: one imported function fewer than fstat.
    struct stat st;
    if (fstatat(file.get(), "", &st, AT_EMPTY_PATH) != 0)
        return report(request.archive, strerror(errno));
    if (!S_ISREG(st.st_mode))
        return report(request.archive, "not a regular file");
    // libarchive resolves entry names against the working directory, and its secure checks
    // refuse an absolute directory prefix: so work from inside the directory.
    const char* directory = request.directory != nullptr ? request.directory : ".";
    watchd::unique_fd dir_fd(open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd.valid() || fchdir(dir_fd.get()) != 0)
        return report_cannot("change to directory", directory);
    // What an earlier run left behind when it was cut short goes first; what this one leaves,
    // whatever happened, at the end.
    if (settle(dir_fd) != 0 || verify_archive(request, file, directory) != 0)
        return 1;
    const int status = stage_and_move(request, file, dir_fd, directory);
    return settle(dir_fd) != 0 ? 1 : status;
}

}  // namespace m01_load
