#include "harness.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace watchd_e2e {
namespace fs = std::filesystem;

namespace {

constexpr const char* START_LOG = "starts.log";
constexpr const char* READY_PREFIX = "/tmp/.e2e-ready-";
constexpr const char* STATUS_PREFIX = "/tmp/.e2e-status-";
constexpr auto READY_LIMIT = 10s;

std::string unique_token() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    return std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" +
           std::to_string(random());
}

// The environment of the sandbox: ours, without a stale PWD or time settings.
std::vector<std::string> sandbox_environment(const launch_options& options,
                                             const std::string& bin_dir) {
    std::vector<std::string> env;
    std::string path_value = "/usr/sbin:/usr/bin:/sbin:/bin";
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        if (name == "PATH") {
            path_value = entry.substr(5);
            continue;
        }
        if (name == "PWD" || name.rfind("FAKETIME", 0) == 0 || name == "LD_PRELOAD" ||
            name == "ASAN_OPTIONS")
            continue;
        env.push_back(entry);
    }
    env.push_back("PATH=" + (options.by_bare_name ? bin_dir + ":" : std::string()) + path_value);
    return env;
}

// Only the daemon (and so its children) runs on fake time. libfaketime shares its clock
// through /dev/shm under the name of the first process that loads it: the daemon, inside
// the sandbox, with the sandbox's private /dev/shm.
std::vector<std::string> fake_time_settings(const launch_options& options) {
    std::string preload = WATCHD_E2E_FAKETIME;
    for (const std::string& library : options.preload)
        preload += ":" + library;
    // An ASan daemon must accept libfaketime ahead of its runtime; a test's own settings come
    // later and win.
    std::vector<std::string> settings = {"ASAN_OPTIONS=verify_asan_link_order=0"};
    settings.insert(settings.end(), options.environment.begin(), options.environment.end());
    settings.push_back("LD_PRELOAD=" + preload);
    settings.push_back("FAKETIME=+0 x" + std::to_string(options.speed));
    return settings;
}

std::vector<char*> c_strings(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (auto& t : texts)
        out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

void set_limit(int resource, rlim_t value) {
    struct rlimit limit = {value, value};
    setrlimit(resource, &limit);
}

// Forks and execs argv with env; standard output and error go to out_fd, standard input
// comes from in_fd (or /dev/null). Only async-signal-safe calls after the fork.
pid_t spawn(std::vector<std::string> argv, std::vector<std::string> env, int out_fd, int in_fd,
            const char* cwd, rlim_t open_files) {
    std::vector<char*> args = c_strings(argv);
    std::vector<char*> envp = c_strings(env);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    set_limit(RLIMIT_CORE, 0);
    if (open_files != 0)
        set_limit(RLIMIT_NOFILE, open_files);
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    dup2(null_fd, 0);
    dup2(out_fd, 1);
    dup2(out_fd, 2);
    if (in_fd >= 0)
        dup2(in_fd, 3);
    if (chdir(cwd) != 0)
        _exit(126);
    execve(args[0], args.data(), envp.data());
    _exit(127);
}

std::string current_test_name() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "e2e";
    for (char& c : name) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-')
            c = '_';
    }
    return name.substr(0, 120);
}

}  // namespace

// ---- fake watched programs -----------------------------------------------------------------

std::string exit_with(int code) {
    return "exit " + std::to_string(code);
}

std::string kill_self(const std::string& signal_name) {
    return "kill -s " + signal_name + " $$";
}

std::string sleep_forever() {
    return "while :; do sleep 1000; done";
}

std::string leave_package_and_exit(const std::string& package_file, int code) {
    return "cp \"$E2E_DIR\"/" + shell_quote(package_file) + " /tmp/.uci//ttupgrade.tgz; exit " +
           std::to_string(code);
}

namespace {

// The work directory, made when missing, for the daemon directories under it.
std::string made_work_dir() {
    fs::create_directories(WATCHD_E2E_WORK_DIR);
    return WATCHD_E2E_WORK_DIR;
}

}  // namespace

// The daemon and its children report physical paths.
daemon_dir::daemon_dir(const std::string& program_name)
    : home_(made_work_dir(), current_test_name()),
      path_(fs::canonical(home_.path()).string()),
      program_name_(program_name) {
    fs::copy_file(WATCHD_E2E_DAEMON, file(program_name_));
    chmod(file(program_name_).c_str(), 0755);
}

void daemon_dir::write_config(const std::string& json) const {
    write_file(file("config"), json);
}

void daemon_dir::add_fake(const std::string& name, const std::vector<std::string>& steps) const {
    write_file(file(name), fake_script(name, steps), 0755);
}

