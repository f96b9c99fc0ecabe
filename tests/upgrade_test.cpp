// Installation of upgrade packages into the real data directory and the record it leaves.
#include "bootcheck/upgrade.h"

#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "sandboxed_fixture.h"
#include "test_support.h"

using namespace watchd;
using namespace watchd_test;

namespace {

constexpr const char* RECORD = "/data//.bootchk";
constexpr const char* PACKAGE = "/tmp/.uci//ttupgrade.tgz";

struct install_case {
    std::optional<std::string> record_before;
    int code;
    std::string record_after;
    const char* target;
};

class InstallUpgrade : public SandboxedDirs, public testing::WithParamInterface<install_case> {};

TEST_P(InstallUpgrade, CopiesThePackageAndAppendsToTheRecord) {
    const install_case& c = GetParam();
    if (c.record_before)
        write_file(RECORD, *c.record_before);
    const std::string package("package \x01\x02\xff bytes", 18);
    write_file(PACKAGE, package);
    install_upgrade(c.code);
    EXPECT_EQ(read_file(RECORD), c.record_after);
    EXPECT_EQ(read_file(c.target), package);
    EXPECT_FALSE(file_exists(PACKAGE));
    EXPECT_FALSE(file_exists(std::string(RECORD) + ".tmp"));
}

INSTANTIATE_TEST_SUITE_P(
    Records, InstallUpgrade,
    testing::Values(
        install_case{std::nullopt, 131, R"({"version":"3.9.08.2","luadata":1})", "/data//init.bin"},
        install_case{R"({"version":"3.9.08.2","plugindata":1})", 131,
                     R"({"version":"3.9.08.2","plugindata":1,"luadata":1})", "/data//init.bin"},
        install_case{R"({"plugindata":1})", 131,
                     R"({"plugindata":1,"version":"3.9.08.2","luadata":1})", "/data//init.bin"},
        install_case{R"({"version":"3.9.08.2","sigdata":1})", 132,
                     R"({"version":"3.9.08.2","sigdata":1,"sigdata":1})", "/data//m01_sig.bin"},
        install_case{"not json", 132, R"({"version":"3.9.08.2","sigdata":1})",
                     "/data//m01_sig.bin"},
        install_case{"", 132, R"({"version":"3.9.08.2","sigdata":1})", "/data//m01_sig.bin"},
        install_case{R"({"version":"1.0"})", 131, R"({"version":"1.0","luadata":1})",
                     "/data//init.bin"},
        install_case{R"( { "version" : 3 } )", 132,
                     R"({"version":3,"version":"3.9.08.2","sigdata":1})", "/data//m01_sig.bin"}));

class InstallUpgradeEdges : public SandboxedDirs {
  protected:
    // A stand-in for the extraction tool in the current directory, as the daemon runs it.
    void put_extraction_tool(const char* body) {
        write_file("m01_load", std::string("#!/bin/sh\n") + body + "\n");
        chmod("m01_load", 0755);
    }
};

TEST_F(InstallUpgradeEdges, NoPackageChangesNothing) {
    for (int code : {130, 131, 132}) {
        install_upgrade(code);
        EXPECT_FALSE(file_exists(RECORD));
    }
    write_file(RECORD, R"({"version":"3.9.08.2"})");
    install_upgrade(131);
    EXPECT_EQ(read_file(RECORD), R"({"version":"3.9.08.2"})");
    EXPECT_FALSE(file_exists("/data//init.bin"));
}

TEST_F(InstallUpgradeEdges, CopyOntoAnExistingTargetKeepsItsMode) {
    write_file("/data//init.bin", "older");
    chmod("/data//init.bin", 0644);
    write_file(PACKAGE, "newer");
    install_upgrade(131);
    EXPECT_EQ(read_file("/data//init.bin"), "newer");
    EXPECT_EQ(file_mode("/data//init.bin"), 0644u);
}

TEST_F(InstallUpgradeEdges, FailedCopyLeavesTheRecordAndRemovesThePackage) {
    const std::string before = R"({"version":"3.9.08.2","plugindata":1})";
    write_file(RECORD, before);
    // A directory where the signature file belongs cannot be replaced by a file.
    ASSERT_EQ(mkdir("/data//m01_sig.bin", 0755), 0);
    write_file(PACKAGE, "sig");
    testing::internal::CaptureStdout();
    install_upgrade(132);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "failed to install upgrade(132)\n");
    EXPECT_EQ(read_file(RECORD), before);
    EXPECT_FALSE(file_exists(PACKAGE));
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

TEST_F(InstallUpgradeEdges, FailedExtractionRecordsNothing) {
    scoped_temp_dir daemon_dir;
    ASSERT_EQ(chdir(daemon_dir.path().c_str()), 0);
    put_extraction_tool("exit 1");
    write_file(PACKAGE, "archive");
    testing::internal::CaptureStdout();
    install_upgrade(130);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "failed to install upgrade(130)\n");
    EXPECT_FALSE(file_exists(RECORD));
    EXPECT_FALSE(file_exists(PACKAGE));

    // A missing tool fails the same way.
    ASSERT_EQ(unlink("m01_load"), 0);
    write_file(RECORD, R"({"version":"3.9.08.2"})");
    write_file(PACKAGE, "archive");
    testing::internal::CaptureStdout();
    install_upgrade(130);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("failed to install upgrade(130)\n"),
              std::string::npos);
    EXPECT_EQ(read_file(RECORD), R"({"version":"3.9.08.2"})");
    ASSERT_EQ(chdir("/"), 0);
}

}  // namespace
