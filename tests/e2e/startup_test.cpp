// Start-up: the daemon's directory and run file, the single-instance lock, the configuration.
#include <sys/stat.h>
#include <sys/wait.h>

#include "harness.h"

namespace watchd_e2e {
namespace {

TEST_F(e2e_test, started_by_path_works_in_its_own_directory) {
    // started from "/" by its absolute path
    sandboxed_daemon& d = start(ONE_ENGINE, {{"eng", {sleep_forever()}}});
    ASSERT_TRUE(d.wait_for_starts(1, 10s)) << d.output();

    auto starts = dir.starts();
    EXPECT_EQ(starts[0].cwd, dir.path());
    EXPECT_EQ(starts[0].command, "eng");
    EXPECT_EQ(d.run_file(), dir.path() + "\n");
    struct stat info;
    ASSERT_EQ(stat(d.inside("/tmp/.uci/watchd.run").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
}

TEST_F(e2e_test, started_by_bare_name_keeps_the_inherited_directory) {
    launch_options options;
    // Found through PATH in a bin directory of its own, started from the directory that
    // holds the config and the fakes.
    options.by_bare_name = true;
    sandboxed_daemon& d =
        start(ONE_ENGINE, {{"eng", {sleep_forever()}}}, options, [&](const sandboxed_daemon&) {
            ASSERT_FALSE(path_exists(dir.file("watchd")));
            ASSERT_TRUE(path_exists(dir.bin_dir() + "/watchd"));
        });
    ASSERT_TRUE(d.wait_for_starts(1, 10s)) << d.output();

    EXPECT_EQ(dir.starts()[0].cwd, dir.path());
    EXPECT_EQ(dir.starts()[0].command, "eng");
    EXPECT_EQ(d.run_file(), dir.path() + "\n");
}

TEST_F(e2e_test, run_file_is_named_after_the_program) {
    daemon_dir dir("guard");
    dir.write_config(ONE_ENGINE);
    dir.add_fake("eng", {sleep_forever()});
    sandboxed_daemon d(dir);
    ASSERT_TRUE(d.ready());
    d.go();
    ASSERT_TRUE(d.wait_for_starts(1, 10s)) << d.output();
    EXPECT_EQ(read_file(d.inside("/tmp/.uci/guard.run")), dir.path() + "\n");
    EXPECT_FALSE(path_exists(d.inside("/tmp/.uci/watchd.run")));
}

TEST_F(e2e_test, second_instance_is_refused_and_leaves_the_run_file_alone) {
    sandboxed_daemon& d = start(ONE_ENGINE, {{"eng", {exit_with(3), sleep_forever()}}});
    ASSERT_TRUE(d.wait_for_starts(2, 10s)) << d.output();
    const std::string before = d.run_file();
    ASSERT_EQ(exit_lines(before).size(), 1u) << before;

    const std::string second = dir.file("watchd");
    command_result refused = d.run_inside({second});
    EXPECT_EQ(refused.status, 0);
    EXPECT_EQ(refused.output(),
              "already in use for /tmp/.uci/watchd.run\nprocess(" + second + ") already run\n");
    EXPECT_EQ(d.run_file(), before);
    EXPECT_EQ(dir.starts().size(), 2u) << "the refused daemon must not start anything";
    EXPECT_FALSE(d.exit_status().has_value()) << "the first daemon goes on";
}

TEST_F(e2e_test, symlink_at_the_run_file_is_refused_and_its_target_kept) {
    sandboxed_daemon& d =
        start(ONE_ENGINE, {{"eng", {sleep_forever()}}}, {}, [&](const sandboxed_daemon& sandbox) {
            sandbox.plant("/tmp/precious", "keep me\n");
            ASSERT_EQ(mkdir(sandbox.inside("/tmp/.uci").c_str(), 0777), 0);
            ASSERT_EQ(symlink("/tmp/precious", sandbox.inside("/tmp/.uci/watchd.run").c_str()), 0);
        });
    ASSERT_TRUE(d.wait_for_exit(10s)) << d.output();

    EXPECT_EQ(*d.exit_status(), 0);
    EXPECT_EQ(d.output(), "failed to open /tmp/.uci/watchd.run\nprocess(" + dir.file("watchd") +
                              ") already run\n");
    EXPECT_EQ(read_file(d.inside("/tmp/precious")), "keep me\n");
    EXPECT_TRUE(dir.starts().empty());
}

TEST_F(e2e_test, plain_file_in_place_of_the_runtime_directory_ends_start_up) {
    sandboxed_daemon& d = start(
        ONE_ENGINE, {{"eng", {sleep_forever()}}}, {},
        [&](const sandboxed_daemon& sandbox) { sandbox.plant("/tmp/.uci", "not a directory\n"); });
    ASSERT_TRUE(d.wait_for_exit(10s)) << d.output();

    EXPECT_EQ(*d.exit_status(), 0);
    EXPECT_EQ(d.output(), "mkdir (/tmp/.uci/) error: File exists");
    EXPECT_TRUE(dir.starts().empty());
}

TEST_F(e2e_test, program_path_too_long_for_a_path_buffer_is_refused) {
    sandboxed_daemon& d = start(ONE_ENGINE, {{"eng", {sleep_forever()}}});
    ASSERT_TRUE(d.wait_for_starts(1, 10s)) << d.output();

    // argv[0] of 4096 characters (the first daemon holds the lock of watchd.run meanwhile,
    // so a silently cut name would be refused with another message).
    std::string argv0 = dir.path() + "/";
    while (argv0.size() < 4096 - std::string("watchd").size())
        argv0 += "./";
    argv0.resize(4096 - std::string("watchd").size(), '/');
    argv0 += "watchd";
    ASSERT_EQ(argv0.size(), 4096u);
    command_result result = d.run_inside(
        {"/bin/bash", "-c", "exec -a \"$0\" " + shell_quote(dir.file("watchd")), argv0});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output(), "failed to init daemon\n");
}

TEST_F(e2e_test, children_are_reaped_when_the_daemon_inherits_sigchld_ignored) {
    launch_options options;
    // An ignored signal stays ignored across exec (dash's trap does not ignore CHLD for real).
    options.wrapper = "perl -e '$SIG{CHLD} = \"IGNORE\"; exec @ARGV'";
    sandboxed_daemon& d = start(ONE_ENGINE, {{"eng", {exit_with(3), sleep_forever()}}}, options);
    ASSERT_TRUE(d.wait_for_starts(2, 10s)) << d.output();

    EXPECT_EQ(dir.starts()[1].command, "eng -r 3");
    EXPECT_EQ(d.output(), "Will restart normal prog after 10 secs\n");
}

struct stream_case {
    const char* label;
    const char* closed;    // the standard streams the daemon starts without
    const char* messages;  // what reaches the pipe of standard output and error
};

void PrintTo(const stream_case& c, std::ostream* os) {
    *os << c.label;
}

class closed_standard_stream : public e2e_param_test<stream_case> {};

TEST_P(closed_standard_stream, never_becomes_the_run_file) {
    launch_options options;
    options.preload = {WATCHD_E2E_CLOSED_STREAMS};
    options.environment = {std::string("WATCHD_E2E_CLOSED_STREAMS=") + GetParam().closed};
    sandboxed_daemon& d =
        start(ONE_ENGINE, {{"eng", {exit_with(3), exit_with(3), sleep_forever()}}}, options);
    // Each exit line is written before the restart that follows it.
    ASSERT_TRUE(d.wait_for_starts(3, 10s)) << d.output();

    const std::string run_file = d.run_file();
    auto lines = split_lines(run_file);
    ASSERT_EQ(lines.size(), 3u) << run_file;
    EXPECT_EQ(run_file.back(), '\n');
    EXPECT_EQ(lines[0], dir.path());
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_TRUE(seconds_between(lines[i], lines[i]).has_value()) << lines[i];
        EXPECT_EQ(lines[i].substr(lines[i].find(": ")), ": eng exited normally with code(3)");
    }
    EXPECT_EQ(d.output(), GetParam().messages);
}

INSTANTIATE_TEST_SUITE_P(e2e, closed_standard_stream,
                         ::testing::Values(stream_case{"stdin_closed", "0",
                                                       "Will restart normal prog after 10 secs\n"
                                                       "Will restart normal prog after 10 secs\n"},
                                           stream_case{"stdout_closed", "1", ""}));

struct config_case {
    const char* label;
    std::optional<std::string> config;  // nothing: no config file at all
    bool fifo = false;                  // config is a FIFO that nobody writes to
};

void PrintTo(const config_case& c, std::ostream* os) {
    *os << c.label;
}

class bad_config : public e2e_param_test<config_case> {};

TEST_P(bad_config, fails_to_init_and_exits_with_status_0) {
    if (GetParam().config)
        dir.write_config(*GetParam().config);
    if (GetParam().fifo) {
        ASSERT_EQ(mkfifo(dir.file("config").c_str(), 0644), 0);
    }
    dir.add_fake("eng", {sleep_forever()});
    dir.add_fake("kelvra-dpi-inner", {sleep_forever()});
    sandboxed_daemon d(dir);
    ASSERT_TRUE(d.ready());
    d.go();
    ASSERT_TRUE(d.wait_for_exit(10s)) << d.output();

    EXPECT_EQ(*d.exit_status(), 0);
    EXPECT_EQ(d.output(), "failed to init daemon\n");
    EXPECT_TRUE(dir.starts().empty()) << "not even the first program starts";
    EXPECT_FALSE(path_exists(d.inside("/tmp/.uci/watchd.run")));
}

INSTANTIATE_TEST_SUITE_P(
    e2e, bad_config,
    ::testing::Values(
        // What makes a config bad is the loader's unit table (LoadWatchConfig).
        config_case{"missing", std::nullopt}, config_case{"fifo", std::nullopt, true}));

struct table_case {
    const char* label;
    std::string config;
    std::vector<std::string> expected_starts;  // commands of the first cycle, in order
};

void PrintTo(const table_case& c, std::ostream* os) {
    *os << c.label;
}

class program_table : public e2e_param_test<table_case> {};

TEST_P(program_table, first_cycle_starts_the_configured_programs) {
    for (const char* name : {"kelvra-dpi-inner", "eng", "eng-b"})
        dir.add_fake(name, {sleep_forever()});
    sandboxed_daemon& d = start(GetParam().config, {});
    const size_t n = GetParam().expected_starts.size();
    ASSERT_TRUE(d.wait_for_starts(n, 10s)) << d.output();
    std::this_thread::sleep_for(100ms);  // a start too many would show up by now

    // The fakes of one cycle race to their log, so the order there says nothing.
    std::vector<std::string> commands;
    for (const auto& s : dir.starts())
        commands.push_back(s.command);
    EXPECT_THAT(commands, UnorderedElementsAreArray(GetParam().expected_starts)) << d.output();
}

INSTANTIATE_TEST_SUITE_P(
    e2e, program_table,
    ::testing::Values(
        // How the config reads is the loader's unit table (LoadWatchConfig).
        table_case{"empty_object", "{}", {"kelvra-dpi-inner"}},
        table_case{"two_programs",
                   R"({"__watch":{"processes":[{"base":"eng-b"},{"base":"eng","x":1}]}})",
                   {"eng-b", "eng"}}));

}  // namespace
}  // namespace watchd_e2e
