#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include "base/resources.h"
#include "base/text.h"
#include "bootcheck/upgrade.h"
#include "files/fileio.h"
#include "status/report.h"
#include "supervisor/config.h"
#include "supervisor/launcher.h"
#include "supervisor/startup.h"

namespace watchd {
namespace {

// A daemon starting, ending or restarting mid-query spoils a pass; the next sees it settled.
constexpr int PASSES = 5;
constexpr long PASS_PAUSE_NS = 20L * 1000 * 1000;
// The daemon keeps its run file under RUN_FILE_LIMIT (a little longer while a cut fails): a
// larger file is not the daemon's, and it is not read to its end.
constexpr off_t RUN_FILE_READ_LIMIT = RUN_FILE_LIMIT + RUN_FILE_LIMIT / 16;
// Room for the first line whole: the daemon's directory and its line end.
constexpr size_t READ_CHUNK = PATH_CAPACITY + 1;
constexpr int CHILDREN_MAX = 64;

enum class pass_end { go_on, settled, changed };

// ---- read-only looks into /proc: every entry may vanish between two reads, and each reader
// says so instead of guessing ----

constexpr int CMDLINE_ARGS_MAX = 32;
constexpr size_t CMDLINE_CAPACITY = 16384;

// Reads at most cap - 1 bytes of /proc/PID/entry and ends them with a zero byte. The
// length, or -1 when the file is gone or cannot be read.
ssize_t read_pid_file(pid_t pid, const char* entry, char* buf, size_t cap) {
    char path[64];
    format_text(path, sizeof path, "/proc/%ld/%s", static_cast<long>(pid), entry);
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    const ssize_t got = fd.valid() ? read_full(fd.get(), buf, cap - 1) : -1;
    buf[got < 0 ? 0 : got] = '\0';
    return got;
}

// The pid (as this PID namespace sees it) holding a flock() lock on the file (dev, ino): 0 when
// nobody does, -1 when /proc/locks cannot be read, -2 when the holder is not visible from here.
pid_t flock_holder(dev_t dev, ino_t ino) {
    std::unique_ptr<FILE, int (*)(FILE*)> locks(fopen("/proc/locks", "re"), fclose);
    if (!locks)
        return -1;
    char line[256];
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
            strcmp(type, "FLOCK") == 0 && makedev(major_id, minor_id) == dev &&
            inode == static_cast<unsigned long long>(ino))
            holder = pid > 0 ? static_cast<pid_t>(pid) : -2;
    }
    return ferror(locks.get()) ? -1 : holder;
}

struct proc_stat {
    char state;
    pid_t ppid;
    unsigned long long start_ticks;  // since boot
};

// false when the process is gone or its stat line does not parse.
bool read_proc_stat(pid_t pid, proc_stat* stat) {
    char text[1024];
    // The name in parentheses may hold anything, ") " included: the last ")" ends it.
    const ssize_t len = read_pid_file(pid, "stat", text, sizeof text);
    const auto* name_end =
        static_cast<const char*>(len > 0 ? memrchr(text, ')', static_cast<size_t>(len)) : nullptr);
    if (name_end == nullptr)
        return false;
    // state ppid pgrp session tty_nr tpgid flags minflt cminflt majflt cmajflt utime stime
    // cutime cstime priority nice num_threads itrealvalue starttime, the kernel's numbers.
    // NOLINTNEXTLINE(cert-err34-c)
    return sscanf(name_end + 1,
                  " %c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
                  &stat->state, &stat->ppid, &stat->start_ticks) == 3;
}

struct proc_cmdline {
    char text[CMDLINE_CAPACITY];
    const char* argv[CMDLINE_ARGS_MAX];
    int argc;
};

// false when the process is gone, has no command line (a zombie), or one too long to hold.
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

// Whole seconds a process that started start_ticks after boot has run, or -1.
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

// ---- the daemon ----

