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

namespace watchd {
namespace {

constexpr int FIRST_INHERITED_FD = 3;
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

// Closes only the descriptors that are open, as listed by /proc.
bool close_listed_fds(int first) {
    dir_ptr dir(opendir(OWN_FD_DIR));
    if (!dir)
        return false;
    const int own = dirfd(dir.get());
    while (const dirent* entry = readdir(dir.get())) {
        char* end = nullptr;
        long fd = strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0')
            continue;
        if (fd >= first && fd != own)
            close(static_cast<int>(fd));
    }
    return true;
}

void close_up_to_limit(int first) {
    long limit = sysconf(_SC_OPEN_MAX);
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

int format_run_path(const char* argv0, char (&run_path)[PATH_CAPACITY]) {
    // basename() may modify its argument; work on a copy.
    char copy[PATH_CAPACITY] = {};
    if (format_text(copy, sizeof copy, "%s", argv0) < 0)
        return -1;
    return format_text(run_path, sizeof run_path, "%s%s.run", RUNTIME_DIR, basename(copy)) < 0 ? -1
                                                                                               : 0;
}

void enter_program_dir(const char* path) {
    if (path == nullptr)
        return;
    char copy[PATH_CAPACITY] = {};
    if (format_text(copy, sizeof copy, "%s", path) < 0)
        return;
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
