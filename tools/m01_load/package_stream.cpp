#include "package_stream.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

namespace m01_load {
namespace {

constexpr unsigned char GZIP_MAGIC_0 = 0x1f;
constexpr unsigned char GZIP_MAGIC_1 = 0x8b;
constexpr int GZIP_WINDOW_BITS = 15 + 16;  // 32 KiB window, gzip wrapper only

}  // namespace

package_stream::package_stream(int fd, bool gzip) : fd_(fd), gzip_(gzip) {
    unsigned char magic[2];
    if (!gzip_)
        gzip_ = pread(fd, magic, sizeof magic, 0) == 2 && magic[0] == GZIP_MAGIC_0 &&
                magic[1] == GZIP_MAGIC_1;
    if (gzip_)
        zlib_ready_ = inflateInit2(&zlib_, GZIP_WINDOW_BITS) == Z_OK;
}

package_stream::~package_stream() {
    if (zlib_ready_)
        inflateEnd(&zlib_);
}

int package_stream::finish() {
    const void* block = nullptr;
    ssize_t n = 0;
    size_t after_end = 0;
    while (gzip_ && (n = next_block(&block)) > 0) {
        // Past the archive's end only the padding of its last record may follow: anything more
        // would be inflated in full, and the daemon waits for the tool meanwhile.
        after_end += static_cast<size_t>(n);
        if (after_end > MAX_DATA_AFTER_END)
            return fail("data after the end of the archive");
    }
    return n == 0 ? 0 : -1;
}

la_ssize_t package_stream::read_callback(archive* /*reader*/, void* self, const void** block) {
    return static_cast<package_stream*>(self)->next_block(block);
}

int package_stream::fail(const char* problem) {
    problem_ = problem;
    return -1;
}

int package_stream::fill_input() {
    ssize_t n;
    do
        n = pread(fd_, input_, sizeof input_, offset_);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return fail(strerror(errno));
    offset_ += n;
    input_end_ = n == 0;
    zlib_.next_in = input_;
    zlib_.avail_in = static_cast<uInt>(n);
    return 0;
}

ssize_t package_stream::next_block(const void** block) {
    if (problem_ != nullptr)
        return -1;
    if (gzip_) {
        *block = output_;
        return inflate_block();
    }
    *block = input_;
    return fill_input() == 0 ? static_cast<ssize_t>(zlib_.avail_in) : -1;
}

int package_stream::begin_member() {
    // Only another gzip member may follow one; zlib checks the rest of its header.
    if (zlib_.avail_in == 0 || zlib_.next_in[0] != GZIP_MAGIC_0)
        return fail(started_ ? "trailing garbage after gzip data" : "not in gzip format");
    if (inflateReset(&zlib_) != Z_OK)
        return fail("cannot restart gzip decompression");
    member_done_ = false;
    started_ = true;
    return 0;
}

ssize_t package_stream::inflate_block() {
    if (!zlib_ready_)
        return fail(strerror(ENOMEM));
    zlib_.next_out = output_;
    zlib_.avail_out = sizeof output_;
    while (zlib_.avail_out == sizeof output_) {
        if (zlib_.avail_in == 0 && !input_end_ && fill_input() != 0)
            return -1;
        if (member_done_) {
            // The input is refilled above while it lasts: none left after a member is the end.
            if (zlib_.avail_in == 0 && started_)
                break;
            if (begin_member() != 0)
                return -1;
        }
        if (zlib_.avail_in == 0)
            return fail("unexpected end of gzip data");
        // zlib checks each member's CRC and length before it reports the member's end.
        int r = inflate(&zlib_, Z_NO_FLUSH);
        if (r == Z_STREAM_END)
            member_done_ = true;
        else if (r != Z_OK)
            return fail(zlib_.msg != nullptr ? zlib_.msg : "corrupt gzip data");
    }
    return static_cast<ssize_t>(sizeof output_ - zlib_.avail_out);
}

}  // namespace m01_load
