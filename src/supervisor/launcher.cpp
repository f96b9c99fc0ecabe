#include "supervisor/launcher.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include "base/output.h"
#include "base/shell.h"
#include "base/text.h"
#include "base/unique_fd.h"

namespace watchd {

constexpr int FIRST_INHERITED_FD = 3;
constexpr long HIGHEST_CLOSED_FD = 65536;
constexpr const char* OWN_FD_DIR = "/proc/self/fd";

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

void close_inherited_fds() {
    if (!close_with_close_range(FIRST_INHERITED_FD) && !close_listed_fds(FIRST_INHERITED_FD))
        close_up_to_limit(FIRST_INHERITED_FD);
}

namespace {

// The signals the daemon ignores: those its own starter left ignored, and SIGPIPE. They are
// settled before the first start (main sets them; run_shell_command restores what it changes
// around system()), so they are looked up once, in the daemon, not in every child.
const sigset_t& signals_ignored_by_daemon() {
    static const sigset_t ignored = [] {
        sigset_t set;
        sigemptyset(&set);
        struct sigaction current;
        for (int sig = 1; sig < NSIG; ++sig) {
            if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
                sigaddset(&set, sig);
        }
        return set;
    }();
    return ignored;
}

// The program must not inherit what the daemon ignores (SIGPIPE, and whatever its own starter
// ignored or blocked): an ignored SIGTERM would let it outlive the daemon. exec sets caught
// signals to their defaults itself (the daemon catches none) but keeps ignored ones and the mask.
void reset_signal_state(const sigset_t& ignored_set) {
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sigismember(&ignored_set, sig) == 1)
            set_signal_disposition(sig, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The text of an error of exec as strerror gives it in the C locale, which the daemon never
// leaves, but without strerror's locale machinery where the C library offers that.
const char* error_text(int error) {
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 32)
    if (const char* text = strerrordesc_np(error))
        return text;
#endif
    return strerror(error);
}

iovec text_part(const char* text) {
    return {const_cast<char*>(text), strlen(text)};
}

// Writes parts in order to standard output, resuming after a partial write.
void write_parts(iovec* parts, int count) {
    while (count > 0) {
        ssize_t written = writev(STDOUT_FILENO, parts, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        for (; count > 0 && static_cast<size_t>(written) >= parts->iov_len; ++parts, --count)
            written -= static_cast<ssize_t>(parts->iov_len);
        if (count > 0) {
            parts->iov_base = static_cast<char*>(parts->iov_base) + written;
            parts->iov_len -= static_cast<size_t>(written);
        }
    }
}

// Runs in the child of vfork() only, on the daemon's memory and below its stack frame, while
// the daemon waits: system calls only, no stdio, no allocation, no return. It ends with
// _exit, since exit handlers belong to the daemon.
[[noreturn, gnu::noinline]] void become_program(pid_t daemon_pid, const sigset_t& ignored_set,
                                                const child_args& args) {
    // Before the parent-death signal is armed, so that it cannot arrive ignored or blocked.
    reset_signal_state(ignored_set);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The daemon may have died before the line above took effect: nobody would watch us.
    if (getppid() != daemon_pid)
        _exit(EXIT_EXEC_FAILED);
    close_inherited_fds();
    execv(args.argv[0], const_cast<char* const*>(args.argv));
    const int error = errno;
    // The message must not cost the exit code: with SIGPIPE at its default again, a standard
    // output whose reader is gone would kill this child, and a signal is no exec failure.
    set_signal_disposition(SIGPIPE, SIG_IGN);
    iovec parts[] = {text_part("failed to exec "), text_part(args.argv[0]),
                     text_part(", error is "), text_part(error_text(error)), text_part("\n")};
    write_parts(parts, sizeof parts / sizeof parts[0]);
    _exit(EXIT_EXEC_FAILED);
}

}  // namespace

void build_child_args(const char* path, int32_t restart_code, int32_t debug, int32_t extended,
                      child_args* args) {
    int n = 0;
    args->argv[n++] = path;
    if (restart_code != 0) {
        format_text(args->restart_text, sizeof args->restart_text, "%d", restart_code);
        args->argv[n++] = "-r";
        args->argv[n++] = args->restart_text;
    }
    if (debug == 1)
        args->argv[n++] = "-d";
    if (extended == 1) {
        args->argv[n++] = "-T";
        args->argv[n++] = RUNTIME_DIR;
        args->argv[n++] = "-D";
        args->argv[n++] = DATA_DIR;
        args->argv[n++] = "-O";
        args->argv[n++] = PLUGIN_ODM_TAG;
    }
    while (n < MAX_CHILD_ARGS)
        args->argv[n++] = nullptr;
}

int format_program_path(const char* name, int32_t plugin_mode, char (&path)[DATA_PATH_CAPACITY]) {
    return plugin_mode == 1 ? format_text(path, sizeof path, "%s/%s", DATA_DIR, name)
                            : format_text(path, sizeof path, "%s", name);
}

// vfork() does not copy the daemon's page tables and resumes the daemon once the child has
// executed its program or ended: starting costs what starting from a small process costs.
// Everything the child needs is prepared here, before it shares the daemon's memory.
void start_slot(watch_state* state, int index, int32_t restart_code) {
    proc_slot& slot = state->slots[index];
    // Static: a frame of this size would push every call below it onto stack pages that stay
    // dirty for the daemon's life; here only the pages the path is written to are touched.
    static char path[DATA_PATH_CAPACITY];
    // A configured name is bounded so that it fits a data-directory path; a slot whose path
    // does not fit anyway gets no child and is tried again after the normal delay.
    if (format_program_path(slot.name, state->plugin_mode, path) < 0) {
        slot.pid = -1;
        return;
    }
    const pid_t daemon_pid = getpid();
    const sigset_t& ignored_set = signals_ignored_by_daemon();
    child_args args;
    build_child_args(path, restart_code, state->debug_flag, state->plugin_mode == 1, &args);
    fflush(stdout);
    const pid_t pid = vfork();
    if (pid == 0)
        become_program(daemon_pid, ignored_set, args);
    if (pid < 0)
        say_line("failed to fork");
    slot.pid = pid;
}

}  // namespace watchd
