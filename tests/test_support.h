// Helpers shared by the unit tests: a scoped temporary directory, whole-file reads and
// writes, and a call run in a child process under a deadline.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace watchd_test {

// A fresh directory under the system's temporary directory, removed with its content when
// the test ends, whatever its outcome. When none can be made the test ends there, failed:
// an empty path would put its files at the root of the host.
class scoped_temp_dir {
  public:
    scoped_temp_dir() {
        std::string pattern = std::filesystem::temp_directory_path().string() + "/watchd-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot create a temporary directory: " +
                                     std::string(strerror(errno)));
        path_ = pattern;
    }
    ~scoped_temp_dir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    scoped_temp_dir(const scoped_temp_dir&) = delete;
    scoped_temp_dir& operator=(const scoped_temp_dir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline bool file_exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

inline mode_t file_mode(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// What a call made in a child process did: whether it returned before the deadline, the
// exit code it chose, and what it printed on standard output.
struct child_outcome {
    bool returned = false;
    int exit_code = -1;
    std::string output;
};

// Runs call() in a forked child, so that a call that hangs costs the deadline, not the
// suite. call returns the child's exit code.
template <class Call>
child_outcome run_in_child(Call call, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    child_outcome outcome;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return outcome;
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        const int code = call();
        fflush(stdout);
        _exit(code);
    }
    close(out[1]);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    pid_t got = 0;
    while (pid > 0 && (got = waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (pid > 0 && got == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    } else if (got == pid && WIFEXITED(status)) {
        outcome.returned = true;
        outcome.exit_code = WEXITSTATUS(status);
    }
    char buf[512];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0)
        outcome.output.append(buf, static_cast<size_t>(n));
    close(out[0]);
    return outcome;
}

}  // namespace watchd_test
