#include "status/procfs.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "base/resources.h"
#include "base/text.h"
#include "files/fileio.h"

namespace watchd {
namespace {

constexpr const char* PROC_LOCKS = "/proc/locks";
constexpr const char* PROC_UPTIME = "/proc/uptime";
constexpr size_t PROC_PATH_CAPACITY = 64;
constexpr size_t STAT_CAPACITY = 1024;
constexpr size_t LOCKS_LINE_CAPACITY = 256;

// Reads at most cap - 1 bytes of a /proc file and ends them with a zero byte. The length, or
// -1 when the file is gone or cannot be read.
ssize_t read_small_file(const char* path, char* buf, size_t cap) {
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return -1;
    size_t got = 0;
    while (got + 1 < cap) {
        ssize_t n = read(fd.get(), buf + got, cap - 1 - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    buf[got] = '\0';
    return static_cast<ssize_t>(got);
}

bool pid_path(char (&path)[PROC_PATH_CAPACITY], pid_t pid, const char* entry) {
    return format_text(path, sizeof path, "/proc/%ld/%s", static_cast<long>(pid), entry) >= 0;
}

}  // namespace

bool parse_lock_line(const char* line, lock_entry* entry) {
    // "1: FLOCK  ADVISORY  WRITE 1234 00:2d:5678 0 EOF"; a waiter reads "1: -> FLOCK ...".
    char type[16];
    char mode[16];
    char access[16];
    long pid;
    unsigned major;
    unsigned minor;
    unsigned long long inode;
    int consumed = 0;
    // The kernel writes these numbers, within their types (a conversion error cannot pass the
    // field count).
    // NOLINTNEXTLINE(cert-err34-c)
    if (sscanf(line, "%*d: %15s %15s %15s %ld %x:%x:%llu%n", type, mode, access, &pid, &major,
               &minor, &inode, &consumed) != 7 ||
        consumed == 0)
        return false;
    if (strcmp(type, "FLOCK") != 0)
        return false;
    *entry = lock_entry{major, minor, inode, pid};
    return true;
}

pid_t flock_holder(dev_t dev, ino_t ino) {
    std::unique_ptr<FILE, int (*)(FILE*)> locks(fopen(PROC_LOCKS, "re"), fclose);
    if (!locks)
        return -1;
    char line[LOCKS_LINE_CAPACITY];
    pid_t holder = 0;
    while (fgets(line, sizeof line, locks.get()) != nullptr) {
        lock_entry entry;
        if (!parse_lock_line(line, &entry) || entry.major != major(dev) ||
            entry.minor != minor(dev) || entry.inode != static_cast<unsigned long long>(ino))
            continue;
        holder = entry.pid > 0 ? static_cast<pid_t>(entry.pid) : -2;
    }
    return ferror(locks.get()) ? -1 : holder;
}

bool parse_proc_stat(const char* text, proc_stat* stat) {
    // The name in parentheses may hold anything, ") " included: the last ")" ends it.
    const char* name_end = strrchr(text, ')');
    if (name_end == nullptr)
        return false;
    char state;
    long ppid;
    unsigned long long start;
    // state ppid pgrp session tty_nr tpgid flags minflt cminflt majflt cmajflt utime stime
    // cutime cstime priority nice num_threads itrealvalue starttime
    // The kernel's numbers, within their types.
    // NOLINTNEXTLINE(cert-err34-c)
    if (sscanf(name_end + 1,
               " %c %ld %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
               &state, &ppid, &start) != 3)
        return false;
    *stat = proc_stat{state, static_cast<pid_t>(ppid), start};
    return true;
}

bool read_proc_stat(pid_t pid, proc_stat* stat) {
    char path[PROC_PATH_CAPACITY];
    char text[STAT_CAPACITY];
    return pid_path(path, pid, "stat") && read_small_file(path, text, sizeof text) > 0 &&
           parse_proc_stat(text, stat);
}

bool read_proc_cmdline(pid_t pid, proc_cmdline* cmdline) {
    char path[PROC_PATH_CAPACITY];
    if (!pid_path(path, pid, "cmdline"))
        return false;
    const ssize_t len = read_small_file(path, cmdline->text, sizeof cmdline->text);
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

long long hundredths_since_boot() {
    char text[64];
    if (read_small_file(PROC_UPTIME, text, sizeof text) <= 0)
        return -1;
    // "12345.67 ...": seconds with two decimals.
    char* end = nullptr;
    const long long seconds = strtoll(text, &end, 10);
    if (end == text || seconds < 0)
        return -1;
    long long hundredths = seconds * 100;
    if (end[0] == '.' && isdigit(static_cast<unsigned char>(end[1]))) {
        hundredths += static_cast<long long>(end[1] - '0') * 10;
        if (isdigit(static_cast<unsigned char>(end[2])))
            hundredths += end[2] - '0';
    }
    return hundredths;
}

long long process_uptime(unsigned long long start_ticks) {
    const long ticks = sysconf(_SC_CLK_TCK);
    const long long now = hundredths_since_boot();
    if (ticks <= 0 || now < 0)
        return -1;
    const long long started =
        static_cast<long long>(start_ticks * 100 / static_cast<unsigned long>(ticks));
    return now >= started ? (now - started) / 100 : 0;
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
