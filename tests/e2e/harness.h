// End-to-end harness: runs the built watchd in a throwaway sandbox (private /tmp, /data and
// process table) from a scoped per-test daemon directory that holds its config and fake
// watched programs, with time sped up by libfaketime. The test process stays outside the
// sandbox and reaches its files through /proc/<sandbox pid>/root.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/unique_fd.h"
#include "test_support.h"

namespace watchd_e2e {

// The configuration with one watched program, and a record that turns plug-in mode on.
constexpr const char* ONE_ENGINE = R"({"__watch":{"processes":[{"base":"eng"}]}})";
constexpr const char* PLUGIN_RECORD = R"({"version":"3.9.08.2","plugindata":1})";

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

// The shared file, process and polling helpers.
using namespace watchd_test;
using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::Gt;
using ::testing::HasSubstr;
using ::testing::SizeIs;
using ::testing::StartsWith;
using ::testing::UnorderedElementsAreArray;
using watchd::unique_fd;

// ---- fake watched programs -----------------------------------------------------------------

// What a fake does on one start; the last step repeats for every later start.
std::string exit_with(int code);
std::string kill_self(const std::string& signal_name);  // "KILL", "SEGV"
std::string sleep_forever();
// Copies a file from the daemon directory to the package path, then exits with code.
std::string leave_package_and_exit(const std::string& package_file, int code);

// One start of a fake, as the fake itself logged it.
struct start_record {
    int pid = 0;          // in the sandbox's PID namespace
    std::string cwd;      // physical working directory
    std::string command;  // "$0 arg1 arg2 ...": the path it was executed by and its arguments
};

// A per-test daemon directory under the build tree, removed with its content when the test
// ends whatever its outcome: a copy of the built watchd, its config, fake programs and the
// start log that the fakes append to.
class daemon_dir {
  public:
    explicit daemon_dir(const std::string& program_name = "watchd");
    daemon_dir(const daemon_dir&) = delete;
    daemon_dir& operator=(const daemon_dir&) = delete;

    const std::string& path() const { return path_; }
    const std::string& program_name() const { return program_name_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string run_file_inside() const { return "/tmp/.uci/" + program_name_ + ".run"; }
    // Where a daemon started by bare name is found: a directory of its own.
    std::string bin_dir() const { return file("bin"); }

    void write_config(const std::string& json) const;
    // Writes a fake program named name into the daemon directory.
    void add_fake(const std::string& name, const std::vector<std::string>& steps) const;
    // The text of a fake whose step counter is keyed by id, for planting elsewhere.
    std::string fake_script(const std::string& id, const std::vector<std::string>& steps) const;

    std::vector<start_record> starts() const;

  private:
    scoped_temp_dir home_;
    std::string path_;
    std::string program_name_;
};

// ---- the sandboxed daemon ------------------------------------------------------------------

struct launch_options {
    // argv[0] "watchd", found through PATH in the bin directory of the daemon dir, started
    // with the daemon dir (config and fakes) as working directory.
    bool by_bare_name = false;
    std::vector<std::string> args;
    int speed = 100;          // libfaketime's x factor
    rlim_t open_files = 0;    // RLIMIT_NOFILE for the daemon; 0 keeps the inherited one
    std::string setup_shell;  // commands run inside the sandbox just before the daemon starts
    std::string wrapper;      // shell words that start the daemon, e.g. to change a disposition
    std::vector<std::string> preload;      // libraries preloaded into the daemon after libfaketime
    std::vector<std::string> environment;  // NAME=value, for the daemon only
};

// Starts the sandbox at once and holds the daemon back until go(), so that a test can plant
// files first. The sandbox outlives the daemon, so its files can be read after the daemon
// ended; the destructor kills the sandbox (and everything in it) and reaps it.
class sandboxed_daemon {
  public:
    sandboxed_daemon(const daemon_dir& dir, launch_options options = {});
    ~sandboxed_daemon() = default;
    sandboxed_daemon(const sandboxed_daemon&) = delete;
    sandboxed_daemon& operator=(const sandboxed_daemon&) = delete;

    // The sandbox is up (its /tmp and /data mounted) and waiting for go().
    bool ready() const { return ready_; }
    // A path inside the sandbox, as the test process reaches it.
    std::string inside(const std::string& path) const;
    void plant(const std::string& path, const std::string& content, mode_t mode = 0644) const;
    void plant_fake(const std::string& path, const std::string& id,
                    const std::vector<std::string>& steps) const;
    void go();

    // Everything the daemon printed so far (standard output and error).
    const std::string& output();
    bool wait_for_output(const std::string& needle, std::chrono::milliseconds limit);
    bool wait_for_starts(size_t count, std::chrono::milliseconds limit);
    // The daemon's exit status once it ended.
    std::optional<int> exit_status() const;
    bool wait_for_exit(std::chrono::milliseconds limit);

    std::string run_file() const { return read_file(inside(dir_.run_file_inside())); }
    // Host process ids of the processes in the sandbox whose name is comm.
    std::vector<pid_t> host_pids(const std::string& comm) const;
    // Whether the process with this id in the sandbox's PID namespace runs (a zombie does not).
    bool running_inside(int ns_pid) const;
    // Runs argv inside the sandbox's mount and PID namespaces; killed after limit.
    command_result run_inside(const std::vector<std::string>& argv,
                              std::chrono::milliseconds limit = 10s) const;

  private:
    const daemon_dir& dir_;
    std::string token_;
    unique_fd output_fd_;
    unique_fd go_fd_;
    scoped_child sandbox_;
    std::string output_;
    bool ready_ = false;
};

// ---- fixtures ------------------------------------------------------------------------------

// The reason why no sandbox can be made here, or nothing when one can.
const std::optional<std::string>& sandbox_unavailable();

// Fake programs by name, each with what it does on its starts (see daemon_dir::add_fake).
using fake_list = std::vector<std::pair<std::string, std::vector<std::string>>>;

// The daemon directory of one test, and the daemons it starts from there.
class daemon_starter {
  protected:
    // Writes config and the fakes into dir, starts a sandboxed daemon with options, lets plant
    // put files inside the sandbox, and releases the daemon. Throws when the sandbox does not
    // come up or an assertion in plant failed, which ends the test there, failed.
    sandboxed_daemon& start(const std::string& config, const fake_list& fakes,
                            launch_options options = {},
                            const std::function<void(const sandboxed_daemon&)>& plant = nullptr);

    daemon_dir dir;

  private:
    std::vector<std::unique_ptr<sandboxed_daemon>> daemons_;
};

template <class Base>
class sandbox_fixture : public Base, protected daemon_starter {
  protected:
    void SetUp() override {
        if (const auto& reason = sandbox_unavailable())
            GTEST_SKIP() << *reason;
    }
};

using e2e_test = sandbox_fixture<::testing::Test>;
template <class Param>
using e2e_param_test = sandbox_fixture<::testing::TestWithParam<Param>>;

// Seconds between the time stamps of two run-file lines (asctime form at the line's start).
std::optional<long> seconds_between(const std::string& earlier_line, const std::string& later_line);
// The lines of a run file after its first line (the daemon's directory).
std::vector<std::string> exit_lines(const std::string& run_file);

}  // namespace watchd_e2e
