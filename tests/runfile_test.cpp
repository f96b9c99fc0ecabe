#include "files/runfile.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <gmock/gmock.h>

#include "base/resources.h"
#include "test_support.h"

using namespace watchd;
using namespace watchd_test;
using ::testing::EndsWith;
using ::testing::StartsWith;

namespace {

constexpr const char* TIME_TEXT = "Mon Dec  7 05:42:50 2026";

struct exit_line_case {
    size_t name_length;
    int32_t code;
    int32_t exited_normally;
    const char* expected_tail;  // what the line ends with
    size_t expected_length;
};

class ExitLine : public testing::TestWithParam<exit_line_case> {};

TEST_P(ExitLine, IsWholeAndEndsWithALineEnd) {
    const exit_line_case& c = GetParam();
    const std::string name(c.name_length, 'n');
    char line[EXIT_LINE_CAPACITY];
    size_t len = format_exit_line(line, TIME_TEXT, name.c_str(), c.code, c.exited_normally);
    const std::string text(line, len);
    EXPECT_EQ(len, c.expected_length);
    EXPECT_THAT(text, StartsWith(std::string(TIME_TEXT) + ": nnn"));
    ASSERT_GE(text.size(), strlen(c.expected_tail));
    EXPECT_THAT(text, EndsWith(c.expected_tail));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ExitLine,
    testing::Values(exit_line_case{6, 3, 1, "n exited normally with code(3)\n", 24 + 2 + 6 + 30},
                    exit_line_case{6, 9, 0, "n killed by signal(9)\n", 24 + 2 + 6 + 21},
                    exit_line_case{6, 9, 2, "n killed by signal(9)\n", 24 + 2 + 6 + 21},
                    exit_line_case{6, 9, -1, "n killed by signal(9)\n", 24 + 2 + 6 + 21},
                    exit_line_case{6, -5, 1, "n exited normally with code(-5)\n", 24 + 2 + 6 + 31},
                    // 199 characters of name still fit whole: exactly 255 characters.
                    exit_line_case{199, 3, 1, "n exited normally with code(3)\n", 255},
                    // Longer lines are cut to 254 characters and keep their line end.
                    exit_line_case{200, 3, 1, "nnnnnnnnnn exited normally with code(3\n", 255},
                    exit_line_case{209, 11, 0, "nnnnnnnnnn killed by signal(1\n", 255},
                    exit_line_case{4000, 11, 0, "nnnnnnnnnn\n", 255}));

// Sets TZ while it lives and restores the earlier setting.
class scoped_time_zone {
  public:
    explicit scoped_time_zone(const char* zone) {
        const char* earlier = getenv("TZ");
        had_ = earlier != nullptr;
        if (had_)
            earlier_ = earlier;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~scoped_time_zone() {
        if (had_) {
            setenv("TZ", earlier_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    scoped_time_zone(const scoped_time_zone&) = delete;
    scoped_time_zone& operator=(const scoped_time_zone&) = delete;

  private:
    bool had_ = false;
    std::string earlier_;
};

TEST(TimeText, IsTheAsctimeTextWithoutItsLineEnd) {
    scoped_time_zone utc("UTC");
    char text[TIME_TEXT_CAPACITY];
    format_time_text(1796622170, text);  // 2026-12-07 05:42:50 UTC
    EXPECT_STREQ(text, TIME_TEXT);
    if (sizeof(time_t) < 8)
        return;
    format_time_text(static_cast<time_t>(253402300800LL), text);  // 10000-01-01 00:00:00
    EXPECT_STREQ(text, "?");
    format_time_text(static_cast<time_t>(253402300799LL), text);  // the last second of 9999
    EXPECT_STREQ(text, "Fri Dec 31 23:59:59 9999");
}

class RunLock : public testing::Test {
  protected:
    scoped_temp_dir dir;
    std::string path = dir.file("watchd.run");
};

TEST_F(RunLock, CreatesLocksEmptiesAndWritesTheData) {
    write_file(path, "old content of an earlier daemon\nline\n");
    mode_t old_mask = umask(022);
    unique_fd fd(acquire_run_lock(path.c_str(), "/opt/x", 6));
    umask(old_mask);
    ASSERT_TRUE(fd.valid());
    EXPECT_EQ(read_file(path), "/opt/x");
    EXPECT_TRUE(fcntl(fd.get(), F_GETFD) & FD_CLOEXEC);

    const std::string fresh = dir.file("fresh.run");
    old_mask = umask(022);
    unique_fd fresh_fd(acquire_run_lock(fresh.c_str(), "x", 0));
    umask(old_mask);
    ASSERT_TRUE(fresh_fd.valid());
    EXPECT_EQ(file_mode(fresh), 0644u);
    EXPECT_EQ(read_file(fresh), "");
}

TEST_F(RunLock, FifoIsRefusedAtOnce) {
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    child_outcome outcome = run_in_child([&] {
        unique_fd fd(acquire_run_lock(path.c_str(), "/x", 2));
        return fd.valid() ? 1 : 0;
    });
    ASSERT_TRUE(outcome.returned) << "acquire_run_lock hangs on a FIFO";
    EXPECT_EQ(outcome.exit_code, 0) << "a FIFO was taken for the run file";
    EXPECT_EQ(outcome.output, "failed to open " + path + "\n");
}

TEST_F(RunLock, NullPathIsRefused) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(acquire_run_lock(nullptr, "x", 1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "NULL file name\n");
}

TEST_F(RunLock, ExitLinesFollowOneAnotherAndNoFileMeansNoLine) {
    unique_fd fd(acquire_run_lock(path.c_str(), "/opt/x\n", 7));
    ASSERT_TRUE(fd.valid());
    log_child_exit(3, 1, "engine", fd.get());
    log_child_exit(9, 0, "engine", fd.get());
    log_child_exit(1, 1, "engine", 0);
    log_child_exit(1, 1, "engine", -1);
    const std::string content = read_file(path);
    ASSERT_THAT(content, StartsWith("/opt/x\n"));
    const size_t first = content.find('\n') + 1;
    const size_t second = content.find('\n', first) + 1;
    EXPECT_NE(content.find(": engine exited normally with code(3)\n"), std::string::npos);
    EXPECT_EQ(content.substr(second).find(": engine killed by signal(9)\n"), 24u) << content;
    EXPECT_EQ(content.find('\n', second), content.size() - 1) << content;
}

}  // namespace
