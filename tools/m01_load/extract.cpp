#include "extract.h"

#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <memory>

#include "base/data_names.h"
#include "base/merge_journal.h"
#include "base/unique_fd.h"
#include "package_stream.h"

namespace m01_load {
namespace {

using watchd::STAGING_NAME;

// libarchive writes into the staging directory, where entries may not leave it: no absolute
// names, no `..`, no path through a symbolic link made by the package, no hard link to a
// target outside. entry_problem checks the target directory's side.
constexpr int EXTRACT_FLAGS = ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM |
                              ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                              ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS;

// Why an entry is refused; every refused entry is named with one of these.
constexpr const char* SPECIAL_FILE = "device nodes, FIFOs and sockets are refused";
constexpr const char* ABSOLUTE_NAME = "absolute name refused";
constexpr const char* DOTDOT_NAME = "name with '..' refused";
constexpr const char* RESERVED_NAME = "name reserved for the staging directory";
constexpr const char* THROUGH_SYMLINK = "would be written through a symbolic link";
constexpr const char* REPLACES_DIRECTORY = "would replace a directory";
constexpr const char* REPLACES_FILE = "would replace a file with a directory";
constexpr const char* TOO_LONG_TO_STAGE = "name too long to be staged";
constexpr const char* DAEMON_NAME = "name of a file the daemon writes";

struct read_archive_deleter {
    void operator()(archive* handle) const { archive_read_free(handle); }
};
using read_archive_ptr = std::unique_ptr<archive, read_archive_deleter>;

struct write_archive_deleter {
    void operator()(archive* handle) const { archive_write_free(handle); }
};
using write_archive_ptr = std::unique_ptr<archive, write_archive_deleter>;

const char* error_text(archive* handle) {
    const char* text = archive_error_string(handle);
    return text != nullptr ? text : "unknown error";
}

const char* entry_name(archive_entry* entry) {
    const char* name = archive_entry_pathname(entry);
    return name != nullptr ? name : "(unnamed entry)";
}

void report(const char* subject, const char* problem) {
    fprintf(stderr, "%s: tar: %s: %s\n", TOOL_NAME, subject, problem);
}

// Refuses (reported) an archive that is not a regular file: a FIFO or a device could
// hold the tool, and the daemon that waits for it, forever.
int check_regular_file(const char* path, const watchd::unique_fd& file) {
    struct stat st;
    if (fstat(file.get(), &st) != 0) {
        report(path, strerror(errno));
        return 1;
    }
    if (!S_ISREG(st.st_mode)) {
        report(path, "not a regular file");
        return 1;
    }
    return 0;
}

// A tar reader over stream; null (reported) when the data does not start like a tar archive.
read_archive_ptr open_archive(const char* archive_path, package_stream& stream) {
    read_archive_ptr reader(archive_read_new());
    if (!reader) {
        report(archive_path, strerror(ENOMEM));
        return nullptr;
    }
    archive_read_support_format_tar(reader.get());
    if (!stream.gzip())
        archive_read_support_filter_all(reader.get());
    if (stream.open(reader.get()) != ARCHIVE_OK) {
        report(archive_path,
               stream.problem() != nullptr ? stream.problem() : error_text(reader.get()));
        return nullptr;
    }
    return reader;
}

// Reports a failure of the package itself, in the stream or in the tar data.
void report_package(const char* archive_path, archive* reader, const package_stream& stream) {
    report(archive_path, stream.problem() != nullptr ? stream.problem() : error_text(reader));
}

// What the package may take of the target's file system. Each entry counts one block, and a
// file its data rounded up to whole blocks besides; the old files' space does not count as
// free, since they stay until the new ones are in place. Each entry counts three inodes: its
// own and, while it is moved into place, up to two that record the step (a marker, or two
// directories that mirror a merged one).
constexpr uint64_t INODES_PER_ENTRY = 3;

struct space_budget {
    uint64_t block_size = 0;
    uint64_t bytes_free = 0;
    uint64_t inodes_free = 0;
    uint64_t bytes_needed = 0;
    uint64_t inodes_needed = 0;
};

// Counts one entry with data bytes of file data. 0 while everything counted still fits.
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

// The budget of the working directory's file system, the staging directory counted. 0, or -1
// with errno set.
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

// Reads every header and all data to the end of the file, counting each entry against the
// budget as soon as its header is read: a package that cannot fit is refused before the rest
// is inflated. 0 when the package is whole and fits.
int verify_archive(const tar_request& request, const watchd::unique_fd& file,
                   const char* directory) {
    space_budget budget;
    if (read_space_budget(&budget) != 0) {
        report(directory, strerror(errno));
        return 1;
    }
    package_stream stream(file.get(), request.gzip);
    read_archive_ptr reader = open_archive(request.archive, stream);
    if (!reader)
        return 1;
    archive_entry* entry = nullptr;
    for (;;) {
        int r = archive_read_next_header(reader.get(), &entry);
        if (r == ARCHIVE_EOF)
            break;
        // A warning is damage that libarchive read past (a malformed pax record, an empty
        // name): what it would install is not what the package says. ARCHIVE_RETRY (a
        // damaged header) ranks above ARCHIVE_WARN but is a failure too.
        const bool header_read = r == ARCHIVE_OK;
        if (header_read && add_entry(&budget, entry_data_bytes(entry)) != 0) {
            fprintf(stderr, "%s: tar: %s: %s (%llu bytes, %llu inodes available)\n", TOOL_NAME,
                    directory, strerror(ENOSPC), static_cast<unsigned long long>(budget.bytes_free),
                    static_cast<unsigned long long>(budget.inodes_free));
            return 1;
        }
        if (!header_read || archive_read_data_skip(reader.get()) != ARCHIVE_OK) {
            report_package(request.archive, reader.get(), stream);
            return 1;
        }
    }
    if (stream.finish() != 0) {
        report_package(request.archive, reader.get(), stream);
        return 1;
    }
    return 0;
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
        if (r != ARCHIVE_OK) {
            report(entry_name(entry), error_text(reader));
            return 1;
        }
        // A failed write(2), a full disk among others, comes back as a mere warning.
        if (archive_write_data_block(writer, block, size, offset) != ARCHIVE_OK) {
            int err = archive_errno(writer);
            report(entry_name(entry), err > 0 ? strerror(err) : error_text(writer));
            return 1;
        }
    }
}

bool name_is(const char* start, size_t length, const char* name) {
    return strlen(name) == length && memcmp(start, name, length) == 0;
}

// Why a first component may not be installed in the target directory: it is the staging
// directory's, or a name the daemon writes there. A file the daemon writes may come as a
// plain regular file, which is what the daemon puts there; nothing may take its temporary.
const char* reserved_name_problem(const char* start, size_t length, bool last, bool plain_file) {
    if (name_is(start, length, STAGING_NAME))
        return RESERVED_NAME;
    constexpr size_t suffix_length = sizeof watchd::DAEMON_TEMP_SUFFIX - 1;
    for (const char* own : watchd::DAEMON_DATA_NAMES) {
        const size_t own_length = strlen(own);
        if (name_is(start, length, own))
            return last && plain_file ? nullptr : DAEMON_NAME;
        if (length == own_length + suffix_length && memcmp(start, own, own_length) == 0 &&
            memcmp(start + own_length, watchd::DAEMON_TEMP_SUFFIX, suffix_length) == 0)
            return DAEMON_NAME;
    }
    return nullptr;
}

// An entry's type, as far as the checks of its name's components need it.
struct entry_kind {
    bool is_dir;
    bool plain_file;  // a regular file that is no hard link
};

// Checks one component of an entry's name and, while the name exists in the target
// directory, what that component is there.
const char* component_problem(char* path, char* start, char* end, entry_kind kind, int dir_fd,
                              bool* in_target) {
    size_t length = static_cast<size_t>(end - start);
    const bool is_dir = kind.is_dir;
    if (length == 2 && start[0] == '.' && start[1] == '.')
        return DOTDOT_NAME;
    if (start == path) {
        const char* reserved = reserved_name_problem(start, length, *end == '\0', kind.plain_file);
        if (reserved != nullptr)
            return reserved;
    }
    if (!*in_target)
        return nullptr;
    const char saved = *end;
    *end = '\0';
    struct stat st;
    int r = fstatat(dir_fd, path, &st, AT_SYMLINK_NOFOLLOW);
    *end = saved;
    if (r != 0) {
        *in_target = false;
        return errno == ENOENT ? nullptr : strerror(errno);
    }
    if (saved != '\0') {
        if (S_ISLNK(st.st_mode))
            return THROUGH_SYMLINK;
        return S_ISDIR(st.st_mode) ? nullptr : strerror(ENOTDIR);
    }
    if (is_dir != S_ISDIR(st.st_mode))
        return is_dir ? REPLACES_FILE : REPLACES_DIRECTORY;
    return nullptr;
}

// entry_problem's answer for the target directory's own entry (`.`): it is skipped, so the
// directory keeps its mode, owner and times.
constexpr const char* TARGET_ITSELF = "";

// Why an entry must not be installed, or null. The target directory's side is checked here:
// the renames into place would otherwise write through a symbolic link there, or put a file
// in the place of a directory.
const char* entry_problem(archive_entry* entry, int dir_fd) {
    const mode_t type = archive_entry_filetype(entry);
    if (archive_entry_hardlink(entry) == nullptr && type != AE_IFREG && type != AE_IFDIR &&
        type != AE_IFLNK)
        return SPECIAL_FILE;
    const char* name = entry_name(entry);
    if (name[0] == '/')
        return ABSOLUTE_NAME;
    char path[PATH_MAX];
    size_t length = strlen(name);
    if (length >= sizeof path)
        return strerror(ENAMETOOLONG);
    memcpy(path, name, length + 1);
    while (length > 0 && path[length - 1] == '/')
        path[--length] = '\0';
    // Leading "./" and the slashes after it name the target directory itself.
    char* start = path;
    while ((start[0] == '.' && start[1] == '/') || (start != path && start[0] == '/'))
        ++start;
    if (start != path)
        memmove(path, start, strlen(start) + 1);
    // The staging directory and the journal hold the entry under a longer name, which must
    // still fit.
    if (strlen(path) + watchd::STAGED_PREFIX_LENGTH >= PATH_MAX)
        return TOO_LONG_TO_STAGE;
    const entry_kind kind = {type == AE_IFDIR,
                             type == AE_IFREG && archive_entry_hardlink(entry) == nullptr};
    const bool is_dir = kind.is_dir;
    if (path[0] == '\0' || strcmp(path, ".") == 0)
        return is_dir ? TARGET_ITSELF : REPLACES_DIRECTORY;
    bool in_target = true;
    for (start = path;; ++start) {
        char* end = strchr(start, '/');
        if (end == nullptr)
            end = start + strlen(start);
        const char* problem = component_problem(path, start, end, kind, dir_fd, &in_target);
        if (problem != nullptr || *end == '\0')
            return problem;
        start = end;
    }
}

// Writes one entry into the staging directory. Returns ARCHIVE_OK, ARCHIVE_FAILED for an
// entry that was refused (the others are still checked), or ARCHIVE_FATAL to stop.
int extract_entry(archive* reader, archive* writer, archive_entry* entry, int dir_fd) {
    const char* problem = entry_problem(entry, dir_fd);
    if (problem == TARGET_ITSELF)
        return ARCHIVE_OK;
    if (problem != nullptr) {
        report(entry_name(entry), problem);
        return ARCHIVE_FAILED;
    }
    // No setuid, setgid or sticky bit comes from a package.
    archive_entry_set_perm(entry, archive_entry_perm(entry) & 0777);
    // A warning here is an entry not written as the package says (a hard link to itself
    // skipped, a time not set): the package is refused as for a reader warning.
    int r = archive_write_header(writer, entry);
    if (r != ARCHIVE_OK) {
        report(entry_name(entry), error_text(writer));
        return r == ARCHIVE_FATAL ? ARCHIVE_FATAL : ARCHIVE_FAILED;
    }
    if (archive_entry_size(entry) > 0 && copy_entry_data(reader, writer, entry) != 0)
        return ARCHIVE_FATAL;
    r = archive_write_finish_entry(writer);
    if (r != ARCHIVE_OK) {
        report(entry_name(entry), error_text(writer));
        return r == ARCHIVE_FATAL ? ARCHIVE_FATAL : ARCHIVE_FAILED;
    }
    return ARCHIVE_OK;
}

// Extracts every entry into the staging directory, the working directory, and reads the
// package to its end. 0 when every entry was written; a refused entry is reported and the
// rest are still checked, so that each refused one is named.
int extract_entries(archive* reader, package_stream& stream, int dir_fd, const char* archive_path) {
    write_archive_ptr writer(archive_write_disk_new());
    if (!writer || archive_write_disk_set_options(writer.get(), EXTRACT_FLAGS) != ARCHIVE_OK) {
        report(archive_path, strerror(ENOMEM));
        return 1;
    }
    int status = 0;
    archive_entry* entry = nullptr;
    for (;;) {
        int r = archive_read_next_header(reader, &entry);
        if (r == ARCHIVE_EOF)
            break;
        if (r != ARCHIVE_OK) {
            report_package(archive_path, reader, stream);
            return 1;
        }
        r = extract_entry(reader, writer.get(), entry, dir_fd);
        if (r == ARCHIVE_FATAL)
            return 1;
        if (r != ARCHIVE_OK)
            status = 1;
    }
    // Directory modes and times are set last, once nothing more is written into them.
    if (archive_write_close(writer.get()) != ARCHIVE_OK) {
        report(archive_path, error_text(writer.get()));
        return 1;
    }
    if (stream.finish() != 0) {
        report_package(archive_path, reader, stream);
        return 1;
    }
    return status;
}

// Journals the durable staged package, moves it into place and commits. 0 on success; a
// failure is reported, and the caller settles the staging directory.
int move_into_place(const watchd::staging_area& area, const watchd::unique_fd& dir_fd,
                    const char* directory) {
    int err = watchd::journal_merge(area, dir_fd.get());
    if (err == 0)
        err = watchd::merge_into(
            {area.package.get(), dir_fd.get(), area.kept.get(), area.added.get()});
    if (err == 0)
        err = watchd::commit_merge(area);
    if (err == 0)
        return 0;
    report(directory, strerror(err));
    return 1;
}

// Extracts the verified package into the staging area, makes it durable and moves it into
// place. 0 on success.
int stage_and_move(const tar_request& request, const watchd::unique_fd& file,
                   const watchd::unique_fd& dir_fd, const char* directory) {
    watchd::staging_area area;
    int err = watchd::make_staging_area(dir_fd.get(), &area);
    if (err != 0 || fchdir(area.package.get()) != 0) {
        report(directory, strerror(err != 0 ? err : errno));
        return 1;
    }
    package_stream stream(file.get(), request.gzip);
    read_archive_ptr reader = open_archive(request.archive, stream);
    if (!reader || extract_entries(reader.get(), stream, dir_fd.get(), request.archive) != 0)
        return 1;
    err = watchd::sync_tree();
    if (err != 0) {
        report(directory, strerror(err));
        return 1;
    }
    return move_into_place(area, dir_fd, directory);
}

// Installs the verified package. Whatever happened, the staging directory is settled at the
// end: rolled back unless the move was committed, and removed. A staging directory that
// cannot be removed is a failure, even after the commit.
int install_package(const tar_request& request, const watchd::unique_fd& file,
                    const watchd::unique_fd& dir_fd, const char* directory) {
    const int status = stage_and_move(request, file, dir_fd, directory);
    const int err = watchd::settle_staging(dir_fd.get());
    if (err != 0) {
        report(STAGING_NAME, strerror(err));
        return 1;
    }
    return status;
}

}  // namespace

