#include "files/fileio.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/data_names.h"
#include "base/output.h"
#include "base/remove_entry.h"
#include "base/text.h"
#include "protocol/protocol.h"

namespace watchd {
namespace {

constexpr size_t COPY_CHUNK = 1024;
constexpr mode_t PERMISSION_BITS = 0777;
// A name in a directory and its terminating zero.
constexpr size_t NAME_CAPACITY = NAME_MAX + 1;

// A temporary file beside a target that replaces the target on commit() and is removed
// when it is dropped uncommitted. Every step after the directory is opened is taken relative
// to it.
class file_replacement {
  public:
    ~file_replacement() {
        if (created_)
            unlinkat(dir_.get(), temp_name_, 0);
    }

    // new_mode applies (less the umask) when the target is no regular file yet; an existing
    // file's permission bits are carried over, taken from the file itself (never through a
    // symbolic link) and without setuid, setgid or sticky bits.
    [[nodiscard]] bool open(const char* target, mode_t new_mode) {
        if (!split_target(target))
            return false;
        dir_.reset(::open(dir_path_, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        // Whatever stands at the temporary name is a leftover: a write cut short by a power
        // loss, or anything else put there. It goes, whatever it is, or no write could ever
        // succeed again.
        if (!dir_.valid() || remove_entry_at(dir_.get(), temp_name_) != 0)
            return false;
        fd_.reset(openat(dir_.get(), temp_name_,
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, new_mode));
        if (!fd_.valid())
            return false;
        created_ = true;
        struct stat existing;
        return fstatat(dir_.get(), target_name_, &existing, AT_SYMLINK_NOFOLLOW) != 0 ||
               !S_ISREG(existing.st_mode) ||
               fchmod(fd_.get(), existing.st_mode & PERMISSION_BITS) == 0;
    }

    int fd() const { return fd_.get(); }

    [[nodiscard]] bool commit() {
        if (fsync(fd_.get()) != 0 || ::close(fd_.release()) != 0 ||
            renameat(dir_.get(), temp_name_, dir_.get(), target_name_) != 0)
            return false;
        created_ = false;
        // The new content is in place, but a power cut could still undo the rename: that is a
        // failure for the caller to report, not a success.
        return fsync(dir_.get()) == 0;
    }

  private:
    // The target's directory (its path up to the last slash, or "."), the target's name in
    // it (within target, which outlives the replacement), and the temporary name beside it.
    bool split_target(const char* target) {
        const char* slash = strrchr(target, '/');
        target_name_ = slash == nullptr ? target : slash + 1;
        const char* dir = slash == nullptr ? "." : target;
        const int dir_len = slash == nullptr ? 1 : static_cast<int>(slash - target) + 1;
        const int written = format_text(dir_path_, sizeof dir_path_, "%.*s", dir_len, dir);
        return written >= 0 && *target_name_ != '\0' &&
               format_text(temp_name_, sizeof temp_name_, "%s%s", target_name_,
                           DAEMON_TEMP_SUFFIX) >= 0;
    }

    char dir_path_[DATA_PATH_CAPACITY] = {};
    const char* target_name_ = nullptr;
    char temp_name_[NAME_CAPACITY] = {};
    unique_fd dir_;
    unique_fd fd_;
    bool created_ = false;
};

ssize_t read_retrying(int fd, char* buf, size_t len) {
    ssize_t n;
    do {
        n = read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

}  // namespace

unique_fd open_regular_file(const char* path, int flags, mode_t mode) {
    // O_NONBLOCK: a FIFO planted here must not hang the daemon in open().
    unique_fd fd(open(path, flags | O_NONBLOCK | O_CLOEXEC, mode));
    struct stat info;
    if (fd.valid() && (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)))
        fd.reset();
    return fd;
}

read_result read_whole_file(const char* path, file_content* content) {
    unique_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    // These errors mean there is no file to read, as opposed to one that cannot be read.
    if (!fd.valid())
        return errno == ENOENT || errno == ENOTDIR || errno == ENXIO ? read_result::absent
                                                                     : read_result::failed;
    struct stat info;
    if (fstat(fd.get(), &info) != 0)
        return read_result::failed;
    if (!S_ISREG(info.st_mode))
        return read_result::absent;
    if (static_cast<uintmax_t>(info.st_size) >= SIZE_MAX)
        return read_result::failed;
    const size_t size = static_cast<size_t>(info.st_size);
    content->bytes.reset(static_cast<char*>(malloc(size + 1)));
    if (!content->bytes)
        return read_result::failed;
    // A file that shrank since fstat() counts only as far as it was read.
    const ssize_t got = read_full(fd.get(), content->bytes.get(), size);
    if (got < 0)
        return read_result::failed;
    content->bytes.get()[got] = '\0';
    content->length = static_cast<size_t>(got);
    return read_result::read;
}

ssize_t read_full(int fd, char* buf, size_t cap) {
    size_t got = 0;
    while (got < cap) {
        const ssize_t n = read_retrying(fd, buf + got, cap - got);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

int write_all(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

int save_text_file(const char* path, const char* data, int32_t len) {
    file_replacement replacement;
    if (!replacement.open(path, 0666))
        return -1;
    if (len > 0 && write_all(replacement.fd(), data, static_cast<size_t>(len)) != 0)
        return -1;
    return replacement.commit() ? 0 : -1;
}

int copy_fd_to_file(int src_fd, const char* dst) {
    file_replacement out;
    if (src_fd < 0 || !out.open(dst, 0700)) {
        // The destination is never left open here: it is not even tried without a source.
        say("Failed to read or write, in, %d, out, %d\n", src_fd, -1);
        return -1;
    }
    char chunk[COPY_CHUNK];
    for (;;) {
        const ssize_t got = read_retrying(src_fd, chunk, sizeof chunk);
        if (got == 0)
            return out.commit() ? 0 : -1;
        if (got < 0 || write_all(out.fd(), chunk, static_cast<size_t>(got)) != 0)
            return -1;
    }
}

}  // namespace watchd
