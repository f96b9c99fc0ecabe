// The run file as a log: whole lines only, and bounded in size.
#include <sys/stat.h>

#include "harness.h"

namespace watchd_e2e {
namespace {

constexpr size_t RUN_FILE_LIMIT = 1024 * 1024;
constexpr size_t PLANTED_LINE = 100;  // with its line end

// A line of 99 characters (100 with its line end) numbered n.
std::string planted_line(int n) {
    char number[16];
    snprintf(number, sizeof number, "%07d", n);
    return "planted " + std::string(number) + " " + std::string(83, '.');
}

TEST_F(e2e_test, a_new_daemon_starts_a_fresh_run_file) {
    sandboxed_daemon& d = start(
        R"({"__watch":{"processes":[{"base":"eng"}]}})", {{"eng", {sleep_forever()}}}, {},
        [&](const sandboxed_daemon& sandbox) {
            sandbox.plant("/tmp/.uci/watchd.run",
                          "/old/dir\nMon Dec  7 05:42:50 2026: eng killed by signal(9)\n", 0600);
        });
    ASSERT_TRUE(d.wait_for_starts(1, 10s)) << d.output();
    EXPECT_EQ(d.run_file(), dir.path() + "\n");
    struct stat info;
    ASSERT_EQ(stat(d.inside("/tmp/.uci/watchd.run").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u) << "an existing file keeps its permission bits";
}

struct cut_case {
    const char* label;
    std::string faults;  // calls of the daemon that fail during the first cut
};

void PrintTo(const cut_case& c, std::ostream* os) {
    *os << c.label;
}

class run_file_cut : public e2e_param_test<cut_case> {};

TEST_P(run_file_cut, keeps_the_first_and_newest_lines_or_the_whole_file_when_it_fails) {
    launch_options options;
    options.preload = {WATCHD_E2E_INJECTED_FAULTS};
    options.environment = {"WATCHD_E2E_FAULTS=" + GetParam().faults};
    sandboxed_daemon& d =
        start(R"({"__watch":{"processes":[{"base":"eng"}]}})",
              {{"eng",
                {"until [ -e /tmp/go ]; do sleep 1; done; exit 3",
                 "until [ -e /tmp/go2 ]; do sleep 1; done; exit 4", sleep_forever()}}},
              options);
    ASSERT_TRUE(d.wait_for_starts(1, 10s)) << d.output();
    struct stat before;
    ASSERT_EQ(stat(d.inside("/tmp/.uci/watchd.run").c_str(), &before), 0);

    // Lines of 100 characters from outside, 1.1 MiB in all, behind the daemon's first line.
    std::string planted;
    int planted_lines = 0;
    while (planted.size() < RUN_FILE_LIMIT + RUN_FILE_LIMIT / 10)
        planted += planted_line(planted_lines++) + "\n";
    append_file(d.inside("/tmp/.uci/watchd.run"), planted);
    d.plant("/tmp/go", "");
    ASSERT_TRUE(d.wait_for_starts(2, 10s)) << d.output();

    const std::string run_file = d.run_file();
    ASSERT_EQ(run_file.back(), '\n');
    auto lines = split_lines(run_file);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), dir.path());
    EXPECT_NE(lines.back().find(": eng exited normally with code(3)"), std::string::npos)
        << lines.back();
    const size_t new_line = lines.back().size() + 1;
    if (!GetParam().faults.empty()) {
        // A failed cut leaves every line, the new one behind them.
        EXPECT_TRUE(run_file.substr(0, run_file.size() - new_line) == dir.path() + "\n" + planted)
            << "size " << run_file.size() << ", second line: " << lines[1];
    } else {
        // Half of the bound, less at most one planted line that did not fit whole, then the
        // new line.
        EXPECT_LE(run_file.size(), RUN_FILE_LIMIT / 2 + new_line);
        EXPECT_GT(run_file.size(), RUN_FILE_LIMIT / 2 - PLANTED_LINE + new_line);
        // Between them: whole planted lines, the newest ones, in order.
        int expected_number = planted_lines - static_cast<int>(lines.size() - 2);
        for (size_t i = 1; i + 1 < lines.size(); ++i, ++expected_number)
            ASSERT_EQ(lines[i], planted_line(expected_number)) << "line " << i;
    }

    // Cut in place through the locked descriptor: the same file, still locked.
    struct stat after;
    ASSERT_EQ(stat(d.inside("/tmp/.uci/watchd.run").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    command_result refused = d.run_inside({dir.file("watchd")});
    EXPECT_EQ(refused.output(), "already in use for /tmp/.uci/watchd.run\nprocess(" +
                                    dir.file("watchd") + ") already run\n");
    EXPECT_EQ(d.run_file(), run_file);

    // Whatever the first cut did, the next end leaves the file bounded.
    d.plant("/tmp/go2", "");
    ASSERT_TRUE(d.wait_for_starts(3, 10s)) << d.output();
    const std::string bounded = d.run_file();
    EXPECT_LE(bounded.size(), RUN_FILE_LIMIT / 2 + 2 * new_line);
    EXPECT_NE(split_lines(bounded).back().find(": eng exited normally with code(4)"),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(e2e, run_file_cut,
                         ::testing::Values(cut_case{"no_fault", ""},
                                           cut_case{"write_fails", "pwrite:5"},
                                           cut_case{"read_fails", "pread:10"}));

}  // namespace
}  // namespace watchd_e2e
