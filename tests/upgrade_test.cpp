// Installation details on the real data directory that the end-to-end suite does not see:
// the mode of a replaced file, a record that the archive itself brings, packages that are not
// taken, and records that are no object, cannot be read or cannot be written.
#include "bootcheck/upgrade.h"

#include <linux/capability.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "sandboxed_dirs.h"
#include "test_support.h"

using namespace watchd;
using namespace watchd_test;

namespace {

constexpr const char* RECORD = "/data//.bootchk";
constexpr const char* PACKAGE = "/tmp/.uci//ttupgrade.tgz";

class InstallUpgradeEdges : public SandboxedDirs {
  protected:
    // A stand-in for the extraction tool in a directory of its own, made the current one as
    // the daemon runs it.
    void put_extraction_tool(const char* body) {
        daemon_dir_.emplace();
        ASSERT_EQ(chdir(daemon_dir_->path().c_str()), 0);
        write_file("m01_load", std::string("#!/bin/sh\n") + body + "\n");
        chmod("m01_load", 0755);
    }
    void TearDown() override { EXPECT_EQ(chdir("/"), 0); }

  private:
    std::optional<scoped_temp_dir> daemon_dir_;  // made after SetUp has emptied /tmp
};

TEST_F(InstallUpgradeEdges, CopyOntoAnExistingTargetKeepsItsMode) {
    write_file("/data//init.bin", "older");
    chmod("/data//init.bin", 0644);
    write_file(PACKAGE, "newer");
    install_upgrade(131);
    EXPECT_EQ(read_file("/data//init.bin"), "newer");
    EXPECT_EQ(file_mode("/data//init.bin"), 0644u);
}

TEST_F(InstallUpgradeEdges, ExtractionRunsTheToolAndRecordsThePlugin) {
    // The archive brings a record of its own; the daemon's record replaces it.
    put_extraction_tool(
        "cat \"$3\" > got; touch /data/extracted; "
        "echo '{\"planted\":1}' > /data/.bootchk");
    write_file(PACKAGE, "archive");
    install_upgrade(130);
    // The tool reads the checked package through the descriptor it inherited, named as its
    // third argument.
    EXPECT_EQ(read_file("got"), "archive");
    EXPECT_TRUE(path_exists("/data/extracted"));
    EXPECT_EQ(read_file(RECORD), R"({"version":"3.9.08.2","plugindata":1})");
    EXPECT_FALSE(path_exists(PACKAGE));
}

TEST_F(InstallUpgradeEdges, FailedExtractionTakesBackARecordTheArchiveBrought) {
    put_extraction_tool("echo '{\"version\":\"9\",\"plugindata\":1}' > /data/.bootchk; exit 1");
    const struct {
        const char* before;  // null: no record
    } rows[] = {{nullptr}, {"not json at all"}, {R"({"version":"3.9.08.2"})"}};
    for (const auto& row : rows) {
        if (row.before != nullptr)
            write_file(RECORD, row.before);
        write_file(PACKAGE, "archive");
        testing::internal::CaptureStdout();
        install_upgrade(130);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "failed to install upgrade(130)\n");
        if (row.before == nullptr) {
            EXPECT_FALSE(path_exists(RECORD));
        } else {
            EXPECT_EQ(read_file(RECORD), row.before);
        }
        unlink(RECORD);
    }
}

TEST_F(InstallUpgradeEdges, RecordThatIsNoObjectIsReplaced) {
    for (const char* before : {"[1]", "5", R"("text")"}) {
        write_file(RECORD, before);
        write_file(PACKAGE, "lua");
        install_upgrade(131);
        EXPECT_EQ(read_file(RECORD), R"({"version":"3.9.08.2","luadata":1})") << before;
    }
}

