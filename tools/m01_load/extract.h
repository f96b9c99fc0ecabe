// Extraction of a tar archive under a directory, for m01_load's tar applet. The archive is
// read through to the end before anything is written, so a corrupt or cut package changes
// nothing, and its files must fit the free space; then libarchive writes each entry with its
// secure-extraction checks and with safe writes (a temporary file renamed over an old one).
#pragma once

#include "tar_args.h"

namespace m01_load {

// Extracts request's archive under its directory (the working directory when none), keeping
// modes and modification times. An archive that is not a regular file (a FIFO, a device) is
// refused before it is read. Problems go to stderr, one line each, prefixed with
// "m01_load: tar: ". Returns 0 when every entry was extracted, 1 otherwise; a refused entry
// is reported and skipped, and the rest are still extracted.
[[nodiscard]] int extract_archive(const tar_request& request);

}  // namespace m01_load
