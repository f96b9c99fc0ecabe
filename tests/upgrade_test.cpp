// Installation details on the real data directory that the end-to-end suite does not see:
// the mode of a replaced file, a record that the archive itself brings, odd files at the
// package path, and a record that is JSON but no object.
#include "bootcheck/upgrade.h"

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "sandboxed_fixture.h"
#include "test_support.h"

using namespace watchd;
using namespace watchd_test;

namespace {

constexpr const char* RECORD = "/data//.bootchk";
constexpr const char* PACKAGE = "/tmp/.uci//ttupgrade.tgz";

class InstallUpgradeEdges : public SandboxedDirs {
  protected:
    // A stand-in for the extraction tool in the current directory, as the daemon runs it.
    void put_extraction_tool(const char* body) {
        write_file("m01_load", std::string("#!/bin/sh\n") + body + "\n");
        chmod("m01_load", 0755);
    }
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
    scoped_temp_dir daemon_dir;
    ASSERT_EQ(chdir(daemon_dir.path().c_str()), 0);
    // The archive brings a record of its own; the daemon's record replaces it.
    put_extraction_tool(
        "echo \"$@\" > args; touch /data/extracted; echo '{\"planted\":1}' > /data/.bootchk");
    write_file(PACKAGE, "archive");
    install_upgrade(130);
    EXPECT_EQ(read_file("args"), "tar -zxf /tmp/.uci//ttupgrade.tgz -C /data/\n");
    EXPECT_TRUE(file_exists("/data/extracted"));
    EXPECT_EQ(read_file(RECORD), R"({"version":"3.9.08.2","plugindata":1})");
    EXPECT_FALSE(file_exists(PACKAGE));
    ASSERT_EQ(chdir("/"), 0);
}

TEST_F(InstallUpgradeEdges, FailedExtractionTakesBackARecordTheArchiveBrought) {
    scoped_temp_dir daemon_dir;
    ASSERT_EQ(chdir(daemon_dir.path().c_str()), 0);
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
            EXPECT_FALSE(file_exists(RECORD));
        } else {
            EXPECT_EQ(read_file(RECORD), row.before);
        }
        unlink(RECORD);
    }
    ASSERT_EQ(chdir("/"), 0);
}

TEST_F(InstallUpgradeEdges, RecordThatIsNoObjectIsReplaced) {
    for (const char* before : {"[1]", "5", R"("text")"}) {
        write_file(RECORD, before);
        write_file(PACKAGE, "lua");
        install_upgrade(131);
        EXPECT_EQ(read_file(RECORD), R"({"version":"3.9.08.2","luadata":1})") << before;
    }
}

TEST_F(InstallUpgradeEdges, OnlyARegularFileIsTakenAsPackage) {
    write_file("/data/elsewhere", "bytes from elsewhere");
    const struct {
        const char* kind;
        int (*make)();
    } rows[] = {
        // A FIFO would block the daemon in open() for good.
        {"fifo", [] { return mkfifo(PACKAGE, 0644); }},
        {"symlink", [] { return symlink("/data/elsewhere", PACKAGE); }},
        {"directory", [] { return mkdir(PACKAGE, 0755); }},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(row.make(), 0) << row.kind;
        for (int code : {130, 131, 132})
            install_upgrade(code);
        EXPECT_FALSE(file_exists(RECORD)) << row.kind;
        EXPECT_FALSE(file_exists("/data//init.bin")) << row.kind;
        EXPECT_FALSE(file_exists("/data//m01_sig.bin")) << row.kind;
        EXPECT_TRUE(file_exists(PACKAGE)) << row.kind;
        ASSERT_EQ(remove(PACKAGE), 0);
    }
}

}  // namespace
