#include "test_support.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

#include "base/unique_fd.h"

namespace watchd_test {

scoped_temp_dir::scoped_temp_dir(const std::string& base, const std::string& prefix) {
    std::string pattern = (base.empty() ? std::filesystem::temp_directory_path().string() : base) +
                          "/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary directory " + pattern + ": " +
                                 strerror(errno));
    path_ = pattern;
}

scoped_temp_dir::~scoped_temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string& path, const std::string& content, mode_t mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }
    chmod(path.c_str(), mode);
}

void append_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << content;
}

bool path_exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

mode_t file_mode(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

std::string shell_quote(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

scoped_child::scoped_child(scoped_child&& other) noexcept
    : pid_(other.pid_), reaped_(other.reaped_), status_(other.status_) {
    other.pid_ = -1;
}

scoped_child& scoped_child::operator=(scoped_child&& other) noexcept {
    if (this != &other) {
        kill_and_reap();
        pid_ = other.pid_;
        reaped_ = other.reaped_;
        status_ = other.status_;
        other.pid_ = -1;
    }
    return *this;
}

bool scoped_child::ended() {
    if (pid_ <= 0 || reaped_)
        return true;
    pid_t got = waitpid(pid_, &status_, WNOHANG);
    if (got == pid_ || (got < 0 && errno == ECHILD))
        reaped_ = true;
    return reaped_;
}

void scoped_child::kill_and_reap() {
    if (pid_ <= 0 || reaped_)
        return;
    kill(pid_, SIGKILL);
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
}

child_outcome run_in_child(const std::function<int()>& call, std::chrono::milliseconds limit) {
    child_outcome outcome;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return outcome;
    watchd::unique_fd out_read(out[0]);
    watchd::unique_fd out_write(out[1]);
    fflush(stdout);
    scoped_child child(fork());
    if (child.pid() == 0) {
        dup2(out_write.get(), STDOUT_FILENO);
        const int code = call();
        fflush(stdout);
        _exit(code);
    }
    out_write.reset();
    if (child.pid() < 0)
        return outcome;
    wait_until([&] { return child.ended(); }, limit);
    child.kill_and_reap();
    if (WIFEXITED(child.wait_status())) {
        outcome.returned = true;
        outcome.exit_code = WEXITSTATUS(child.wait_status());
    }
    char buf[512];
    ssize_t n;
    while ((n = read(out_read.get(), buf, sizeof buf)) > 0)
        outcome.output.append(buf, static_cast<size_t>(n));
    return outcome;
}

std::string link_target(const std::string& path) {
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    return n < 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

std::vector<std::string> dir_entries(const std::string& path) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path.c_str()), closedir);
    for (const dirent* entry; dir && (entry = readdir(dir.get())) != nullptr;) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string tree_snapshot(const std::string& root, bool dir_times) {
    std::vector<std::string> lines;
    std::function<void(const std::string&)> walk = [&](const std::string& rel) {
        const std::string full = root + rel;
        struct stat st;
        if (lstat(full.c_str(), &st) != 0)
            return;
        std::ostringstream line;
        line << rel << " mode=" << std::oct << st.st_mode << std::dec << " size=" << st.st_size
             << " ino=" << st.st_ino << " links=" << st.st_nlink;
        if (!rel.empty() && (dir_times || !S_ISDIR(st.st_mode)))
            line << " mtime=" << st.st_mtime;
        if (S_ISREG(st.st_mode))
            line << " data=" << read_file(full);
        if (S_ISLNK(st.st_mode))
            line << " target=" << link_target(full);
        lines.push_back(line.str());
        if (!S_ISDIR(st.st_mode))
            return;
        for (const std::string& name : dir_entries(full))
            walk(rel + "/" + name);
    };
    walk("");
    std::sort(lines.begin(), lines.end());
    std::string all;
    for (const std::string& l : lines)
        all += l + "\n";
    return all;
}

namespace {

// Forks and execs argv in cwd with standard output and error on the given pipes' write ends.
// Only async-signal-safe calls after the fork.
pid_t spawn_captured(const std::vector<std::string>& argv, const std::string& cwd, int out_fd,
                     int err_fd) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd < 0 || dup2(null_fd, STDIN_FILENO) < 0 || dup2(out_fd, STDOUT_FILENO) < 0 ||
        dup2(err_fd, STDERR_FILENO) < 0 || chdir(cwd.c_str()) != 0)
        _exit(126);
    execvp(args[0], args.data());
    _exit(127);
}

// Reads what is there on fd into text; false once the pipe has no writer left.
bool drain(int fd, std::string* text) {
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            text->append(buf, static_cast<size_t>(n));
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
}

}  // namespace

command_result run_command(const std::vector<std::string>& argv, const std::string& cwd,
                           std::chrono::milliseconds limit) {
    command_result result;
    int out[2];
    int err[2];
    if (argv.empty() || pipe2(out, O_CLOEXEC | O_NONBLOCK) != 0)
        return result;
    watchd::unique_fd out_read(out[0]);
    watchd::unique_fd out_write(out[1]);
    if (pipe2(err, O_CLOEXEC | O_NONBLOCK) != 0)
        return result;
    watchd::unique_fd err_read(err[0]);
    watchd::unique_fd err_write(err[1]);
    scoped_child child(spawn_captured(argv, cwd, out_write.get(), err_write.get()));
    out_write.reset();
    err_write.reset();
    if (child.pid() < 0)
        return result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool out_open = true;
    bool err_open = true;
    while ((out_open || err_open) && std::chrono::steady_clock::now() < deadline) {
        pollfd fds[] = {{out_read.get(), POLLIN, 0}, {err_read.get(), POLLIN, 0}};
        poll(fds, 2, 50);
        out_open = out_open && drain(out_read.get(), &result.out);
        err_open = err_open && drain(err_read.get(), &result.err);
    }
    const bool ended = wait_until([&] { return child.ended(); },
                                  std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now()));
    child.kill_and_reap();
    if (!ended)
        return result;
    const int status = child.wait_status();
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace watchd_test
