// The bytes of a package for the tar reader: a gzip-compressed file is inflated here with
// every check the gzip format offers (each member's header, data CRC and length), and nothing
// but further members may follow the first. libarchive's own gzip reader skips the trailer, so
// a corrupt package would pass it. extract.cpp opens one stream per pass over the package.
#pragma once

#include <archive.h>
#include <sys/types.h>
#include <zlib.h>

namespace m01_load {

class package_stream {
  public:
    // Reads the open file fd (not owned) from its start; inflates it when gzip is set or the
    // file starts like gzip data.
    package_stream(int fd, bool gzip);
    ~package_stream();
    package_stream(const package_stream&) = delete;
    package_stream& operator=(const package_stream&) = delete;

    // The read callback that attaches a tar reader to a stream (self) with archive_read_open.
    static la_ssize_t read_callback(archive* /*reader*/, void* self, const void** block);
    // Reads on to the end of the file, past what the tar reader needed, so that every
    // member's trailer is checked. 0 when the whole file is sound.
    [[nodiscard]] int finish();
    // Why the stream failed, or null when it did not (or the tar reader failed on its own).
    const char* problem() const { return problem_; }

  private:
    static constexpr size_t BLOCK_SIZE = size_t{64} * 1024;
    // Padding after the end-of-archive blocks: tar writers fill their last record with zeros,
    // 10 KiB by default, and larger blocking factors stay well below this.
    static constexpr size_t MAX_DATA_AFTER_END = size_t{1024} * 1024;

    // Bytes of the next block (0 at the end of the data, -1 on failure).
    ssize_t next_block(const void** block);
    ssize_t inflate_block();
    // Starts the gzip member at the input: 0, or -1 when none may start there.
    int begin_member();
    int fill_input();
    int fail(const char* problem);

    int fd_;
    off_t offset_ = 0;
    bool gzip_;
    bool input_end_ = false;
    bool member_done_ = true;  // between members: the next byte starts one, or the file ends
    bool started_ = false;     // a member has begun
    bool zlib_ready_ = false;
    const char* problem_ = nullptr;
    z_stream zlib_{};
    unsigned char input_[BLOCK_SIZE];
    unsigned char output_[BLOCK_SIZE];
};

}  // namespace m01_load
