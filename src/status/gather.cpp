#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "base/text.h"
#include "bootcheck/upgrade.h"
#include "files/fileio.h"
#include "status/procfs.h"
#include "status/report.h"
#include "supervisor/config.h"
#include "supervisor/launcher.h"
#include "supervisor/startup.h"

namespace watchd {
namespace {

// A daemon that starts, ends or restarts during the query makes one pass inconsistent; the
// next pass sees it settled.
constexpr int PASSES = 5;
constexpr long PASS_PAUSE_NS = 20L * 1000 * 1000;
// Room for the first line (the daemon's directory and its line end) and any whole log line.
constexpr size_t LINE_BUFFER = PATH_CAPACITY + 1;

enum class pass_end { settled, changed };

// Hands out the lines of a descriptor one by one. A line longer than the buffer comes as its
// first part, without a line end; the rest of it is skipped.
class line_reader {
  public:
    explicit line_reader(int fd) : fd_(fd) {}
    line_reader(const line_reader&) = delete;
    line_reader& operator=(const line_reader&) = delete;

    // false at the end of the file or on a read error (failed() tells which).
    bool next(const char** line, size_t* len) {
        for (;;) {
            const void* newline = memchr(buf_ + start_, '\n', end_ - start_);
            if (newline != nullptr) {
                const size_t stop = static_cast<size_t>(static_cast<const char*>(newline) - buf_);
                const bool skipped = skipping_;
                skipping_ = false;
                const size_t from = start_;
                start_ = stop + 1;
                if (skipped)
                    continue;
                *line = buf_ + from;
                *len = stop + 1 - from;
                return true;
            }
            if (start_ == 0 && end_ == sizeof buf_) {
                // A line longer than the buffer: its start, then skip to its end.
                const bool skipped = skipping_;
                skipping_ = true;
                start_ = end_ = 0;
                if (skipped)
                    continue;
                *line = buf_;
                *len = sizeof buf_;
                return true;
            }
            if (eof_) {
                if (start_ == end_ || skipping_)
                    return false;
                *line = buf_ + start_;
                *len = end_ - start_;
                start_ = end_;
                return true;
            }
            fill();
        }
    }
    // The errno of a failed read, or 0.
    int error() const { return error_; }