// Whether argv, from index first, is the command line that the launcher composes for path,
// and with which -r, -d and plugin options.
bool is_child_command(const proc_cmdline& cmdline, int first, const char* path, slot_facts* slot) {
    int32_t restart_code = 0;
    int32_t debug = 0;
    int32_t extended = 0;
    for (int i = first + 1; i < cmdline.argc; ++i) {
        if (strcmp(cmdline.argv[i - 1], "-r") == 0)
            restart_code = static_cast<int32_t>(strtoll(cmdline.argv[i], nullptr, 10));
        debug |= static_cast<int32_t>(strcmp(cmdline.argv[i], "-d") == 0);
        extended |= static_cast<int32_t>(strcmp(cmdline.argv[i], "-T") == 0);
    }
    // The options read, composed again, must give the command line exactly.
    child_args args;
    build_child_args(path, restart_code, debug, extended, &args);
    int n = 0;
    for (; n < MAX_CHILD_ARGS && args.argv[n] != nullptr; ++n) {
        if (first + n >= cmdline.argc || strcmp(args.argv[n], cmdline.argv[first + n]) != 0)
            return false;
    }
    if (first + n != cmdline.argc)
        return false;
    slot->restart_code = restart_code;
    return true;
}

// The slot that a child's command line belongs to: the program path in either mode, as
// argv[0] or, for a script, behind its interpreter and one interpreter argument; a slot
// already found running is not looked at again.
int slot_of_child(const status_facts& f, const proc_cmdline& cmdline, slot_facts* slot) {
    char path[DATA_PATH_CAPACITY];
    for (int i = 0; i < f.history.count; ++i) {
        if (f.slots[i].running)
            continue;
        for (int32_t mode = 0; mode <= 1; ++mode) {
            if (format_program_path(f.history.names[i], mode, path) < 0)
                continue;
            for (int first = 0; first <= 2; ++first) {
                if (is_child_command(cmdline, first, path, slot)) {
                    slot->from_data = mode == 1;
                    return i;
                }
            }
        }
    }
    return -1;
}

// The daemon's live (not zombie) children, the first CHILDREN_MAX that /proc lists, matched
// to the slots. A process that ended since the listing is no child any more.
void find_children(status_facts* f) {
    dir_ptr proc(opendir("/proc"));
    proc_cmdline cmdline;
    int children = 0;
    for (const dirent* entry = proc ? readdir(proc.get()) : nullptr;
         entry != nullptr && children < CHILDREN_MAX; entry = readdir(proc.get())) {
        char* end = nullptr;
        const long long pid = strtoll(entry->d_name, &end, 10);
        proc_stat stat;
        // Read the start time first: a child that ends in between is no longer running.
        if (*end != '\0' || pid <= 0 || !read_proc_stat(static_cast<pid_t>(pid), &stat) ||
            stat.ppid != f->pid || stat.state == 'Z' || stat.state == 'X')
            continue;
        ++children;
        slot_facts found = {};
        const int index = read_proc_cmdline(static_cast<pid_t>(pid), &cmdline)
                              ? slot_of_child(*f, cmdline, &found)
                              : -1;
        if (index >= 0) {
            found.running = true;
            found.pid = static_cast<pid_t>(pid);
            found.uptime = process_uptime(stat.start_ticks);
            f->slots[index] = found;
        }
    }
}

void read_record(status_facts* f, json_ptr* record) {
    struct stat info;
    f->record_present = lstat(BOOTCHK_PATH, &info) == 0;
    if (f->record_present && access(BOOTCHK_PATH, R_OK) != 0 && errno == EACCES)
        format_text(f->problem, sizeof f->problem, "no permission to read %s", BOOTCHK_PATH);
    *record = load_bootchk();
    f->verdict = judge_bootchk(record->get());
    f->package_waiting = lstat(UPGRADE_PACKAGE_PATH, &info) == 0 && S_ISREG(info.st_mode);
}

