// The supervisor's pure decisions: wait-status decoding, crash backoff, the child's command
// line, the killall command and the paths formed at start-up.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "bootcheck/upgrade.h"
#include "supervisor/cycle.h"
#include "supervisor/launcher.h"
#include "supervisor/startup.h"

using namespace watchd;

namespace {

struct status_case {
    int status;
    bool decoded;
    int32_t code;
    int32_t exited_normally;
};

class WaitStatus : public testing::TestWithParam<status_case> {};

TEST_P(WaitStatus, DecodesExitedSignalledAndStopped) {
    const status_case& c = GetParam();
    child_end end = {-77, -77};
    EXPECT_EQ(decode_wait_status(c.status, &end), c.decoded) << std::hex << c.status;
    if (c.decoded) {
        EXPECT_EQ(end.code, c.code) << std::hex << c.status;
        EXPECT_EQ(end.exited_normally, c.exited_normally) << std::hex << c.status;
    } else {
        EXPECT_EQ(end.code, -77);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Words, WaitStatus,
    testing::Values(status_case{0x0000, true, 0, 1}, status_case{0x0300, true, 3, 1},
                    status_case{0x8100, true, 129, 1}, status_case{0xa000, true, 160, 1},
                    status_case{0xff00, true, 255, 1}, status_case{0x0009, true, 9, 0},
                    status_case{0x000b, true, 11, 0},
                    // The core-dump flag does not change the signal.
                    status_case{0x008b, true, 11, 0}, status_case{0x137f, true, 19, 0},
                    // A stop marker without a stop signal reads as a signal end.
                    status_case{0x007f, true, 127, 0},
                    // Neither an exit, a signal nor a stop: the code is left alone.
                    status_case{0x0101, false, 0, 0}));

TEST(ExitCodeProtocol, ReservedCodesEndTheCycleOthersRestartTheChild) {
    const struct {
        int32_t code;
        child_request request;
    } table[] = {{0, child_request::restart_alone},
                 {1, child_request::restart_alone},
                 {128, child_request::restart_alone},
                 {129, child_request::failure},
                 {130, child_request::install_then_new_cycle},
                 {131, child_request::install_then_new_cycle},
                 {132, child_request::install_then_new_cycle},
                 {133, child_request::restart_alone},
                 {159, child_request::restart_alone},
                 {160, child_request::new_cycle},
                 {161, child_request::restart_alone},
                 {255, child_request::restart_alone}};
    for (const auto& row : table) {
        EXPECT_EQ(request_for_exit_code(row.code), row.request) << row.code;
    }
}

TEST(CrashBackoff, GrowsThenStaysAtTwoHours) {
    const std::vector<unsigned> expected = {60, 660, 1260, 7200, 7200, 7200};
    watch_state state{};
    for (unsigned delay : expected)
        EXPECT_EQ(segv_restart_delay(&state), delay);
    EXPECT_EQ(state.segv_count, expected.size());
    EXPECT_EQ(segv_delay_for_count(4000000000u), 7200u);
}

struct args_case {
    const char* path;
    int32_t restart_code;
    int32_t debug;
    int32_t extended;
    std::vector<std::string> expected;
};

class ChildArgs : public testing::TestWithParam<args_case> {};

TEST_P(ChildArgs, ComposeTheCommandLine) {
    const args_case& c = GetParam();
    child_args args;
    build_child_args(c.path, c.restart_code, c.debug, c.extended, &args);
    std::vector<std::string> got;
    int i = 0;
    for (; i < MAX_CHILD_ARGS && args.argv[i] != nullptr; ++i)
        got.emplace_back(args.argv[i]);
    EXPECT_EQ(got, c.expected);
    ASSERT_LT(i, MAX_CHILD_ARGS);
    EXPECT_EQ(args.argv[i], nullptr);
    EXPECT_EQ(args.argv[0], c.path);  // passed whole, never copied into a short buffer
}

const std::string long_path = "/data//" + std::string(4000, 'p');

INSTANTIATE_TEST_SUITE_P(
    Modes, ChildArgs,
    testing::Values(args_case{"engine", 0, 0, 0, {"engine"}},
                    args_case{"engine", 3, 0, 0, {"engine", "-r", "3"}},
                    args_case{"engine", 0, 1, 0, {"engine", "-d"}},
                    args_case{"engine", 11, 2, 2, {"engine", "-r", "11"}},
                    args_case{"engine", -1, 0, 0, {"engine", "-r", "-1"}},
                    args_case{"/data//engine",
                              3,
                              1,
                              1,
                              {"/data//engine", "-r", "3", "-d", "-T", "/tmp/.uci/", "-D", "/data/",
                               "-O", "brelvant_odm"}},
                    args_case{"/data//engine",
                              0,
                              0,
                              1,
                              {"/data//engine", "-T", "/tmp/.uci/", "-D", "/data/", "-O",
                               "brelvant_odm"}},
                    args_case{long_path.c_str(), 160, 0, 0, {long_path, "-r", "160"}}));

TEST(ProgramPath, ByMode) {
    char path[DATA_PATH_CAPACITY];
    ASSERT_EQ(format_program_path("engine", 0, path), 6);
    EXPECT_STREQ(path, "engine");
    ASSERT_GE(format_program_path("engine", 1, path), 0);
    EXPECT_STREQ(path, "/data//engine");
    ASSERT_GE(format_program_path("/opt/x/engine", 2, path), 0);
    EXPECT_STREQ(path, "/opt/x/engine");
    const std::string longest(PATH_CAPACITY - 1, 'n');
    ASSERT_GE(format_program_path(longest.c_str(), 1, path), 0);
    EXPECT_EQ(std::string(path), "/data//" + longest);
}

struct kill_case {
    std::string name;
    std::string command;
};

class KillCommand : public testing::TestWithParam<kill_case> {};

TEST_P(KillCommand, QuotesAnythingThatIsNotPlain) {
    char command[KILL_COMMAND_CAPACITY];
    ASSERT_EQ(format_kill_command(GetParam().name.c_str(), command), 0);
    EXPECT_EQ(std::string(command), GetParam().command);
}

INSTANTIATE_TEST_SUITE_P(
    Names, KillCommand,
    testing::Values(
        kill_case{"kelvra-dpi-inner", "killall -9 kelvra-dpi-inner >/dev/null 2>&1"},
        kill_case{"eng_1.2+x@y%z:a,b=c/d", "killall -9 eng_1.2+x@y%z:a,b=c/d >/dev/null 2>&1"},
        kill_case{"a;touch /tmp/pwned", "killall -9 'a;touch /tmp/pwned' >/dev/null 2>&1"},
        kill_case{"$(reboot)", "killall -9 '$(reboot)' >/dev/null 2>&1"},
        kill_case{"it's", "killall -9 'it'\\''s' >/dev/null 2>&1"},
        kill_case{"", "killall -9  >/dev/null 2>&1"},
        // Names that start with '-' are no options.
        kill_case{"-uroot", "killall -9 -- -uroot >/dev/null 2>&1"},
        kill_case{"-", "killall -9 -- - >/dev/null 2>&1"},
        kill_case{"--help me", "killall -9 -- '--help me' >/dev/null 2>&1"},
        kill_case{"a-b", "killall -9 a-b >/dev/null 2>&1"}));

TEST(KillCommand, LongestNameOfQuotesStillFits) {
    const std::string quotes(PATH_CAPACITY - 1, '\'');
    char command[KILL_COMMAND_CAPACITY];
    ASSERT_EQ(format_kill_command(quotes.c_str(), command), 0);
    EXPECT_EQ(strlen(command), strlen("killall -9 '' >/dev/null 2>&1") + 4 * quotes.size());
}

struct run_path_case {
    const char* argv0;
    const char* run_path;
};

class RunPath : public testing::TestWithParam<run_path_case> {};

TEST_P(RunPath, UsesTheBaseNameOfArgv0) {
    char run_path[PATH_CAPACITY];
    ASSERT_EQ(format_run_path(GetParam().argv0, run_path), 0);
    EXPECT_STREQ(run_path, GetParam().run_path);
}

INSTANTIATE_TEST_SUITE_P(Argv0, RunPath,
                         testing::Values(run_path_case{"/opt/x/watchd", "/tmp/.uci/watchd.run"},
                                         run_path_case{"watchd", "/tmp/.uci/watchd.run"},
                                         run_path_case{"./watchd", "/tmp/.uci/watchd.run"},
                                         run_path_case{"/opt/x/wd2", "/tmp/.uci/wd2.run"},
                                         // basename()'s answers for the odd ones.
                                         run_path_case{"/opt/x/wd2//", "/tmp/.uci/wd2.run"},
                                         run_path_case{"///", "/tmp/.uci//.run"},
                                         run_path_case{"", "/tmp/.uci/..run"}));

TEST(RunPath, TooLongIsRefused) {
    char run_path[PATH_CAPACITY];
    const std::string long_name(PATH_CAPACITY - 8, 'w');
    EXPECT_EQ(format_run_path(long_name.c_str(), run_path), -1);
}

TEST(UpgradePackage, OnlyTheDaemonsUserMayHaveChangedIt) {
    constexpr uid_t DAEMON = 0;
    constexpr uid_t OTHER = 1000;
    const struct {
        mode_t mode;
        uid_t owner;
        bool dir_trusted;
        bool file_trusted;
    } rows[] = {{S_IFDIR | 0755, DAEMON, true, false},   {S_IFDIR | 0700, DAEMON, true, false},
                {S_IFDIR | 0775, DAEMON, false, false},  {S_IFDIR | 0757, DAEMON, false, false},
                {S_IFDIR | 01777, DAEMON, false, false}, {S_IFDIR | 0755, OTHER, false, false},
                {S_IFLNK | 0777, DAEMON, false, false},  {S_IFREG | 0644, DAEMON, false, true},
                {S_IFREG | 0666, DAEMON, false, false},  {S_IFREG | 0602, DAEMON, false, false},
                {S_IFREG | 0644, OTHER, false, false},   {S_IFIFO | 0644, DAEMON, false, false}};
    for (const auto& row : rows) {
        struct stat info = {};
        info.st_mode = row.mode;
        info.st_uid = row.owner;
        EXPECT_EQ(trusted_entry(info, S_IFDIR, DAEMON), row.dir_trusted) << std::oct << row.mode;
        EXPECT_EQ(trusted_entry(info, S_IFREG, DAEMON), row.file_trusted) << std::oct << row.mode;
    }
}

TEST(ExtractCommand, ReadsThePackageThroughTheInheritedDescriptor) {
    char command[EXTRACT_COMMAND_CAPACITY];
    ASSERT_GE(format_extract_command(7, command), 0);
    EXPECT_STREQ(command, "./m01_load tar -zxf /proc/self/fd/7 -C /data/");
}

TEST(ExtractCommand, OnlyExitStatusZeroIsSuccess) {
    EXPECT_TRUE(command_succeeded(W_EXITCODE(0, 0)));
    EXPECT_FALSE(command_succeeded(W_EXITCODE(1, 0)));
    EXPECT_FALSE(command_succeeded(W_EXITCODE(127, 0)));
    EXPECT_FALSE(command_succeeded(W_EXITCODE(0, 9)));
    EXPECT_FALSE(command_succeeded(-1));
}

}  // namespace
