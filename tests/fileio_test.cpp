#include "files/fileio.h"
#include "files/json.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <string>

#include <gmock/gmock.h>

#include "test_support.h"

using namespace watchd;
using namespace watchd_test;
using ::testing::StartsWith;

namespace {

// What the installer does with a checked package: open a regular file, copy from it.
int copy_path(const char* src, const char* dst) {
    const unique_fd in = open_regular_file(src, O_RDONLY);
    return copy_fd_to_file(in.get(), dst);
}

// Makes every write past limit bytes fail with EFBIG while it lives.
class file_size_limit {
  public:
    explicit file_size_limit(rlim_t limit) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        old_handler_ = signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved_;
        lowered.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~file_size_limit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, old_handler_);
    }

  private:
    rlimit saved_{};
    sighandler_t old_handler_;
};

mode_t current_umask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

struct json_file_case {
    const char* content;
    bool parses;
    int type;  // cJSON type of the root when it parses
};

class CjsonFromFile : public testing::TestWithParam<json_file_case> {};

TEST_P(CjsonFromFile, ParsesTheFirstValueOrGivesNull) {
    scoped_temp_dir dir;
    const std::string path = dir.file("doc.json");
    write_file(path, GetParam().content);
    json_ptr doc = cjson_from_file(path.c_str());
    ASSERT_EQ(doc != nullptr, GetParam().parses) << GetParam().content;
    if (doc) {
        EXPECT_EQ(doc->type & 0xff, GetParam().type);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Contents, CjsonFromFile,
    testing::Values(json_file_case{"", false, 0}, json_file_case{" \n\t\r ", false, 0},
                    json_file_case{"not json", false, 0}, json_file_case{"{\"a\":", false, 0},
                    json_file_case{"{\"a\":1} trailing text", true, cJSON_Object},
                    json_file_case{"\x01\x02 {}", true, cJSON_Object},
                    json_file_case{"[1,2]", true, cJSON_Array},
                    json_file_case{"42", true, cJSON_Number}));

TEST(CjsonFromFileMissing, MissingFileDirectoryAndFifoGiveNullAtOnce) {
    scoped_temp_dir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    for (const std::string& path : {dir.file("absent"), dir.path(), dir.file("fifo")}) {
        // Nobody ever writes to the FIFO: reading it would wait for good.
        child_outcome outcome =
            run_in_child([&] { return cjson_from_file(path.c_str()) == nullptr ? 0 : 1; });
        EXPECT_TRUE(outcome.returned) << path << ": cjson_from_file hangs";
        EXPECT_EQ(outcome.exit_code, 0) << path;
    }
}

struct member_case {
    const char* document;
    const char* member;
    const char* string_value;  // null when json_member_string gives none
    int32_t int_value;
};

class JsonMembers : public testing::TestWithParam<member_case> {};

TEST_P(JsonMembers, ReadTheFirstMatchIgnoringCase) {
    const member_case& c = GetParam();
    json_ptr doc(cJSON_Parse(c.document));
    ASSERT_NE(doc, nullptr) << c.document;
    const char* text = json_member_string(doc.get(), c.member);
    if (c.string_value == nullptr) {
        EXPECT_EQ(text, nullptr) << c.document;
    } else {
        ASSERT_NE(text, nullptr) << c.document;
        EXPECT_STREQ(text, c.string_value);
    }
    EXPECT_EQ(json_member_int(doc.get(), c.member), c.int_value) << c.document;
}

INSTANTIATE_TEST_SUITE_P(Documents, JsonMembers,
                         testing::Values(member_case{R"({"version":"3.9"})", "version", "3.9", 0},
                                         member_case{R"({"VERSION":"3.9"})", "version", "3.9", 0},
                                         member_case{R"({"v":"a","v":"b"})", "v", "a", 0},
                                         member_case{R"({"v":3})", "v", nullptr, 3},
                                         member_case{R"({"v":"1"})", "v", "1", 0},
                                         member_case{R"({"v":true})", "v", nullptr, 1},
                                         member_case{R"({"v":false})", "v", nullptr, 0},
                                         member_case{R"({"v":null})", "v", nullptr, 0},
                                         member_case{R"({"v":1.9})", "v", nullptr, 1},
                                         member_case{R"({"v":-2.5})", "v", nullptr, -2},
                                         member_case{R"({"v":1e12})", "v", nullptr, INT32_MAX},
                                         member_case{R"({"v":-1e12})", "v", nullptr, INT32_MIN},
                                         member_case{R"({"v":{}})", "v", nullptr, 0},
                                         member_case{R"({"other":1})", "v", nullptr, 0},
                                         member_case{R"([1,2])", "v", nullptr, 0}));

TEST(SaveTextFile, ReplacesTheWholeFileAndLeavesNoTemporary) {
    scoped_temp_dir dir;
    const std::string path = dir.file("record");
    write_file(path, "an older and much longer content");
    ASSERT_EQ(save_text_file(path.c_str(), "{\"a\":1}", 7), 0);
    EXPECT_EQ(read_file(path), "{\"a\":1}");
    ASSERT_EQ(save_text_file(path.c_str(), "", 0), 0);
    EXPECT_EQ(read_file(path), "");
    EXPECT_FALSE(path_exists(path + ".tmp"));
}

// The two writers that replace a file, each writing "new" to target: from text, and as a
// copy of source, which holds that text. fresh: the mode of a new file, less the umask.
const struct {
    const char* name;
    int (*write)(const std::string& source, const std::string& target);
    mode_t fresh;
} WRITERS[] = {{"save_text_file",
                [](const std::string&, const std::string& target) {
                    return save_text_file(target.c_str(), "new", 3);
                },
                0666},
               {"copy_fd_to_file",
                [](const std::string& source, const std::string& target) {
                    return copy_path(source.c_str(), target.c_str());
                },
                0700}};

// The replaced file's mode: its own permission bits only, never a link target's.
TEST(ReplacedFile, KeepsOnlyThePermissionBitsOfTheFileItself) {
    const struct {
        mode_t existing;       // 0: no file there yet
        bool through_symlink;  // the target is a symbolic link to a file of that mode
        mode_t expected;       // 0: that of a new file
    } rows[] = {{0, false, 0},        {0640, false, 0640},  {04755, false, 0755},
                {02750, false, 0750}, {01777, false, 0777}, {0600, true, 0}};
    for (const auto& writer : WRITERS) {
        for (const auto& row : rows) {
            scoped_temp_dir dir;
            const std::string target = dir.file("target");
            const std::string old_file = row.through_symlink ? dir.file("pointee") : target;
            write_file(dir.file("src"), "new");
            if (row.existing != 0) {
                write_file(old_file, "old");
                chmod(old_file.c_str(), row.existing);
            }
            if (row.through_symlink) {
                ASSERT_EQ(symlink(old_file.c_str(), target.c_str()), 0);
            }
            ASSERT_EQ(writer.write(dir.file("src"), target), 0) << writer.name;
            EXPECT_EQ(read_file(target), "new") << writer.name;
            EXPECT_EQ(file_mode(target),
                      row.expected != 0 ? row.expected : writer.fresh & ~current_umask())
                << writer.name << " over " << std::oct << row.existing;
            if (row.through_symlink) {
                EXPECT_EQ(read_file(old_file), "old") << writer.name;
                EXPECT_EQ(file_mode(old_file), row.existing) << writer.name;
            }
        }
    }
}

// A write cut short (here by the file size limit, after a partial write) fails and leaves
// the old file and no temporary.
TEST(ReplacedFile, FailedWriteKeepsTheOldContent) {
    for (const auto& writer : WRITERS) {
        scoped_temp_dir dir;
        write_file(dir.file("src"), "new");
        write_file(dir.file("dst"), "old");
        {
            file_size_limit limit(2);
            EXPECT_EQ(writer.write(dir.file("src"), dir.file("dst")), -1) << writer.name;
        }
        EXPECT_EQ(read_file(dir.file("dst")), "old") << writer.name;
        EXPECT_FALSE(path_exists(dir.file("dst.tmp"))) << writer.name;
    }
}

TEST(SaveTextFile, MissingDirectoryFails) {
    scoped_temp_dir dir;
    EXPECT_EQ(save_text_file(dir.file("no/such/file").c_str(), "x", 1), -1);
}

// A directory deeper than PATH_MAX: dir/d/d/.../d, each level with a file and a symbolic
// link to the outside directory in it.
int make_deep_directory(const std::string& dir, const std::string& outside) {
    if (mkdir(dir.c_str(), 0755) != 0)
        return -1;
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; fd >= 0 && level < PATH_MAX / 2 + 8; ++level) {
        const int made = mkdirat(fd, "d", 0700) | symlinkat(outside.c_str(), fd, "link");
        const int file = openat(fd, "f", O_WRONLY | O_CREAT, 0600);
        const int next = made == 0 && file >= 0 ? openat(fd, "d", O_RDONLY | O_DIRECTORY) : -1;
        close(file);
        close(fd);
        fd = next;
    }
    return fd >= 0 && close(fd) == 0 ? 0 : -1;
}