std::string daemon_dir::fake_script(const std::string& id,
                                    const std::vector<std::string>& steps) const {
    // A long id would make a file name too long for the file system.
    const std::string key = id.size() > 64 ? std::to_string(std::hash<std::string>{}(id)) : id;
    std::string counter = shell_quote(file(".count-" + key));
    std::string script = "#!/bin/sh\n";
    script += "E2E_DIR=" + shell_quote(path_) + "\n";
    script += "n=$(cat " + counter + " 2>/dev/null || echo 0)\n";
    script += "echo $((n + 1)) > " + counter + "\n";
    script += "line=\"$0\"\nfor a do line=\"$line $a\"; done\n";
    script += "echo \"$$|$(pwd -P)|$line\" >> " + shell_quote(file(START_LOG)) + "\n";
    script += "case $n in\n";
    for (size_t i = 0; i + 1 < steps.size(); ++i)
        script += std::to_string(i) + ") " + steps[i] + " ;;\n";
    script += "*) " + (steps.empty() ? exit_with(0) : steps.back()) + " ;;\nesac\n";
    return script;
}

std::vector<start_record> daemon_dir::starts() const {
    std::vector<start_record> records;
    for (const std::string& line : split_lines(read_file(file(START_LOG)))) {
        size_t first = line.find('|');
        size_t second = line.find('|', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            continue;
        start_record record;
        record.pid = atoi(line.substr(0, first).c_str());
        record.cwd = line.substr(first + 1, second - first - 1);
        record.command = line.substr(second + 1);
        records.push_back(record);
    }
    return records;
}

// ---- the sandboxed daemon ------------------------------------------------------------------

sandboxed_daemon::sandboxed_daemon(const daemon_dir& dir, launch_options options)
    : dir_(dir), token_(unique_token()) {
    int out_pipe[2];
    int go_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(go_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return;
    }
    output_fd_.reset(out_pipe[0]);
    unique_fd out_write(out_pipe[1]);
    unique_fd go_read(go_pipe[0]);
    go_fd_.reset(go_pipe[1]);
    fcntl(output_fd_.get(), F_SETFL, O_NONBLOCK);

    // Inside the sandbox the handshake script announces the mounts, waits for go and runs the
    // daemon as its child. A wrapper runs on real time: the daemon must be the first to load
    // libfaketime, whose shared clock a wrapper of another word size would fill in a layout
    // the daemon cannot read.
    if (options.by_bare_name) {
        fs::create_directory(dir.bin_dir());
        fs::rename(dir.file(dir.program_name()), dir.bin_dir() + "/" + dir.program_name());
    }
    std::vector<std::string> argv = {"/bin/sh",
                                     WATCHD_E2E_SANDBOX,
                                     "/bin/sh",
                                     WATCHD_E2E_HANDSHAKE,
                                     READY_PREFIX + token_,
                                     STATUS_PREFIX + token_,
                                     options.setup_shell,
                                     options.wrapper};
    for (const std::string& setting : fake_time_settings(options))
        argv.push_back(setting);
    argv.push_back(options.by_bare_name ? dir.program_name() : dir.file(dir.program_name()));
    argv.insert(argv.end(), options.args.begin(), options.args.end());
    const std::string cwd = options.by_bare_name ? dir.path() : "/";
    sandbox_ = scoped_child(spawn(argv, sandbox_environment(options, dir.bin_dir()),
                                  out_write.get(), go_read.get(), cwd.c_str(), options.open_files));
    if (sandbox_.pid() < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        return;
    }
    const std::string own_ns = link_target("/proc/self/ns/mnt");
    const std::string sandbox_ns = "/proc/" + std::to_string(sandbox_.pid()) + "/ns/mnt";
    // The marker is only looked for once the process lives in the new mount namespace, and its
    // name is unique, so the host's /tmp cannot fake it.
    ready_ = wait_until(
        [&] {
            return link_target(sandbox_ns) != own_ns && !link_target(sandbox_ns).empty() &&
                   path_exists(inside(READY_PREFIX + token_));
        },
        READY_LIMIT);
    if (!ready_)
        ADD_FAILURE() << "the sandbox did not come up: " << output();
}

std::string sandboxed_daemon::inside(const std::string& path) const {
    return "/proc/" + std::to_string(sandbox_.pid()) + "/root" + path;
}

void sandboxed_daemon::plant(const std::string& path, const std::string& content,
                             mode_t mode) const {
    std::error_code ignored;
    fs::create_directories(fs::path(inside(path)).parent_path(), ignored);
    write_file(inside(path), content, mode);
}

void sandboxed_daemon::plant_fake(const std::string& path, const std::string& id,
                                  const std::vector<std::string>& steps) const {
    plant(path, dir_.fake_script(id, steps), 0755);
}

void sandboxed_daemon::go() {
    ssize_t n = write(go_fd_.get(), "\n", 1);
    EXPECT_EQ(n, 1) << "cannot release the daemon";
}

const std::string& sandboxed_daemon::output() {
    char buf[4096];
    ssize_t n;
    while (output_fd_.valid() && (n = read(output_fd_.get(), buf, sizeof buf)) > 0)
        output_.append(buf, static_cast<size_t>(n));
    return output_;
}

bool sandboxed_daemon::wait_for_output(const std::string& needle, std::chrono::milliseconds limit) {
    return wait_until([&] { return output().find(needle) != std::string::npos; }, limit);
}

bool sandboxed_daemon::wait_for_starts(size_t count, std::chrono::milliseconds limit) {
    return wait_until(
        [&] {
            output();  // keep the pipe drained
            return dir_.starts().size() >= count;
        },
        limit);
}

std::optional<int> sandboxed_daemon::exit_status() const {
    std::string text = read_file(inside(STATUS_PREFIX + token_));
    if (text.empty() || text.back() != '\n')
        return std::nullopt;
    return atoi(text.c_str());
}

bool sandboxed_daemon::wait_for_exit(std::chrono::milliseconds limit) {
    return wait_until(
        [&] {
            output();
            return exit_status().has_value();
        },
        limit);
}

std::vector<pid_t> sandboxed_daemon::host_pids(const std::string& comm) const {
    const std::string ns =
        link_target("/proc/" + std::to_string(sandbox_.pid()) + "/ns/pid_for_children");
    std::vector<pid_t> pids;
    dirent* entry;
    std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    while (proc && (entry = readdir(proc.get())) != nullptr) {
        pid_t pid = atoi(entry->d_name);
        if (pid <= 0)
            continue;
        const std::string base = "/proc/" + std::to_string(pid);
        if (link_target(base + "/ns/pid") == ns && read_file(base + "/comm") == comm + "\n")
            pids.push_back(pid);
    }
    return pids;
}

bool sandboxed_daemon::running_inside(int ns_pid) const {
    const std::string stat = read_file(inside("/proc/" + std::to_string(ns_pid) + "/stat"));
    const size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos || name_end + 2 >= stat.size())
        return false;
    const char state = stat[name_end + 2];
    return state != 'Z' && state != 'X';
}

