#include "supervisor/startup.h"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/output.h"
#include "base/text.h"
#include "base/unique_fd.h"
#include "files/fileio.h"
#include "files/runfile.h"

namespace watchd {

void open_missing_standard_streams() {
    // fstat() fails only for a closed descriptor here, and spares the daemon importing fcntl().
    struct stat info;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fstat(fd, &info) == 0)
            continue;
        // The lowest free descriptor is fd itself, since every lower one is open by now.
        int opened = open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd)
            close(opened);
    }
}

// Neither function keeps a path-sized buffer above the formatting and system calls below it:
// the stack pages those would reach stay dirty for the daemon's life.
int format_run_path(const char* argv0, char (&run_path)[PATH_CAPACITY]) {
    size_t end = strlen(argv0);
    if (end >= PATH_CAPACITY)
        return -1;
    // The last component of argv0 as basename() gives it ("/" for slashes only, "." for an
    // empty path), found without changing argv0 or copying it.
    while (end > 1 && argv0[end - 1] == '/')
        --end;
    size_t start = end;
    while (start > 0 && argv0[start - 1] != '/')
        --start;
    const bool no_name = start == end;
    const char* base = no_name ? (end == 0 ? "." : "/") : argv0 + start;
    const int length = no_name ? 1 : static_cast<int>(end - start);
    const int written =
        format_text(run_path, sizeof run_path, "%s%.*s.run", RUNTIME_DIR, length, base);
    return written < 0 ? -1 : 0;
}

void enter_program_dir(const char* path) {
    if (path == nullptr)
        return;
    const size_t length = strlen(path);
    if (length >= PATH_CAPACITY)
        return;
    // dirname() may modify its argument; only the path's own bytes are written to the copy.
    char copy[PATH_CAPACITY];
    memcpy(copy, path, length + 1);
    if (chdir(dirname(copy)) != 0) {
        // The inherited directory serves as the daemon's directory then.
    }
}

int ensure_uci_dir() {
    if (unique_fd(open(RUNTIME_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC)).valid() ||
        mkdir(RUNTIME_DIR, 0777) == 0)
        return 0;
    say("mkdir (%s) error: %s", RUNTIME_DIR, strerror(errno));
    return -1;
}

int register_instance(const char* argv0, watch_state* state) {
    char cwd[PATH_CAPACITY];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        say_line("failed to get current dir");
        return -1;
    }
    state->lock_fd = acquire_run_lock(state->run_path, cwd, static_cast<int32_t>(strlen(cwd)));
    if (state->lock_fd < 0) {
        say("process(%s) already run\n", argv0);
        return -1;
    }
    (void)write_all(state->lock_fd, "\n", 1);
    return 0;
}

}  // namespace watchd
