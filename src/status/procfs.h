// Read-only looks into /proc for watchd-status: who holds a flock() lock on a file, a
// process's parent, state, start time and command line, and the children of a process. Every
// entry may vanish between two reads; each reader says so instead of guessing. Also the read
// that fills a buffer, which the run file's reader shares.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

namespace watchd {

constexpr int CMDLINE_ARGS_MAX = 32;
constexpr size_t CMDLINE_CAPACITY = 16384;
constexpr int CHILDREN_MAX = 64;

// Reads from fd until cap bytes or the end of the file. The length, or -1 on a read error.
ssize_t read_full(int fd, char* buf, size_t cap);

// The pid, as this PID namespace sees it, that holds a flock() lock on the file (dev, ino): 0
// when nobody does, -1 when /proc/locks cannot be read, -2 when the holder is not visible
// from here.
pid_t flock_holder(dev_t dev, ino_t ino);

struct proc_stat {
    char state;
    pid_t ppid;
    unsigned long long start_ticks;  // since boot
};
// false when the process is gone or its stat line does not parse.
[[nodiscard]] bool read_proc_stat(pid_t pid, proc_stat* stat);

struct proc_cmdline {
    char text[CMDLINE_CAPACITY];
    const char* argv[CMDLINE_ARGS_MAX];
    int argc;
};
// false when the process is gone, has no command line (a zombie), or one too long to hold.
[[nodiscard]] bool read_proc_cmdline(pid_t pid, proc_cmdline* cmdline);

// Whole seconds a process that started start_ticks after boot has run, or -1.
long long process_uptime(unsigned long long start_ticks);

// The pids of the live (not zombie) children of parent, at most CHILDREN_MAX. -1 when /proc
// cannot be listed.
int list_children(pid_t parent, pid_t (&children)[CHILDREN_MAX]);

}  // namespace watchd
