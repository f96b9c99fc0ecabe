#include "test_support.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "base/unique_fd.h"

namespace watchd_test {

scoped_temp_dir::scoped_temp_dir(const std::string& base) {
    std::string pattern =
        (base.empty() ? std::filesystem::temp_directory_path().string() : base) + "/watchd-XXXXXX";
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

}  // namespace watchd_test