// Whatever a cut write or anything else left at the temporary name, the next write replaces
// it, never following a link into the outside directory.
TEST(SaveTextFile, LeftoverOfAnyTypeAtTheTemporaryNameGoes) {
    const struct {
        const char* kind;
        int (*make)(const std::string& temp, const std::string& outside);
    } rows[] = {
        {"half_written_file",
         [](const std::string& temp, const std::string&) {
             write_file(temp, "half-written");
             return 0;
         }},
        {"symlink",
         [](const std::string& temp, const std::string& outside) {
             return symlink(outside.c_str(), temp.c_str());
         }},
        {"fifo",
         [](const std::string& temp, const std::string&) { return mkfifo(temp.c_str(), 0644); }},
        {"empty_directory",
         [](const std::string& temp, const std::string&) { return mkdir(temp.c_str(), 0755); }},
        {"directory_deeper_than_path_max", make_deep_directory},
    };
    for (const auto& row : rows) {
        scoped_temp_dir dir;
        const std::string path = dir.file("record");
        ASSERT_EQ(mkdir(dir.file("outside").c_str(), 0755), 0);
        write_file(dir.file("outside/file"), "not mine");
        ASSERT_EQ(row.make(path + ".tmp", dir.file("outside")), 0) << row.kind;
        ASSERT_EQ(save_text_file(path.c_str(), "whole", 5), 0) << row.kind;
        EXPECT_EQ(read_file(path), "whole") << row.kind;
        EXPECT_FALSE(path_exists(path + ".tmp")) << row.kind;
        EXPECT_EQ(read_file(dir.file("outside/file")), "not mine") << row.kind;
    }
}