command_result sandboxed_daemon::run_inside(const std::vector<std::string>& argv,
                                            std::chrono::milliseconds limit) const {
    const std::string proc = "/proc/" + std::to_string(sandbox_.pid());
    std::vector<std::string> full = {"/usr/bin/nsenter", "--mount=" + proc + "/ns/mnt",
                                     "--pid=" + proc + "/ns/pid_for_children", "--"};
    full.insert(full.end(), argv.begin(), argv.end());
    command_result result = run_command(full, "/", limit);
    EXPECT_NE(result.status, -1) << "command in the sandbox did not end: " << argv.front();
    return result;
}

// ---- fixtures ------------------------------------------------------------------------------

const std::optional<std::string>& sandbox_unavailable() {
    static const std::optional<std::string> reason = [] {
        std::optional<std::string> why;
        const std::string work_dir = WATCHD_E2E_WORK_DIR;
        for (const char* hidden : {"/tmp/", "/data/"}) {
            if (work_dir.rfind(hidden, 0) == 0)
                return std::optional<std::string>("the build directory " + work_dir +
                                                  " lies under " + hidden +
                                                  ", which the sandbox replaces");
        }
        const command_result probe =
            run_command({"/bin/sh", WATCHD_E2E_SANDBOX, "/bin/true"}, "/", 30s);
        if (probe.status == 0)
            return why;
        const std::string text = probe.output();
        return std::optional<std::string>(text.empty() ? "the sandbox cannot be made here" : text);
    }();
    return reason;
}

sandboxed_daemon& daemon_starter::start(const std::string& config, const fake_list& fakes,
                                        launch_options options,
                                        const std::function<void(const sandboxed_daemon&)>& plant) {
    dir.write_config(config);
    for (const auto& [name, steps] : fakes)
        dir.add_fake(name, steps);
    daemons_.push_back(std::make_unique<sandboxed_daemon>(dir, std::move(options)));
    sandboxed_daemon& d = *daemons_.back();
    if (!d.ready())
        throw std::runtime_error("the sandbox did not come up");
    if (plant)
        plant(d);
    if (::testing::Test::HasFatalFailure())
        throw std::runtime_error("planting files in the sandbox failed");
    d.go();
    return d;
}

std::optional<long> seconds_between(const std::string& earlier_line,
                                    const std::string& later_line) {
    auto stamp = [](const std::string& line) -> std::optional<time_t> {
        struct tm when = {};
        const char* end = strptime(line.c_str(), "%a %b %d %H:%M:%S %Y", &when);
        if (end == nullptr || *end != ':')
            return std::nullopt;
        return timegm(&when);
    };
    auto a = stamp(earlier_line);
    auto b = stamp(later_line);
    if (!a || !b)
        return std::nullopt;
    return static_cast<long>(*b - *a);
}

std::vector<std::string> exit_lines(const std::string& run_file) {
    std::vector<std::string> lines = split_lines(run_file);
    if (!lines.empty())
        lines.erase(lines.begin());
    return lines;
}

}  // namespace watchd_e2e
