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

#include "files/unique_fd.h"

namespace m01_load {
namespace {

constexpr size_t READ_BLOCK_SIZE = size_t{64} * 1024;

// Entries may not leave the directory: no absolute names, no `..`, no path through a
// symbolic link (also one made by this archive), no hard link to a target outside. An
// existing file is replaced by renaming a temporary file over it, so a program running from
// the directory is never written into.
constexpr int EXTRACT_FLAGS = ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM |
                              ARCHIVE_EXTRACT_SAFE_WRITES | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                              ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                              ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS;

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

// A reader over file from its start; null (reported) when the data does not start like a
// tar archive.
read_archive_ptr open_archive(const tar_request& request, const watchd::unique_fd& file) {
    read_archive_ptr reader(archive_read_new());
    if (!reader || lseek(file.get(), 0, SEEK_SET) != 0) {
        report(request.archive, strerror(reader ? errno : ENOMEM));
        return nullptr;
    }
    archive_read_support_format_tar(reader.get());
    if (request.gzip)
        archive_read_support_filter_gzip(reader.get());
    else
        archive_read_support_filter_all(reader.get());
    if (archive_read_open_fd(reader.get(), file.get(), READ_BLOCK_SIZE) != ARCHIVE_OK) {
        report(request.archive, error_text(reader.get()));
        return nullptr;
    }
    return reader;
}

// Reads every header and all data to the end, adding up in *file_bytes the sizes of the
// regular files. 0 when the archive is whole and readable.
int verify_archive(const tar_request& request, const watchd::unique_fd& file,
                   uint64_t* file_bytes) {
    read_archive_ptr reader = open_archive(request, file);
    if (!reader)
        return 1;
    *file_bytes = 0;
    archive_entry* entry = nullptr;
    for (;;) {
        int r = archive_read_next_header(reader.get(), &entry);
        if (r == ARCHIVE_EOF)
            return 0;
        if (r < ARCHIVE_WARN || archive_read_data_skip(reader.get()) < ARCHIVE_WARN) {
            report(request.archive, error_text(reader.get()));
            return 1;
        }
        if (archive_entry_filetype(entry) == AE_IFREG && archive_entry_size(entry) > 0)
            *file_bytes += static_cast<uint64_t>(archive_entry_size(entry));
    }
}

// Refuses an extraction whose files cannot fit: a write that fails half-way would leave a
// temporary file behind. Safe writes keep each old file until its new one is complete, so
// the old files' space does not count as free. 0 when there is room (or it cannot be told).
int check_free_space(const char* directory, uint64_t file_bytes) {
    struct statvfs fs;
    if (statvfs(".", &fs) != 0 || fs.f_frsize == 0)
        return 0;
    const uint64_t available = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    if (file_bytes <= available)
        return 0;
    fprintf(stderr, "%s: tar: %s: %s (%llu bytes of files, %llu available)\n", TOOL_NAME, directory,
            strerror(ENOSPC), static_cast<unsigned long long>(file_bytes),
            static_cast<unsigned long long>(available));
    return 1;
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
        if (r < ARCHIVE_WARN) {
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

// Writes one entry. Returns ARCHIVE_OK, ARCHIVE_FAILED for an entry that was refused (the
// extraction goes on), or ARCHIVE_FATAL to stop.
int extract_entry(archive* reader, archive* writer, archive_entry* entry) {
    int r = archive_write_header(writer, entry);
    if (r < ARCHIVE_WARN) {
        report(entry_name(entry), error_text(writer));
        return r == ARCHIVE_FATAL ? ARCHIVE_FATAL : ARCHIVE_FAILED;
    }
    if (r == ARCHIVE_WARN)
        report(entry_name(entry), error_text(writer));
    if (archive_entry_size(entry) > 0 && copy_entry_data(reader, writer, entry) != 0) {
        // Finishing the entry would pad the partial file and rename it over the old one;
        // abandoning the writer keeps the old file whole.
        archive_write_fail(writer);
        return ARCHIVE_FATAL;
    }
    r = archive_write_finish_entry(writer);
    if (r < ARCHIVE_WARN) {
        report(entry_name(entry), error_text(writer));
        return r == ARCHIVE_FATAL ? ARCHIVE_FATAL : ARCHIVE_FAILED;
    }
    if (r == ARCHIVE_WARN)
        report(entry_name(entry), error_text(writer));
    return ARCHIVE_OK;
}

// Extracts every entry of an archive that verify_archive found whole.
int extract_entries(archive* reader, archive* writer, const char* archive_path) {
    int status = 0;
    archive_entry* entry = nullptr;
    for (;;) {
        int r = archive_read_next_header(reader, &entry);
        if (r == ARCHIVE_EOF)
            break;
        if (r < ARCHIVE_WARN) {
            report(archive_path, error_text(reader));
            return 1;
        }
        r = extract_entry(reader, writer, entry);
        if (r == ARCHIVE_FATAL)
            return 1;
        if (r != ARCHIVE_OK)
            status = 1;
    }
    // Directory modes and times are set last, once nothing more is written into them.
    if (archive_write_close(writer) < ARCHIVE_WARN) {
        report(archive_path, error_text(writer));
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
    uint64_t file_bytes = 0;
    if (verify_archive(request, file, &file_bytes) != 0)
        return 1;
    read_archive_ptr reader = open_archive(request, file);
    if (!reader)
        return 1;
    // libarchive resolves entry names against the working directory, and its secure checks
    // refuse an absolute directory prefix: so work from inside the directory.
    if (request.directory != nullptr && chdir(request.directory) != 0) {
        fprintf(stderr, "%s: tar: cannot change to directory %s: %s\n", TOOL_NAME,
                request.directory, strerror(errno));
        return 1;
    }
    if (check_free_space(request.directory != nullptr ? request.directory : ".", file_bytes) != 0)
        return 1;
    write_archive_ptr writer(archive_write_disk_new());
    if (!writer || archive_write_disk_set_options(writer.get(), EXTRACT_FLAGS) != ARCHIVE_OK) {
        report(request.archive, strerror(ENOMEM));
        return 1;
    }
    return extract_entries(reader.get(), writer.get(), request.archive);
}

}  // namespace m01_load
