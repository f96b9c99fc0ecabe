// Installation details on the real data directory that the end-to-end suite does not see:
// the mode of a replaced file, and a record that the archive itself brings.
#include "bootcheck/upgrade.h"

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

}  // namespace
