// The supervision cycle: restarts and their delays, the exit-code protocol (129, 160), the
// SIGSEGV backoff, killing by name, and how messages reach a piped standard output.
#include "harness.h"

namespace watchd_e2e {
namespace {

constexpr const char* PLUGIN_OPTIONS = " -T /tmp/.uci/ -D /data/ -O brelvant_odm";

std::vector<std::string> commands_of(const std::vector<start_record>& starts) {
    std::vector<std::string> commands;
    for (const auto& s : starts)
        commands.push_back(s.command);
    return commands;
}

// Each gap between consecutive run-file lines must be the delay (plus the cost of a start).
void expect_gaps(const std::vector<std::string>& lines, const std::vector<long>& delays,
                 long slack) {
    ASSERT_EQ(lines.size(), delays.size() + 1);
    for (size_t i = 0; i < delays.size(); ++i) {
        auto gap = seconds_between(lines[i], lines[i + 1]);
        ASSERT_TRUE(gap.has_value()) << lines[i] << " / " << lines[i + 1];
        EXPECT_GE(*gap, delays[i] - 1) << "gap " << i;
        EXPECT_LE(*gap, delays[i] + slack) << "gap " << i;
    }
}

struct end_case {
    const char* label;
    std::string first_run;        // what the fake does on its first start
    std::string second_command;   // its command line on the restart
    std::string run_file_ending;  // the end of the run-file line of the first run
};

void PrintTo(const end_case& c, std::ostream* os) {
    *os << c.label;
}

class single_restart : public e2e_param_test<end_case> {};

TEST_P(single_restart, restarts_after_10_seconds_with_its_own_end_as_restart_code) {
    sandboxed_daemon& d = start(ONE_ENGINE, {{"eng", {GetParam().first_run, sleep_forever()}}});
    ASSERT_TRUE(d.wait_for_starts(2, 10s)) << d.output();

    EXPECT_EQ(commands_of(dir.starts()),
              (std::vector<std::string>{"eng", GetParam().second_command}));
    EXPECT_EQ(d.output(), "Will restart normal prog after 10 secs\n");
    auto lines = exit_lines(d.run_file());
    ASSERT_EQ(lines.size(), 1u) << d.run_file();
    // The time stamp, then the ending.
    EXPECT_THAT(lines[0], AllOf(SizeIs(Gt(GetParam().run_file_ending.size())),
                                EndsWith(GetParam().run_file_ending)));
}

INSTANTIATE_TEST_SUITE_P(
    e2e, single_restart,
    ::testing::Values(
        end_case{"exit_0", exit_with(0), "eng", ": eng exited normally with code(0)"},
        end_case{"exit_3", exit_with(3), "eng -r 3", ": eng exited normally with code(3)"},
        end_case{"exit_255", exit_with(255), "eng -r 255", ": eng exited normally with code(255)"},
        end_case{"sigkill", kill_self("KILL"), "eng -r 9", ": eng killed by signal(9)"},
        end_case{"sigterm", kill_self("TERM"), "eng -r 15", ": eng killed by signal(15)"},
        // Reserved codes mean nothing as signal numbers.
        end_case{"signal_2", kill_self("INT"), "eng -r 2", ": eng killed by signal(2)"}));

TEST_F(e2e_test, every_restart_is_announced_once_and_waits_10_seconds) {
    // The fourth run shares the daemon's standard output: its line comes after everything
    // the daemon printed before starting it.
    launch_options options;
    options.speed = 10;  // a start costing up to 0.8 s under load shows as at most 8 s
    sandboxed_daemon& d =
        start(ONE_ENGINE,
              {{"eng",
                {exit_with(0), exit_with(0), exit_with(0), "echo fourth run; " + sleep_forever()}}},
              options);
    ASSERT_TRUE(d.wait_for_starts(4, 20s)) << d.output();
    ASSERT_TRUE(d.wait_for_output("fourth run\n", 5s)) << d.output();

    EXPECT_EQ(commands_of(dir.starts()), std::vector<std::string>(4, "eng"));
    EXPECT_EQ(d.output(),
              "Will restart normal prog after 10 secs\n"
              "Will restart normal prog after 10 secs\n"
              "Will restart normal prog after 10 secs\n"
              "fourth run\n");
    auto lines = exit_lines(d.run_file());
    // Below 20 s: a doubled delay would show.
    expect_gaps(lines, {10, 10}, 8);
}

TEST_F(e2e_test, segv_backoff_grows_to_7200_seconds_and_is_announced_before_the_sleep) {
    const std::string segv = kill_self("SEGV");
    launch_options options;
    options.speed = 1000;  // 9190 seconds in about 9 s
    sandboxed_daemon& d = start(
        ONE_ENGINE, {{"eng", {segv, segv, segv, segv, exit_with(0), sleep_forever()}}}, options);

    // The fourth run crashes at once: its 7200 s delay (7.2 s here) must be announced at
    // once, not when the daemon wakes up and flushes before the next fork.
    ASSERT_TRUE(d.wait_for_starts(4, 30s)) << d.output();
    EXPECT_TRUE(d.wait_for_output("Will restart segv prog after 7200 secs\n", 5s)) << d.output();
    EXPECT_EQ(dir.starts().size(), 4u) << "the daemon should still be sleeping";

    ASSERT_TRUE(d.wait_for_starts(6, 40s)) << d.output();
    EXPECT_EQ(commands_of(dir.starts()),
              (std::vector<std::string>{"eng", "eng -r 11", "eng -r 11", "eng -r 11", "eng -r 11",
                                        "eng"}));
    EXPECT_EQ(d.output(),
              "Will restart segv prog after 60 secs\n"
              "Will restart segv prog after 660 secs\n"
              "Will restart segv prog after 1260 secs\n"
              "Will restart segv prog after 7200 secs\n"
              "Will restart normal prog after 10 secs\n");
    auto lines = exit_lines(d.run_file());
    for (size_t i = 0; i < 4 && i < lines.size(); ++i)
        EXPECT_NE(lines[i].find(": eng killed by signal(11)"), std::string::npos) << lines[i];
    // A start may cost about half a second under a sanitizer and load; the delays differ by
    // 600 s, which the slack stays below.
    expect_gaps(lines, {60, 660, 1260, 7200}, 590);
}

TEST_F(e2e_test, segv_backoff_counts_the_crashes_of_all_programs) {
    const std::string segv = kill_self("SEGV");
    // eng-b crashes only after eng-a's restart, so the order of the delays is fixed.
    launch_options options;
    options.speed = 1000;
    sandboxed_daemon& d =
        start(R"({"__watch":{"processes":[{"base":"eng-a"},{"base":"eng-b"}]}})",
              {{"eng-a", {segv, sleep_forever()}},
               {"eng-b",
                {"while [ ! -e \"$E2E_DIR\"/.count-eng-a ] || "
                 "[ \"$(cat \"$E2E_DIR\"/.count-eng-a)\" != 2 ]; do sleep 1; done; " +
                     segv,
                 sleep_forever()}}},
              options);
    ASSERT_TRUE(d.wait_for_starts(4, 20s)) << d.output();
    EXPECT_EQ(d.output(),
              "Will restart segv prog after 60 secs\n"
              "Will restart segv prog after 660 secs\n");
}

TEST_F(e2e_test, exit_160_restarts_every_program_and_reaps_the_killed_ones_silently) {
    // ea asks for the new cycle once the others run.
    sandboxed_daemon& d =
        start(R"({"__watch":{"processes":[{"base":"ea"},{"base":"eb"},{"base":"ec"}]}})",
              {{"ea",
                {"until [ $(wc -l < \"$E2E_DIR\"/starts.log) -ge 3 ]; do sleep 1; done; "
                 "exit 160",
                 sleep_forever()}},
               {"eb", {sleep_forever()}},
               {"ec", {sleep_forever()}}});
    ASSERT_TRUE(d.wait_for_starts(6, 10s)) << d.output();
    const auto starts = dir.starts();
    std::vector<std::string> no_such;
    for (size_t i = 0; i < 3; ++i) {
        if (starts[i].command != "ea")
            no_such.push_back("No such pid(" + std::to_string(starts[i].pid) + ") for reexec");
    }
    ASSERT_EQ(no_such.size(), 2u);
    ASSERT_TRUE(wait_until(
        [&] {
            return d.output().find(no_such[0]) != std::string::npos &&
                   d.output().find(no_such[1]) != std::string::npos;
        },
        10s))
        << d.output();
    std::this_thread::sleep_for(100ms);  // a restart too many would have begun by now

    EXPECT_THAT(
        commands_of(dir.starts()),
        UnorderedElementsAreArray({"ea", "ea -r 160", "eb", "eb -r 160", "ec", "ec -r 160"}));
    // One line for each killed pid, in whatever order the two were reaped.
    EXPECT_THAT(split_lines(d.output()), UnorderedElementsAreArray(no_such));
    auto lines = exit_lines(d.run_file());
    ASSERT_EQ(lines.size(), 1u) << "no line for a killed child: " << d.run_file();
    EXPECT_NE(lines[0].find(": ea exited normally with code(160)"), std::string::npos);
}

struct failed_boot_case {
    const char* label;
    bool fake_in_data;     // else /data/eng is missing and its exec fails
    std::string expected;  // the daemon's whole output
};

void PrintTo(const failed_boot_case& c, std::ostream* os) {
    *os << c.label;
}

class failed_boot_with_record : public e2e_param_test<failed_boot_case> {};

TEST_P(failed_boot_with_record, removes_the_record_retries_in_normal_mode_then_gives_up) {
    sandboxed_daemon& d =
        start(ONE_ENGINE, {{"eng", {exit_with(129)}}}, {}, [&](const sandboxed_daemon& sandbox) {
            sandbox.plant("/data/.bootchk", PLUGIN_RECORD);
            if (GetParam().fake_in_data)
                sandbox.plant_fake("/data/eng", "data-eng", {exit_with(129)});
        });
    ASSERT_TRUE(d.wait_for_exit(10s)) << d.output();

    EXPECT_EQ(*d.exit_status(), 0);
    EXPECT_EQ(d.output(), GetParam().expected);
    EXPECT_FALSE(path_exists(d.inside("/data/.bootchk")));
    std::vector<std::string> expected_starts = {"eng -r 129"};
    if (GetParam().fake_in_data)
        expected_starts.insert(expected_starts.begin(), std::string("/data//eng") + PLUGIN_OPTIONS);
    EXPECT_EQ(commands_of(dir.starts()), expected_starts);
    auto lines = exit_lines(d.run_file());
    ASSERT_EQ(lines.size(), 2u) << d.run_file();
    EXPECT_NE(lines[1].find(": eng exited normally with code(129)"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    e2e, failed_boot_with_record,
    ::testing::Values(failed_boot_case{"program_exits_129", true,
                                       "failed boot, then clean bootchk, and try again\n"
                                       "failed for normal boot, exit\n"},
                      failed_boot_case{"program_missing_in_data", false,
                                       "failed to exec /data//eng, error is No such file or "
                                       "directory\n"
                                       "failed boot, then clean bootchk, and try again\n"
                                       "failed for normal boot, exit\n"}));

TEST_F(e2e_test, exit_129_without_a_record_ends_the_daemon) {
    sandboxed_daemon& d = start(ONE_ENGINE, {{"eng", {exit_with(129)}}});
    ASSERT_TRUE(d.wait_for_exit(10s)) << d.output();

    EXPECT_EQ(*d.exit_status(), 0);
    EXPECT_EQ(d.output(), "failed for normal boot, exit\n");
    EXPECT_EQ(dir.starts().size(), 1u);
    auto lines = exit_lines(d.run_file());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(": eng exited normally with code(129)"), std::string::npos);
}

struct fork_fault_case {
    const char* label;
    std::vector<std::string> names;            // the configured programs, all in /data/
    std::vector<std::string> first_run;        // what each does on its first start
    std::string output;                        // all the daemon prints
    std::vector<std::string> second_commands;  // the start after the failed fork
};

void PrintTo(const fork_fault_case& c, std::ostream* os) {
    *os << c.label;
}

class failed_fork : public e2e_param_test<fork_fault_case> {};

// The second fork fails with EAGAIN: the slot is tried again, and the plug-in boot stands.
TEST_P(failed_fork, is_tried_again_after_the_normal_delay_and_is_no_failed_boot) {
    const fork_fault_case& c = GetParam();
    std::string config = R"({"__watch":{"processes":[)";
    for (const std::string& name : c.names)
        config += R"({"base":")" + name + R"("})" + (&name == &c.names.back() ? "" : ",");
    launch_options options;
    options.preload = {WATCHD_E2E_INJECTED_FAULTS};
    options.environment = {"WATCHD_E2E_FAULTS=fork:2"};
    sandboxed_daemon& d = start(config + "]}}", {}, options, [&](const sandboxed_daemon& sandbox) {
        sandbox.plant("/data/.bootchk", PLUGIN_RECORD);
        for (size_t i = 0; i < c.names.size(); ++i)
            sandbox.plant_fake("/data/" + c.names[i], c.names[i],
                               {c.first_run[i], sleep_forever()});
    });
    ASSERT_TRUE(d.wait_for_starts(2, 10s)) << d.output();
    ASSERT_TRUE(d.wait_for_output("failed to fork\n", 5s)) << d.output();

    EXPECT_EQ(d.output(), c.output);
    std::vector<std::string> second = {dir.starts()[1].command};
    EXPECT_EQ(second, c.second_commands);
    EXPECT_EQ(read_file(d.inside("/data/.bootchk")), PLUGIN_RECORD);
    EXPECT_FALSE(d.exit_status().has_value());
}

INSTANTIATE_TEST_SUITE_P(
    e2e, failed_fork,
    ::testing::Values(fork_fault_case{"at_a_restart",
                                      {"eng"},
                                      {exit_with(3)},
                                      "Will restart normal prog after 10 secs\nfailed to fork\n",
                                      {"/data//eng -r 3" + std::string(PLUGIN_OPTIONS)}},
                      fork_fault_case{"at_a_cycles_start",
                                      {"ea", "eb"},
                                      {sleep_forever(), sleep_forever()},
                                      "failed to fork\n",
                                      {"/data//eb" + std::string(PLUGIN_OPTIONS)}}));

TEST_F(e2e_test, exec_failure_after_a_restart_prints_every_message_once) {
    // The first run takes its own execute permission away, so the restart's exec fails in a
    // child that inherited whatever the daemon had not yet flushed.
    // The child ends with _exit: exit handlers of the daemon must not run in it.
    launch_options options;
    options.preload = {WATCHD_E2E_INJECTED_FAULTS};
    options.environment = {"WATCHD_E2E_FAULTS="};
    sandboxed_daemon& d = start(ONE_ENGINE, {{"eng", {"chmod a-x \"$0\"; exit 0"}}}, options);
    ASSERT_TRUE(d.wait_for_exit(10s)) << d.output();

    EXPECT_EQ(*d.exit_status(), 0);
    EXPECT_EQ(d.output(),
              "Will restart normal prog after 10 secs\n"
              "failed to exec eng, error is Permission denied\n"
              "failed for normal boot, exit\n");
}

TEST_F(e2e_test, killall_gets_odd_program_names_quoted) {
    const std::vector<std::string> names = {"a;touch pw1", "b'c;touch pw2", "$(touch pw3)"};
    // The first asks for a new cycle once the others run: they must be killed by name.
    sandboxed_daemon& d =
        start(R"json({"__watch":{"processes":[{"base":"a;touch pw1"},)json"
              R"json({"base":"b'c;touch pw2"},{"base":"$(touch pw3)"}]}})json",
              {{names[0],
                {"until [ $(wc -l < \"$E2E_DIR\"/starts.log) -ge 3 ]; do sleep 1; "
                 "done; exit 160",
                 sleep_forever()}},
               {names[1], {sleep_forever()}},
               {names[2], {sleep_forever()}}});
    ASSERT_TRUE(d.wait_for_starts(6, 10s)) << d.output();
    auto starts = dir.starts();
    for (size_t i = 0; i < 3; ++i) {
        if (starts[i].command == names[0])
            continue;
        EXPECT_TRUE(d.wait_for_output("No such pid(" + std::to_string(starts[i].pid) + ")", 5s))
            << starts[i].command << " was not killed by name: " << d.output();
    }
    for (const char* marker : {"pw1", "pw2", "pw3"}) {
        EXPECT_FALSE(path_exists(dir.file(marker))) << "the shell ran an injected command";
        EXPECT_FALSE(path_exists(d.inside(std::string("/") + marker)));
    }
}

}  // namespace
}  // namespace watchd_e2e