  private:
    void fill() {
        memmove(buf_, buf_ + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
        ssize_t n;
        do {
            n = read(fd_, buf_ + end_, sizeof buf_ - end_);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) {
            eof_ = true;
            error_ = n < 0 ? errno : 0;
            return;
        }
        end_ += static_cast<size_t>(n);
    }

    int fd_;
    char buf_[LINE_BUFFER];
    size_t start_ = 0;
    size_t end_ = 0;
    bool skipping_ = false;
    bool eof_ = false;
    int error_ = 0;
};

template <size_t N>
[[gnu::format(printf, 2, 3)]] void note_problem(char (&problem)[N], const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vsnprintf(problem, N, fmt, args);
    va_end(args);
}

// Whether argv, from index first, is the command line that the launcher composes for path,
// and with which -r, -d and plugin options.
bool is_child_command(const proc_cmdline& cmdline, int first, const char* path, slot_facts* slot) {
    if (first >= cmdline.argc || strcmp(cmdline.argv[first], path) != 0)
        return false;
    int32_t restart_code = 0;
    int32_t debug = 0;
    int32_t extended = 0;
    for (int i = first + 1; i < cmdline.argc; ++i) {
        if (strcmp(cmdline.argv[i], "-r") == 0 && i + 1 < cmdline.argc) {
            char* end = nullptr;
            restart_code = static_cast<int32_t>(strtol(cmdline.argv[++i], &end, 10));
        } else if (strcmp(cmdline.argv[i], "-d") == 0) {
            debug = 1;
        } else if (strcmp(cmdline.argv[i], "-T") == 0) {
            extended = 1;
        }
    }
    // The options read, composed again, must give the command line exactly.
    child_args args;
    build_child_args(path, restart_code, debug, extended, &args);
    int n = 0;
    while (n < MAX_CHILD_ARGS && args.argv[n] != nullptr) {
        if (first + n >= cmdline.argc || strcmp(args.argv[n], cmdline.argv[first + n]) != 0)
            return false;
        ++n;
    }
    if (first + n != cmdline.argc)
        return false;
    slot->restart_code = restart_code;
    return true;
}

// The slot that a child's command line belongs to: the program path in either mode, as
// argv[0] or, for a script, behind its interpreter and one interpreter argument.
int slot_of_child(const watch_state& config, const bool (&taken)[MAX_SLOTS],
                  const proc_cmdline& cmdline, slot_facts* slot) {
    static char path[DATA_PATH_CAPACITY];
    for (int i = 0; i < config.count; ++i) {
        if (taken[i])
            continue;
        for (int32_t mode = 0; mode <= 1; ++mode) {
            if (format_program_path(config.slots[i].name, mode, path) < 0)
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

void find_children(status_facts* f) {
    pid_t children[CHILDREN_MAX];
    const int count = list_children(f->pid, children);
    bool taken[MAX_SLOTS] = {};
    static proc_cmdline cmdline;
    for (int c = 0; c < count; ++c) {
        proc_stat stat;
        // Read the start time first: a child that ends in between is no longer running.
        if (!read_proc_stat(children[c], &stat) || !read_proc_cmdline(children[c], &cmdline))
            continue;
        slot_facts found = {};
        const int index = slot_of_child(f->config, taken, cmdline, &found);
        if (index < 0)
            continue;
        taken[index] = true;
        found.running = true;
        found.pid = children[c];
        found.uptime = process_uptime(stat.start_ticks);
        f->slots[index] = found;
    }
}

void read_record(status_report* report) {
    status_facts& f = report->facts;
    struct stat info;
    f.record_present = lstat(BOOTCHK_PATH, &info) == 0;
    if (f.record_present && access(BOOTCHK_PATH, R_OK) != 0 && errno == EACCES)
        note_problem(f.problem, "no permission to read %s", BOOTCHK_PATH);
    report->record = load_bootchk();
    f.verdict = judge_bootchk(report->record.get());
}

void read_package(status_facts* f) {
    struct stat info;
    f->package_waiting = lstat(UPGRADE_PACKAGE_PATH, &info) == 0 && S_ISREG(info.st_mode);
}

// The run file's first line: the daemon's directory. false when there is none yet.
bool read_directory(line_reader* lines, status_facts* f) {
    const char* line;
    size_t len;
    if (!lines->next(&line, &len))
        return false;
    const bool whole = line[len - 1] == '\n';
    if (!whole && len < PATH_CAPACITY)
        return false;
    if (!whole || len > PATH_CAPACITY || line[0] != '/' || memchr(line, '\0', len) != nullptr) {
        note_problem(f->problem, "%s: the first line is no directory", f->run_path);
        return true;
    }
    memcpy(f->directory, line, len - 1);
    f->directory[len - 1] = '\0';
    f->has_directory = true;
    return true;
}

void load_config(status_facts* f) {
    char path[DATA_PATH_CAPACITY];
    if (format_text(path, sizeof path, "%s/%s", f->directory, CONFIG_FILE) < 0)
        return;
    f->config_loaded = load_watch_config(path, &f->config) == 0;
    if (!f->config_loaded && f->running)
        note_problem(f->problem, "%s is missing, empty or not the daemon's config", path);
}

void read_history(line_reader* lines, status_facts* f) {
    const char* names[MAX_SLOTS];
    const int count = f->config_loaded ? f->config.count : 0;
    for (int i = 0; i < count; ++i)
        names[i] = f->config.slots[i].name;
    start_history(&f->history, names, count);
    const char* line;
    size_t len;
    while (lines->next(&line, &len))
        add_run_line(&f->history, line, len);
    if (lines->error() != 0)
        note_problem(f->problem, "cannot read %s: %s", f->run_path, strerror(lines->error()));
}

void read_daemon(status_facts* f, const proc_stat& stat) {
    f->uptime = process_uptime(stat.start_ticks);
    static proc_cmdline cmdline;
    if (!read_proc_cmdline(f->pid, &cmdline)) {
        // A daemon that ended meanwhile makes the pass start again; one alive is hidden.
        note_problem(f->problem, "cannot read the command line of process %ld",
                     static_cast<long>(f->pid));
        return;
    }
    // Any argument besides argv[0] gives every program -d.
    f->debug = cmdline.argc > 1;
}

// Whether the lock and the file are as they were at the start of the pass.
bool unchanged(const status_facts& f, dev_t dev, ino_t ino, pid_t holder,
               unsigned long long start_ticks) {
    struct stat now;
    if (lstat(f.run_path, &now) != 0 || now.st_dev != dev || now.st_ino != ino)
        return false;
    if (flock_holder(dev, ino) != holder)
        return false;
    proc_stat stat;
    return holder <= 0 || (read_proc_stat(holder, &stat) && stat.start_ticks == start_ticks);
}

pass_end one_pass(status_report* report) {
    status_facts& f = report->facts;
    read_record(report);
    read_package(&f);
    struct stat info;
    if (lstat(f.run_path, &info) != 0) {
        if (errno != ENOENT)
            note_problem(f.problem, "cannot examine %s: %s", f.run_path, strerror(errno));
        return pass_end::settled;
    }
    f.run_file_present = true;
    if (S_ISLNK(info.st_mode)) {
        note_problem(f.problem, "%s is a symbolic link", f.run_path);
        return pass_end::settled;
    }
    // Not even opened: opening a device can act on it.
    if (!S_ISREG(info.st_mode)) {
        note_problem(f.problem, "%s is not a regular file", f.run_path);
        return pass_end::settled;
    }
    // Never O_CREAT, never a lock: a daemon starting meanwhile must win its lock.
    unique_fd fd(open(f.run_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() && errno != ENOENT && errno != ELOOP) {
        note_problem(f.problem, "cannot open %s: %s", f.run_path, strerror(errno));
        return pass_end::settled;
    }
    struct stat opened;
    if (!fd.valid() || fstat(fd.get(), &opened) != 0 || opened.st_dev != info.st_dev ||
        opened.st_ino != info.st_ino)
        return pass_end::changed;
    if (!S_ISREG(opened.st_mode)) {
        note_problem(f.problem, "%s is not a regular file", f.run_path);
        return pass_end::settled;
    }

    const pid_t holder = flock_holder(opened.st_dev, opened.st_ino);
    if (holder == -1) {
        note_problem(f.problem, "cannot read /proc/locks");
        return pass_end::settled;
    }
    if (holder == -2) {
        note_problem(f.problem, "%s is locked by a process not visible here", f.run_path);
        return pass_end::settled;
    }
    proc_stat daemon_stat = {};
    if (holder > 0 && !read_proc_stat(holder, &daemon_stat))
        return pass_end::changed;
    f.running = holder > 0;
    f.pid = holder;

    line_reader lines(fd.get());
    if (!read_directory(&lines, &f)) {
        // A daemon writes its directory right after it won the lock.
        if (f.running)
            return pass_end::changed;
    }
    if (f.has_directory)
        load_config(&f);
    read_history(&lines, &f);
    if (f.running) {
        read_daemon(&f, daemon_stat);
        if (f.config_loaded)
            find_children(&f);
    }
    return unchanged(f, opened.st_dev, opened.st_ino, holder, daemon_stat.start_ticks)
               ? pass_end::settled
               : pass_end::changed;
}

bool usable_name(const char* name) {
    return name[0] != '\0' && strchr(name, '/') == nullptr && strlen(name) < PATH_CAPACITY;
}

}  // namespace

status_result gather_status(const char* name, status_report* report) {
    status_facts& f = report->facts;
    for (int pass = 0; pass < PASSES; ++pass) {
        if (pass > 0) {
            const struct timespec pause = {0, PASS_PAUSE_NS};
            nanosleep(&pause, nullptr);
        }
        report->record.reset();
        memset(&f, 0, sizeof f);
        if (!usable_name(name) || format_run_path(name, f.run_path) < 0) {
            note_problem(f.problem, "no usable daemon name: %s", name);
            return status_result::unknown;
        }
        if (one_pass(report) == pass_end::changed) {
            note_problem(f.problem, "%s changed during every look", f.run_path);
            continue;
        }
        if (f.problem[0] != '\0')
            return status_result::unknown;
        return f.running ? status_result::running : status_result::not_running;
    }
    return status_result::unknown;
}

}  // namespace watchd
