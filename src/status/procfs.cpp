#include "status/procfs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include "base/resources.h"

namespace watchd {
namespace {

constexpr size_t STAT_CAPACITY = 1024;
constexpr size_t LOCKS_LINE_CAPACITY = 256;

// Reads at most cap - 1 bytes of /proc/PID/entry and ends them with a zero byte. The
// length, or -1 when the file is gone or cannot be read.
ssize_t read_pid_file(pid_t pid, const char* entry, char* buf, size_t cap) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/%s", static_cast<long>(pid), entry);
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    const ssize_t got = fd.valid() ? read_full(fd.get(), buf, cap - 1) : -1;
    buf[got < 0 ? 0 : got] = '\0';
    return got;
}

}  // namespace

ssize_t read_full(int fd, char* buf, size_t cap) {
    size_t got = 0;
    while (got < cap) {
        const ssize_t n = read(fd, buf + got, cap - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

pid_t flock_holder(dev_t dev, ino_t ino) {
    std::unique_ptr<FILE, int (*)(FILE*)> locks(fopen("/proc/locks", "re"), fclose);
    if (!locks)
        return -1;
    char line[LOCKS_LINE_CAPACITY];
    pid_t holder = 0;
    while (fgets(line, sizeof line, locks.get()) != nullptr) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:2d:5678 0 EOF"; a waiter reads "1: -> FLOCK ...".
        char type[16];
        long pid;
        unsigned major_id;
        unsigned minor_id;
        unsigned long long inode;
        // The kernel writes these numbers, within their types.
        // NOLINTNEXTLINE(cert-err34-c)
        if (sscanf(line, "%*d: %15s %*s %*s %ld %x:%x:%llu", type, &pid, &major_id, &minor_id,
                   &inode) == 5 &&
            strcmp(type, "FLOCK") == 0 && major_id == major(dev) && minor_id == minor(dev) &&
            inode == static_cast<unsigned long long>(ino))
            holder = pid > 0 ? static_cast<pid_t>(pid) : -2;
    }
    return ferror(locks.get()) ? -1 : holder;
}

bool read_proc_stat(pid_t pid, proc_stat* stat) {
    char text[STAT_CAPACITY];
    // The name in parentheses may hold anything, ") " included: the last ")" ends it.
    const char* name_end =
        read_pid_file(pid, "stat", text, sizeof text) > 0 ? strrchr(text, ')') : nullptr;
    if (name_end == nullptr)
        return false;
    long ppid;
    // state ppid pgrp session tty_nr tpgid flags minflt cminflt majflt cmajflt utime stime
    // cutime cstime priority nice num_threads itrealvalue starttime, the kernel's numbers.
    // NOLINTNEXTLINE(cert-err34-c)
    if (sscanf(name_end + 1,
               " %c %ld %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
               &stat->state, &ppid, &stat->start_ticks) != 3)
        return false;
    stat->ppid = static_cast<pid_t>(ppid);
    return true;
}

bool read_proc_cmdline(pid_t pid, proc_cmdline* cmdline) {
    const ssize_t len = read_pid_file(pid, "cmdline", cmdline->text, sizeof cmdline->text);
    // Full to the last byte: it may go on beyond what was read.
    if (len <= 0 || static_cast<size_t>(len) + 1 >= sizeof cmdline->text)
        return false;
    cmdline->argc = 0;
    for (ssize_t at = 0; at < len;) {
        if (cmdline->argc == CMDLINE_ARGS_MAX)
            return false;
        cmdline->argv[cmdline->argc++] = cmdline->text + at;
        at += static_cast<ssize_t>(strlen(cmdline->text + at)) + 1;
    }
    return true;
}

long long process_uptime(unsigned long long start_ticks) {
    // /proc/uptime and the start times count from boot on this clock, in hundredths.
    const long ticks = sysconf(_SC_CLK_TCK);
    struct timespec now;
    if (ticks <= 0 || clock_gettime(CLOCK_BOOTTIME, &now) != 0)
        return -1;
    const long long now_hundredths = now.tv_sec * 100LL + now.tv_nsec / 10000000;
    const auto started =
        static_cast<long long>(start_ticks * 100 / static_cast<unsigned long>(ticks));
    return now_hundredths >= started ? (now_hundredths - started) / 100 : 0;
}

int list_children(pid_t parent, pid_t (&children)[CHILDREN_MAX]) {
    dir_ptr proc(opendir("/proc"));
    if (!proc)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(proc.get())) {
        char* end = nullptr;
        const long pid = strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0)
            continue;
        proc_stat stat;
        // A process that ended since the listing is no child any more.
        if (!read_proc_stat(static_cast<pid_t>(pid), &stat) || stat.ppid != parent ||
            stat.state == 'Z' || stat.state == 'X')
            continue;
        if (count == CHILDREN_MAX)
            break;
        children[count++] = static_cast<pid_t>(pid);
    }
    return count;
}

}  // namespace watchd
