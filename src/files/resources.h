// Owning handles for the daemon's resources: descriptors, stdio streams, cJSON trees,
// malloc'd buffers and directory streams. Every module that acquires one of these holds it
// through a type from here, so that no early return can leak it.
#pragma once

#include <cjson/cJSON.h>
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>

namespace watchd {

// Move-only owner of a file descriptor. A descriptor is valid when it is 0 or greater.
class unique_fd {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // `!fd` would read like a validity test but compare with 0; ask valid() instead.
    bool operator!() const = delete;

    [[nodiscard]] int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // close() is not retried on EINTR: on Linux the descriptor is gone either way.
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

struct json_deleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using json_ptr = std::unique_ptr<cJSON, json_deleter>;

struct file_closer {
    void operator()(FILE* stream) const { fclose(stream); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

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