// The run file's first line, at the start of the first chunk: the daemon's directory. The
// bytes it takes; has_directory stays false when the daemon has not written it yet.
size_t read_directory(const char* buf, size_t got, status_facts* f) {
    const char* end = static_cast<const char*>(memchr(buf, '\n', got));
    if (end == nullptr && got < PATH_CAPACITY)
        return got;
    const size_t len = end == nullptr ? got : static_cast<size_t>(end - buf);
    if (len >= PATH_CAPACITY || buf[0] != '/' || memchr(buf, '\0', len) != nullptr) {
        format_text(f->problem, sizeof f->problem, "%s: the first line is no directory",
                    f->run_path);
        return got;
    }
    memcpy(f->directory, buf, len);
    f->directory[len] = '\0';
    f->has_directory = true;
    return len + 1;
}

// The daemon's config, read by the daemon's own loader; the history starts for its programs.
void load_config(status_facts* f) {
    char path[DATA_PATH_CAPACITY];
    watch_state loaded;  // the loader's table, for the moment it takes
    const char* names[MAX_SLOTS];
    f->config_loaded = f->has_directory &&
                       format_text(path, sizeof path, "%s/%s", f->directory, CONFIG_FILE) >= 0 &&
                       load_watch_config(path, &loaded) == 0;
    if (f->has_directory && !f->config_loaded && f->running)
        format_text(f->problem, sizeof f->problem,
                    "%s is missing, empty or not the daemon's config", path);
    for (int i = 0; f->config_loaded && i < loaded.count; ++i)
        names[i] = loaded.slots[i].name;
    start_history(&f->history, names, f->config_loaded ? loaded.count : 0);
}

// The directory, the config it holds and the history, read up to RUN_FILE_READ_LIMIT bytes.
pass_end read_run_file(int fd, status_facts* f) {
    char buf[READ_CHUNK];
    ssize_t got = read_full(fd, buf, sizeof buf);
    const size_t taken = got < 0 ? 0 : read_directory(buf, static_cast<size_t>(got), f);
    // A daemon writes its directory right after it won the lock.
    if (got >= 0 && !f->has_directory && f->running && f->problem[0] == '\0')
        return pass_end::changed;
    load_config(f);
    off_t total = 0;
    for (size_t from = taken; got > 0 && f->problem[0] == '\0'; from = 0) {
        total += got;
        if (total > RUN_FILE_READ_LIMIT) {
            format_text(f->problem, sizeof f->problem,
                        "%s is larger than %lld bytes: not the daemon's run file", f->run_path,
                        static_cast<long long>(RUN_FILE_READ_LIMIT));
            return pass_end::go_on;
        }
        add_run_text(&f->history, buf + from, static_cast<size_t>(got) - from);
        got = read_full(fd, buf, sizeof buf);
    }
    if (got < 0)
        format_text(f->problem, sizeof f->problem, "cannot read %s: %m", f->run_path);
    end_run_text(&f->history);
    return pass_end::go_on;
}