int extract_archive(const tar_request& request) {
    // Opened before the change of directory, so a relative archive path keeps its meaning.
    // O_NONBLOCK: opening a FIFO would otherwise wait for a writer before the check below can
    // refuse it. Reads of a regular file ignore the flag.
    watchd::unique_fd file(open(request.archive, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file.valid()) {
        fprintf(stderr, "%s: tar: cannot open %s: %s\n", TOOL_NAME, request.archive,
                strerror(errno));
        return 1;
    }
    if (check_regular_file(request.archive, file) != 0)
        return 1;
    // libarchive resolves entry names against the working directory, and its secure checks
    // refuse an absolute directory prefix: so work from inside the directory.
    const char* directory = request.directory != nullptr ? request.directory : ".";
    watchd::unique_fd dir_fd(open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd.valid() || fchdir(dir_fd.get()) != 0) {
        fprintf(stderr, "%s: tar: cannot change to directory %s: %s\n", TOOL_NAME, directory,
                strerror(errno));
        return 1;
    }
    // What an earlier run left behind when it was cut short: rolled back unless committed.
    int err = watchd::settle_staging(dir_fd.get());
    if (err != 0) {
        report(STAGING_NAME, strerror(err));
        return 1;
    }
    if (verify_archive(request, file, directory) != 0)
        return 1;
    return install_package(request, file, dir_fd, directory);
}

}  // namespace m01_load
