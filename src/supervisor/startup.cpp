#include "supervisor/startup.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "files/fileio.h"
#include "files/runfile.h"
#include "output.h"
#include "resources.h"
#include "text.h"
#include "unique_fd.h"

namespace watchd {
namespace {

constexpr int FIRST_INHERITED_FD = 3;
constexpr long HIGHEST_CLOSED_FD = 65536;
constexpr const char* OWN_FD_DIR = "/proc/self/fd";
constexpr const char* NULL_DEVICE = "/dev/null";

}  // namespace

// close_range() is number 436 in the table every architecture shares since Linux 5.1; MIPS
// counts from its ABI's base. Toolchains with older kernel headers do not name it.
#if !defined(SYS_close_range) && defined(__mips__) && defined(__NR_Linux)
#define SYS_close_range (__NR_Linux + 436)
#endif

// close_range() closes them all in one call; kernels before 5.9 do not have it (ENOSYS).
bool close_with_close_range(int first) {
#ifdef SYS_close_range
    return syscall(SYS_close_range, static_cast<unsigned>(first), ~0u, 0u) == 0;
#else
    (void)first;
    return false;
#endif
}

// Closes only the descriptors that are open, as listed by /proc. The listing is read with
// getdents64 into a small buffer rather than through a directory stream: the launcher's child
// runs this on the daemon's memory, where an allocation would stay behind.
bool close_listed_fds(int first) {
    unique_fd dir(open(OWN_FD_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid())
        return false;
    // A record: 64-bit inode and offset, 16-bit record length, type byte, terminated name.
    constexpr size_t RECORD_LENGTH_AT = 16;
    constexpr size_t NAME_AT = 19;
    alignas(8) char listing[512];
    for (;;) {
        const long got = syscall(SYS_getdents64, dir.get(), listing, sizeof listing);
        if (got <= 0)
            return got == 0;
        for (long at = 0; at < got;) {
            unsigned short length = 0;
            memcpy(&length, listing + at + RECORD_LENGTH_AT, sizeof length);
            const char* name = listing + at + NAME_AT;
            at += length;
            char* end = nullptr;
            const long fd = strtol(name, &end, 10);
            if (end == name || *end != '\0')
                continue;
            if (fd >= first && fd != dir.get())
                close(static_cast<int>(fd));
        }
    }
}

void close_up_to_limit(int first) {
    // An unlimited descriptor limit reads as a huge number; the daemon, suspended while a
    // starting child runs this, must not wait for billions of calls.
    long limit = sysconf(_SC_OPEN_MAX);
    if (limit < 0 || limit > HIGHEST_CLOSED_FD)
        limit = HIGHEST_CLOSED_FD;
    for (long fd = first; fd < limit; ++fd)
        close(static_cast<int>(fd));
}

void close_inherited_fds(int first) {
    if (first <= 0)
        first = FIRST_INHERITED_FD;
    if (close_with_close_range(first))
        return;
    if (close_listed_fds(first))
        return;
    close_up_to_limit(first);
}

void open_missing_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0)
            continue;
        // The lowest free descriptor is fd itself, since every lower one is open by now.
        int opened = open(NULL_DEVICE, O_RDWR);
        if (opened >= 0 && opened != fd)
            close(opened);
    }
}

namespace {

// The last component of path as basename() gives it ("/" for slashes only, "." for an empty
// path), found without changing path or copying it.
struct text_span {
    const char* start;
    int length;
};

text_span base_name_of(const char* path) {
    size_t end = strlen(path);
    if (end == 0)
        return {".", 1};
    while (end > 1 && path[end - 1] == '/')
        --end;
    size_t start = end;
    while (start > 0 && path[start - 1] != '/')
        --start;
    if (start == end)
        return {"/", 1};
    return {path + start, static_cast<int>(end - start)};
}

}  // namespace

// Neither function keeps a path-sized buffer above the formatting and system calls below it:
// the stack pages those would reach stay dirty for the daemon's life.
int format_run_path(const char* argv0, char (&run_path)[PATH_CAPACITY]) {
    if (strlen(argv0) >= PATH_CAPACITY)
        return -1;
    const text_span base = base_name_of(argv0);
    return format_text(run_path, sizeof run_path, "%s%.*s.run", RUNTIME_DIR, base.length,
                       base.start) < 0
               ? -1
               : 0;
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
    if (dir_ptr(opendir(RUNTIME_DIR)))
        return 0;
    if (mkdir(RUNTIME_DIR, 0777) == 0)
        return 0;
    say("mkdir (%s) error: %s", RUNTIME_DIR, strerror(errno));
    return -1;
}

int register_instance(const char* argv0, watch_state* state) {
    char cwd[PATH_CAPACITY] = {};
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
