// Installation of a tar package under a directory, for m01_load's tar applet: the package is
// read through to its end and checked against the free space first, then extracted into a
// staging directory, made durable and moved into place, so that the directory gets all of it
// or keeps what it held.
#pragma once

namespace m01_load {

// What a tar call asks for. The texts point into the caller's argv.
struct tar_request {
    const char* archive = nullptr;
    const char* directory = nullptr;  // null: extract into the working directory
    bool gzip = false;
};

// Extracts request's archive under its directory (the working directory when none), keeping
// modes without setuid, setgid and sticky bits, and modification times. An archive that is
// not a regular file (a FIFO, a device) is refused before it is read. Problems go to stderr,
// one line each, prefixed with "m01_load: tar: ". Returns 0 when every entry was installed,
// 1 otherwise: then nothing was, and every refused entry has been named.
[[nodiscard]] int extract_archive(const tar_request& request);

}  // namespace m01_load