TEST(CopyFdToFile, CopiesEveryByte) {
    scoped_temp_dir dir;
    std::string content;
    for (int i = 0; i < 5000; ++i)
        content.push_back(static_cast<char>(i * 7));
    write_file(dir.file("src"), content);
    ASSERT_EQ(copy_path(dir.file("src").c_str(), dir.file("dst").c_str()), 0);
    EXPECT_EQ(read_file(dir.file("dst")), content);
}

TEST(CopyFdToFile, EmptySourceEmptiesAnExistingDestinationAndKeepsItsMode) {
    scoped_temp_dir dir;
    write_file(dir.file("src"), "");
    write_file(dir.file("dst"), "old content");
    chmod(dir.file("dst").c_str(), 0644);
    ASSERT_EQ(copy_path(dir.file("src").c_str(), dir.file("dst").c_str()), 0);
    EXPECT_EQ(read_file(dir.file("dst")), "");
    EXPECT_EQ(file_mode(dir.file("dst")), 0644u);
}

TEST(CopyFdToFile, SourceThatIsNoRegularFileIsRefusedAndDestinationLeftAlone) {
    scoped_temp_dir dir;
    ASSERT_EQ(mkdir(dir.file("directory").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    write_file(dir.file("dst"), "keep me");
    for (const char* source : {"absent", "directory", "fifo"}) {
        child_outcome outcome = run_in_child([&] {
            return copy_path(dir.file(source).c_str(), dir.file("dst").c_str()) == -1 ? 0 : 1;
        });
        ASSERT_TRUE(outcome.returned) << source << ": copy_file_fd hangs";
        EXPECT_EQ(outcome.exit_code, 0) << source;
        EXPECT_EQ(outcome.output, "Failed to read or write, in, -1, out, -1\n") << source;
        EXPECT_EQ(read_file(dir.file("dst")), "keep me") << source;
        EXPECT_FALSE(path_exists(dir.file("dst.tmp"))) << source;
    }
}

TEST(CopyFdToFile, UnwritableDestinationReportsTheOpenSource) {
    scoped_temp_dir dir;
    write_file(dir.file("src"), "data");
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_path(dir.file("src").c_str(), dir.file("no/dir/dst").c_str()), -1);
    std::string message = testing::internal::GetCapturedStdout();
    EXPECT_THAT(message, StartsWith("Failed to read or write, in, "));
    EXPECT_NE(message.find(", out, -1\n"), std::string::npos) << message;
    EXPECT_EQ(message.find("in, -1,"), std::string::npos) << message;
}

}  // namespace
