// The run file as a log: whole lines only, and bounded in size.
#include <sys/stat.h>

#include "harness.h"

namespace watchd_e2e {
namespace {

constexpr size_t RUN_FILE_LIMIT = 1024 * 1024;
constexpr size_t TIME_TEXT = 24;  // asctime without its line end, four-digit year

// A line of 99 characters (100 with its line end) numbered n.
std::string planted_line(int n) {
    char number[16];
    snprintf(number, sizeof number, "%07d", n);
    return "planted " + std::string(number) + " " + std::string(83, '.');
}

class long_program_name : public e2e_param_test<size_t> {};

TEST_P(long_program_name, gives_run_file_lines_of_at_most_255_characters_with_line_ends) {
    const std::string name = "eng" + std::string(GetParam() - 3, 'x');
    daemon_dir dir;
    dir.write_config(R"({"__watch":{"processes":[{"base":")" + name + R"("}]}})");
    dir.add_fake(name, {exit_with(0), exit_with(0), sleep_forever()});
    sandboxed_daemon d(dir);
    ASSERT_TRUE(d.ready());
    d.go();
    ASSERT_TRUE(d.wait_for_starts(3, 10s)) << d.output();

    const std::string run_file = d.run_file();
    ASSERT_EQ(run_file.back(), '\n');
    auto lines = exit_lines(run_file);
    ASSERT_EQ(lines.size(), 2u) << run_file;
    for (const std::string& line : lines) {
        const std::string full =
            line.substr(0, TIME_TEXT) + ": " + name + " exited normally with code(0)";
        // 255 characters with the line end fit; a longer text keeps its first 254.
        const std::string expected = full.size() + 1 <= 255 ? full : full.substr(0, 254);
        EXPECT_EQ(line, expected);
        EXPECT_TRUE(seconds_between(line, line).has_value()) << line;
    }
}

// 199 characters give exactly 255 with the line end; 200 and more must be cut.
INSTANTIATE_TEST_SUITE_P(e2e, long_program_name, ::testing::Values(199, 200, 250));

TEST_F(e2e_test, a_new_daemon_starts_a_fresh_run_file) {
    daemon_dir dir;
    dir.write_config(R"({"__watch":{"processes":[{"base":"eng"}]}})");
    dir.add_fake("eng", {sleep_forever()});
    sandboxed_daemon d(dir);
    ASSERT_TRUE(d.ready());
    d.plant("/tmp/.uci/watchd.run", "/old/dir\nMon Dec  7 05:42:50 2026: eng killed by signal(9)\n",
            0600);
    d.go();
    ASSERT_TRUE(d.wait_for_starts(1, 10s)) << d.output();
    EXPECT_EQ(d.run_file(), dir.path() + "\n");
    struct stat info;
    ASSERT_EQ(stat(d.inside("/tmp/.uci/watchd.run").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u) << "an existing file keeps its permission bits";
}

TEST_F(e2e_test, run_file_is_cut_back_below_1_mib_keeping_its_first_and_newest_lines) {
    daemon_dir dir;
    dir.write_config(R"({"__watch":{"processes":[{"base":"eng"}]}})");
    dir.add_fake("eng", {"until [ -e /tmp/go ]; do sleep 1; done; exit 3", sleep_forever()});
    sandboxed_daemon d(dir);
    ASSERT_TRUE(d.ready());
    d.go();
    ASSERT_TRUE(d.wait_for_starts(1, 10s)) << d.output();

    // Lines of 100 characters from outside, 1.1 MiB in all, behind the daemon's first line.
    std::string planted;
    int planted_lines = 0;
    while (planted.size() < RUN_FILE_LIMIT + RUN_FILE_LIMIT / 10)
        planted += planted_line(planted_lines++) + "\n";
    append_file(d.inside("/tmp/.uci/watchd.run"), planted);
    d.plant("/tmp/go", "");
    ASSERT_TRUE(d.wait_for_starts(2, 10s)) << d.output();

    const std::string run_file = d.run_file();
    EXPECT_LE(run_file.size(), RUN_FILE_LIMIT);
    EXPECT_GE(run_file.size(), RUN_FILE_LIMIT / 4) << "more than the oldest lines went";
    ASSERT_EQ(run_file.back(), '\n');
    auto lines = split_lines(run_file);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), dir.path());
    EXPECT_NE(lines.back().find(": eng exited normally with code(3)"), std::string::npos)
        << lines.back();
    // Between them: whole planted lines, the newest ones, in order.
    int expected_number = planted_lines - static_cast<int>(lines.size() - 2);
    for (size_t i = 1; i + 1 < lines.size(); ++i, ++expected_number)
        ASSERT_EQ(lines[i], planted_line(expected_number)) << "line " << i;
}

}  // namespace
}  // namespace watchd_e2e