// Opens the run file read-only: never O_CREAT and never a lock, so that a daemon starting
// meanwhile wins its lock. go_on with opened filled, or how the pass ends.
pass_end open_run_file(status_facts* f, unique_fd* fd, struct stat* opened) {
    struct stat info;
    if (lstat(f->run_path, &info) != 0) {
        if (errno != ENOENT)
            format_text(f->problem, sizeof f->problem, "cannot examine %s: %m", f->run_path);
        return pass_end::settled;
    }
    f->run_file_present = true;
    // Not even opened: opening a device can act on it.
    if (!S_ISREG(info.st_mode)) {
        format_text(f->problem, sizeof f->problem, "%s is %s", f->run_path,
                    S_ISLNK(info.st_mode) ? "a symbolic link" : "not a regular file");
        return pass_end::settled;
    }
    fd->reset(open(f->run_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd->valid() && errno != ENOENT && errno != ELOOP) {
        format_text(f->problem, sizeof f->problem, "cannot open %s: %m", f->run_path);
        return pass_end::settled;
    }
    // The regular file examined above, or the pass looks again.
    return fd->valid() && fstat(fd->get(), opened) == 0 && opened->st_dev == info.st_dev &&
                   opened->st_ino == info.st_ino && S_ISREG(opened->st_mode)
               ? pass_end::go_on
               : pass_end::changed;
}

// The daemon is the holder of the run file's lock. go_on with pid and holder's stat filled.
pass_end find_lock_holder(status_facts* f, const struct stat& opened, proc_stat* holder_stat) {
    const pid_t holder = flock_holder(opened.st_dev, opened.st_ino);
    if (holder < 0) {
        format_text(
            f->problem, sizeof f->problem,
            holder == -1 ? "cannot read /proc/locks" : "%s is locked by a process not visible here",
            f->run_path);
        return pass_end::settled;
    }
    if (holder > 0 && !read_proc_stat(holder, holder_stat))
        return pass_end::changed;
    f->running = holder > 0;
    f->pid = holder;
    return pass_end::go_on;
}

// Whether the lock and the file are as they were at the start of the pass.
bool unchanged(const status_facts& f, const struct stat& opened, const proc_stat& holder_stat) {
    struct stat now;
    proc_stat stat;
    return lstat(f.run_path, &now) == 0 && now.st_dev == opened.st_dev &&
           now.st_ino == opened.st_ino && flock_holder(opened.st_dev, opened.st_ino) == f.pid &&
           (f.pid <= 0 ||
            (read_proc_stat(f.pid, &stat) && stat.start_ticks == holder_stat.start_ticks));
}

pass_end one_pass(status_facts& f, json_ptr* record) {
    read_record(&f, record);
    unique_fd fd;
    struct stat opened;
    proc_stat holder_stat = {};
    pass_end end = open_run_file(&f, &fd, &opened);
    if (end == pass_end::go_on)
        end = find_lock_holder(&f, opened, &holder_stat);
    if (end == pass_end::go_on)
        end = read_run_file(fd.get(), &f);
    if (end != pass_end::go_on)
        return end;
    if (f.running && f.problem[0] == '\0') {
        proc_cmdline cmdline;
        f.uptime = process_uptime(holder_stat.start_ticks);
        // A daemon that ended meanwhile makes the pass start again; one alive is hidden. Any
        // argument besides argv[0] gives every program -d.
        if (!read_proc_cmdline(f.pid, &cmdline))
            format_text(f.problem, sizeof f.problem, "cannot read the command line of process %ld",
                        static_cast<long>(f.pid));
        else
            f.debug = cmdline.argc > 1;
        if (f.config_loaded)
            find_children(&f);
    }
    return unchanged(f, opened, holder_stat) ? pass_end::settled : pass_end::changed;
}

}  // namespace

status_result gather_status(const char* name, status_facts* facts, json_ptr* record) {
    status_facts& f = *facts;
    const struct timespec pause = {0, PASS_PAUSE_NS};
    for (int pass = 0; pass < PASSES; ++pass) {
        if (pass > 0)
            nanosleep(&pause, nullptr);
        record->reset();
        memset(&f, 0, sizeof f);
        // format_run_path refuses a name too long for a path.
        // NOLINTNEXTLINE(bugprone-not-null-terminated-result): the text is searched, not copied.
        if (name[0] == '\0' || memchr(name, '/', strlen(name)) != nullptr ||
            format_run_path(name, f.run_path) < 0) {
            format_text(f.problem, sizeof f.problem, "no usable daemon name: %s", name);
            return status_result::unknown;
        }
        if (one_pass(f, record) != pass_end::changed)
            return f.problem[0] != '\0' ? status_result::unknown
                   : f.running          ? status_result::running
                                        : status_result::not_running;
        format_text(f.problem, sizeof f.problem, "%s changed during every look", f.run_path);
    }
    return status_result::unknown;
}

}  // namespace watchd
