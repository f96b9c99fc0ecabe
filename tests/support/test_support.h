// What every test of the project shares: a scoped temporary directory, whole-file reads and
// writes, a directory's names and a link's target, a snapshot of a directory tree, a child process
// that is killed and reaped when it goes out of scope, polling under a deadline, and a call or a
// command run in a child process under a deadline.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace watchd_test {

// A fresh directory under base (the system's temporary directory when empty), its name
// starting with prefix, removed with its content when the test ends, whatever its outcome.
// When none can be made the constructor throws, which ends the test there, failed: an empty
// path would put its files at the root.
class scoped_temp_dir {
  public:
    explicit scoped_temp_dir(const std::string& base = "", const std::string& prefix = "watchd");
    ~scoped_temp_dir();
    scoped_temp_dir(const scoped_temp_dir&) = delete;
    scoped_temp_dir& operator=(const scoped_temp_dir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// "" when path cannot be read.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content, mode_t mode = 0644);
void append_file(const std::string& path, const std::string& content);
// lstat: a dangling symbolic link exists.
bool path_exists(const std::string& path);
// The permission bits of what path names (following links), 0 when it cannot be read.
mode_t file_mode(const std::string& path);
// The whole lines of text, without their "\n"; an unterminated rest is left out.
std::vector<std::string> split_lines(const std::string& text);
// text in single quotes for /bin/sh.
std::string shell_quote(const std::string& text);

// What the symbolic link path holds, "" when it is none.
std::string link_target(const std::string& path);
// The names in directory path without "." and "..", sorted; none when it cannot be read.
std::vector<std::string> dir_entries(const std::string& path);

// Every object under root with its type, mode, size, inode, links, mtime and content or link
// target, one line each in name order: two equal snapshots mean nothing was created or
// changed. Without dir_times, directories are compared without their times, which any rename
// in them changes; the root's own time is never compared.
std::string tree_snapshot(const std::string& root, bool dir_times = true);

// Polls pred every few milliseconds until it holds or limit has passed.
template <class Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// A child process that is killed (SIGKILL) and reaped when it goes out of scope, also when an
// assertion ends the test early.
class scoped_child {
  public:
    scoped_child() = default;
    explicit scoped_child(pid_t pid) : pid_(pid) {}
    ~scoped_child() { kill_and_reap(); }
    scoped_child(scoped_child&& other) noexcept;
    scoped_child& operator=(scoped_child&& other) noexcept;
    scoped_child(const scoped_child&) = delete;
    scoped_child& operator=(const scoped_child&) = delete;

    pid_t pid() const { return pid_; }
    // Non-blocking: true once the child has ended (its wait status is then kept).
    bool ended();
    int wait_status() const { return status_; }
    void kill_and_reap();

  private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

// What a call made in a child process did: whether it returned before the deadline, the
// exit code it chose, and what it printed on standard output.
struct child_outcome {
    bool returned = false;
    int exit_code = -1;
    std::string output;
};

// Runs call() in a forked child, so that a call that hangs costs the deadline, not the
// suite. call returns the child's exit code.
child_outcome run_in_child(const std::function<int()>& call,
                           std::chrono::milliseconds limit = std::chrono::seconds(5));

// What a command did: its exit status (128 + the signal that ended it; -1 when it did not end
// before the limit and was killed, or could not be started) and what it wrote.
struct command_result {
    int status = -1;
    std::string out;
    std::string err;
    // Both streams, standard output first.
    std::string output() const { return out + err; }
};

// Runs argv (searched in PATH when it has no slash) in cwd with the test's environment,
// standard input from /dev/null, and kills it when limit has passed.
command_result run_command(const std::vector<std::string>& argv, const std::string& cwd = "/",
                           std::chrono::milliseconds limit = std::chrono::seconds(30));

}  // namespace watchd_test