// Only a regular file of the daemon's user, in a runtime directory that nobody else may
// change, is installed; anything else is refused and left where it is.
TEST_F(InstallUpgradeEdges, OnlyATrustedPackageIsTaken) {
    constexpr uid_t OTHER_USER = 1000;
    put_extraction_tool("touch /data/extracted");
    write_file("/data/elsewhere", "bytes from elsewhere");
    // Each row spoils a regular package of the daemon's user.
    const struct {
        const char* kind;
        int (*make)();
    } rows[] = {
        // A FIFO would block the daemon in open() for good.
        {"fifo", [] { return unlink(PACKAGE) | mkfifo(PACKAGE, 0644); }},
        {"symlink", [] { return unlink(PACKAGE) | symlink("/data/elsewhere", PACKAGE); }},
        {"directory", [] { return unlink(PACKAGE) | mkdir(PACKAGE, 0755); }},
        {"package_of_another_user", [] { return chown(PACKAGE, OTHER_USER, OTHER_USER); }},
        {"package_writable_by_group", [] { return chmod(PACKAGE, 0620); }},
        {"runtime_dir_of_another_user", [] { return chown("/tmp/.uci", OTHER_USER, OTHER_USER); }},
        {"runtime_dir_writable_by_group", [] { return chmod("/tmp/.uci", 0775); }},
        {"runtime_dir_is_a_symlink",
         [] {
             return rename("/tmp/.uci", "/tmp/elsewhere") | symlink("/tmp/elsewhere", "/tmp/.uci");
         }},
    };
    for (const auto& row : rows) {
        write_file(PACKAGE, "package");
        ASSERT_EQ(row.make(), 0) << row.kind;
        testing::internal::CaptureStdout();
        for (int code : {130, 131, 132})
            install_upgrade(code);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "failed to install upgrade(130)\nfailed to install upgrade(131)\n"
                  "failed to install upgrade(132)\n")
            << row.kind;
        EXPECT_FALSE(path_exists(RECORD)) << row.kind;
        EXPECT_FALSE(path_exists("/data/extracted")) << row.kind;
        EXPECT_FALSE(path_exists("/data//init.bin")) << row.kind;
        EXPECT_FALSE(path_exists("/data//m01_sig.bin")) << row.kind;
        EXPECT_TRUE(path_exists(PACKAGE)) << row.kind;
        empty_directory("/tmp");
        ASSERT_EQ(mkdir("/tmp/.uci", 0755), 0);
    }
}

// Without the capabilities that let root read any file: a record of mode 0 cannot be read.
int drop_file_capabilities() {
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return -1;
    for (auto& set : data)
        set.effective = 0;
    return static_cast<int>(syscall(SYS_capset, &header, data));
}

// A record that cannot be read keeps its members (nothing is installed); one that cannot be
// written is reported by its path.
TEST_F(InstallUpgradeEdges, RecordThatCannotBeReadOrWritten) {
    const std::string kept = R"({"version":"3.9.08.2","plugindata":1})";
    const struct {
        const char* kind;
        int (*make)();
        const char* output;
        bool installed;
    } rows[] = {
        {"unreadable", [] { return chmod(RECORD, 0) | drop_file_capabilities(); },
         "failed to install upgrade(131)\n", false},
        {"unwritable", [] { return unlink(RECORD) | mkdir(RECORD, 0755); },
         "failed to save /data//.bootchk\n", true},
    };
    for (const auto& row : rows) {
        write_file(RECORD, kept);
        write_file(PACKAGE, "lua");
        child_outcome outcome = run_in_child([&] {
            if (row.make() != 0)
                return 2;
            install_upgrade(131);
            return 0;
        });
        ASSERT_TRUE(outcome.returned && outcome.exit_code == 0) << row.kind;
        EXPECT_EQ(outcome.output, row.output) << row.kind;
        EXPECT_EQ(path_exists("/data//init.bin"), row.installed) << row.kind;
        if (!row.installed) {
            EXPECT_EQ(read_file(RECORD), kept) << row.kind;
        }
        EXPECT_FALSE(path_exists(PACKAGE)) << row.kind;
        empty_directory("/data");
    }
}

}  // namespace
