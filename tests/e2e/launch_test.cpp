// The child launcher: command lines in both start modes, the cost of a start under a huge
// descriptor limit, and children that die with the daemon.
#include <fcntl.h>
#include <signal.h>

#include <algorithm>

#include "harness.h"

namespace watchd_e2e {
namespace {

// The composition is the launcher's unit table (ChildArgs) and the exit line's the run file's
// (ExitLine); here, that the daemon passes its mode and any argument (an empty one too) on,
// a 257-character program path whole, starts in its own directory, and logs the end of so
// long a name cut to 255 characters with its line end.
TEST_F(e2e_test, child_command_line_and_exit_line_of_a_long_name_in_plugin_mode) {
    const std::string name = "eng" + std::string(247, 'x');  // /data// makes it 257 characters
    launch_options options;
    options.args = {""};
    sandboxed_daemon& d =
        start(R"({"__watch":{"processes":[{"base":")" + name + R"("}]}})", {}, options,
              [&](const sandboxed_daemon& sandbox) {
                  sandbox.plant("/data/.bootchk", PLUGIN_RECORD);
                  sandbox.plant_fake("/data/" + name, "data-long", {exit_with(7), sleep_forever()});
              });
    ASSERT_TRUE(d.wait_for_starts(2, 10s)) << d.output();

    const std::string tail = " -d -T /tmp/.uci/ -D /data/ -O brelvant_odm";
    auto starts = dir.starts();
    EXPECT_EQ(starts[0].command, "/data//" + name + tail);
    EXPECT_EQ(starts[1].command, "/data//" + name + " -r 7" + tail);
    for (const auto& s : starts)
        EXPECT_EQ(s.cwd, dir.path()) << "children run in the daemon's directory";
    const std::string run_file = d.run_file();
    ASSERT_EQ(run_file.back(), '\n');
    auto lines = exit_lines(run_file);
    ASSERT_EQ(lines.size(), 1u) << run_file;
    EXPECT_EQ(
        lines[0],
        (lines[0].substr(0, 24) + ": " + name + " exited normally with code(7)").substr(0, 254));
    EXPECT_TRUE(seconds_between(lines[0], lines[0]).has_value()) << lines[0];
}

struct signal_case {
    const char* label;
    std::string wrapper;  // how the daemon is started
};

void PrintTo(const signal_case& c, std::ostream* os) {
    *os << c.label;
}

class signal_state : public e2e_param_test<signal_case> {};

TEST_P(signal_state, leaves_the_daemon_running_and_every_child_with_defaults) {
    // Read by the started process itself: a shell blocks every signal while it waits for a
    // child, so a child of the fake would see the shell's mask of that moment. grep exits 0.
    launch_options options;
    options.wrapper = GetParam().wrapper;
    sandboxed_daemon& d =
        start(ONE_ENGINE,
              {{"eng",
                {"exec grep -E '^Sig(Blk|Ign)' /proc/self/status > \"$E2E_DIR\"/signals",
                 sleep_forever()}}},
              options);
    // The restart comes after the daemon printed its restart message.
    ASSERT_TRUE(d.wait_for_starts(2, 10s)) << d.output();
    EXPECT_EQ(read_file(dir.file("signals")),
              "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

// Starts the daemon with standard output a pipe whose reader is gone.
const char* const OUTPUT_PIPE_WITHOUT_READER =
    "sh -c '{ until [ -e /tmp/.reader-gone ]; do sleep 0; done; exec \"$@\"; } "
    "| { exec <&-; : > /tmp/.reader-gone; }' sh";

INSTANTIATE_TEST_SUITE_P(
    e2e, signal_state,
    ::testing::Values(
        signal_case{"output_pipe_without_reader", OUTPUT_PIPE_WITHOUT_READER},
        signal_case{"started_with_signals_ignored_and_blocked",
                    "perl -MPOSIX -e '$SIG{$_} = \"IGNORE\" for qw(TERM PIPE INT HUP); "
                    "sigprocmask(SIG_BLOCK, POSIX::SigSet->new(SIGTERM, SIGUSR1)); exec @ARGV'"}));

// The exec failure's message meets the closed pipe: the child must still end with 129, so that
// the daemon drops the record and falls back instead of restarting the missing program forever.
TEST_F(e2e_test, exec_failure_with_no_reader_of_the_output_still_falls_back) {
    launch_options options;
    options.wrapper = OUTPUT_PIPE_WITHOUT_READER;
    sandboxed_daemon& d = start(
        ONE_ENGINE, {{"eng", {sleep_forever()}}}, options,
        [](const sandboxed_daemon& sandbox) { sandbox.plant("/data/.bootchk", PLUGIN_RECORD); });
    ASSERT_TRUE(d.wait_for_starts(1, 10s)) << d.run_file();
    EXPECT_EQ(dir.starts()[0].command, "eng -r 129");
    EXPECT_FALSE(path_exists(d.inside("/data/.bootchk")));
}

// Wall time until the daemon has seen a program that exits at once end this many times.
double seconds_for_restarts(rlim_t open_files, std::string* failure) {
    constexpr size_t ENDS = 50;
    daemon_dir dir;
    dir.write_config(ONE_ENGINE);
    // As light as a program can be, so that the daemon's own cost of a start shows.
    write_file(dir.file("eng"), "#!/bin/sh\nexit 0\n", 0755);
    launch_options options;
    options.speed = 100000;  // the 10 s delay becomes 0.1 ms
    options.open_files = open_files;
    sandboxed_daemon d(dir, options);
    if (!d.ready()) {
        *failure = "no sandbox";
        return 0;
    }
    const auto start = clock_type::now();
    d.go();
    if (!wait_until(
            [&] {
                d.output();
                return exit_lines(d.run_file()).size() >= ENDS;
            },
            60s)) {
        *failure = "too few ends: " + d.run_file();
        return 0;
    }
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// The highest descriptor limit this process may set: the kernel's ceiling for root.
rlim_t highest_open_files() {
    rlim_t ceiling = std::stoul("0" + read_file("/proc/sys/fs/nr_open"));
    struct rlimit current;
    getrlimit(RLIMIT_NOFILE, &current);
    struct rlimit wanted = {ceiling, ceiling};
    if (ceiling > current.rlim_max && setrlimit(RLIMIT_NOFILE, &wanted) == 0) {
        setrlimit(RLIMIT_NOFILE, &current);  // only probing; spawn sets it for the daemon
        return ceiling;
    }
    return current.rlim_max;
}

TEST_F(e2e_test, a_start_costs_the_same_under_a_huge_descriptor_limit) {
    const rlim_t high = highest_open_files();
    ASSERT_GE(high, 16384u) << "no descriptor limit high enough to tell";
    // Alternating runs, best of two each, so that a burst of load on the machine during one
    // run does not decide the comparison.
    double low_time = 1e9;
    double high_time = 1e9;
    for (int round = 0; round < 2; ++round) {
        std::string failure;
        low_time = std::min(low_time, seconds_for_restarts(1024, &failure));
        ASSERT_TRUE(failure.empty()) << failure;
        high_time = std::min(high_time, seconds_for_restarts(high, &failure));
        ASSERT_TRUE(failure.empty()) << failure;
    }
    // Closing every possible descriptor one by one nearly triples the time at 20000 already.
    EXPECT_LT(high_time, 1.4 * low_time + 0.2)
        << "limit 1024: " << low_time << " s, limit " << high << ": " << high_time << " s";
}

TEST_F(e2e_test, children_end_when_the_daemon_is_killed) {
    sandboxed_daemon& d = start(R"({"__watch":{"processes":[{"base":"eng-a"},{"base":"eng-b"}]}})",
                                {{"eng-a", {sleep_forever()}}, {"eng-b", {sleep_forever()}}});
    ASSERT_TRUE(d.wait_for_starts(2, 10s)) << d.output();

    const auto starts = dir.starts();
    auto fakes_running = [&] {
        return std::count_if(starts.begin(), starts.end(),
                             [&](const start_record& s) { return d.running_inside(s.pid); });
    };
    ASSERT_EQ(fakes_running(), 2) << "both fakes run before the daemon dies";
    auto daemons = d.host_pids("watchd");
    ASSERT_EQ(daemons.size(), 1u);
    ASSERT_EQ(kill(daemons[0], SIGKILL), 0);

    EXPECT_TRUE(wait_until([&] { return fakes_running() == 0; }, 5s))
        << "children outlived the daemon";
    EXPECT_TRUE(d.wait_for_exit(5s));
}

TEST_F(e2e_test, child_whose_daemon_died_before_its_prctl_never_runs_the_program) {
    launch_options options;
    options.preload = {WATCHD_E2E_PARENT_DIES};
    sandboxed_daemon& d = start(ONE_ENGINE, {{"eng", {sleep_forever()}}}, options);
    ASSERT_TRUE(d.wait_for_exit(10s)) << d.output();
    EXPECT_EQ(*d.exit_status(), 128 + SIGKILL) << "the preloaded prctl kills the daemon";
    // The forked child carries the daemon's name until it runs the program or ends.
    EXPECT_TRUE(wait_until([&] { return d.host_pids("watchd").empty(); }, 10s))
        << "the orphaned child hangs";

    EXPECT_TRUE(d.host_pids("eng").empty()) << "the orphaned child runs the program unwatched";
    EXPECT_TRUE(dir.starts().empty());
}

}  // namespace
}  // namespace watchd_e2e
