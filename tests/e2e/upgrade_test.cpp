// Upgrade packages: exit codes 130, 131 and 132 with and without a waiting package, the
// boot-check record they leave behind, and failed installations.
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "harness.h"

namespace watchd_e2e {
namespace {

namespace fs = std::filesystem;

constexpr const char* PLUGIN_OPTIONS = " -T /tmp/.uci/ -D /data/ -O brelvant_odm";
constexpr const char* PACKAGE_INSIDE = "/tmp/.uci/ttupgrade.tgz";
// Stand-ins for the extraction tool: both log how they were called.
const std::string LOG_CALL = "echo \"$0 $*\" >> m01_load.log\n";
const std::string TAR_EXTRACTOR = "#!/bin/sh\n" + LOG_CALL +
                                  "[ \"$1 $2 $4\" = 'tar -zxf -C' ] || exit 2\n"
                                  "exec tar -zxf \"$3\" -C \"$5\"\n";
const std::string FAILING_EXTRACTOR = "#!/bin/sh\n" + LOG_CALL + "exit 1\n";
constexpr const char* REAL_EXTRACTOR = "real";  // the built m01_load

enum class package { none, archive, bytes };

struct install_case {
    const char* label;
    std::optional<std::string> record;  // before the run; nothing: no record file
    std::vector<int> codes;             // the exit codes of the first runs, in order
    package kind;
    std::string extractor;  // ./m01_load's script, REAL_EXTRACTOR, or none
    std::string blocker;    // a directory planted where a file must go
    std::optional<std::string> expected_record;
    std::string expected_output;
    std::string installed;     // where the last package's bytes must be, or nothing to check
    std::string last_command;  // command line of the start after the last installation
};

void PrintTo(const install_case& c, std::ostream* os) {
    *os << c.label;
}

// Distinct bytes for each package, zero bytes and high bytes included.
std::string package_bytes(size_t i) {
    std::string bytes = "package " + std::to_string(i) + "\n";
    bytes += std::string("\0\x01\xfe\xff", 4);
    return bytes;
}

class installation : public e2e_param_test<install_case> {
  protected:
    // A plug-in archive that brings its own engine (sleeping) and a data file.
    void make_archive(const daemon_dir& dir, const std::string& name) {
        const std::string stage = dir.file("stage-" + name);
        ASSERT_EQ(mkdir(stage.c_str(), 0755), 0);
        write_file(stage + "/eng", dir.fake_script("data-eng", {sleep_forever()}), 0755);
        write_file(stage + "/plugin.txt", "plug-in data\n");
        const std::string command = "tar -czf " + shell_quote(dir.file(name)) + " -C " +
                                    shell_quote(stage) + " eng plugin.txt";
        ASSERT_EQ(system(command.c_str()), 0);
    }
};

TEST_P(installation, leaves_the_expected_record_and_files) {
    const install_case& c = GetParam();
    dir.write_config(ONE_ENGINE);
    std::vector<std::string> steps;
    for (size_t i = 0; i < c.codes.size(); ++i) {
        const std::string name = "pkg" + std::to_string(i);
        if (c.kind == package::archive) {
            ASSERT_NO_FATAL_FAILURE(make_archive(dir, name));
        }
        if (c.kind == package::bytes)
            write_file(dir.file(name), package_bytes(i));
        steps.push_back(c.kind == package::none ? exit_with(c.codes[i])
                                                : leave_package_and_exit(name, c.codes[i]));
    }
    steps.push_back(sleep_forever());
    dir.add_fake("eng", steps);
    if (c.extractor == REAL_EXTRACTOR) {
#ifdef WATCHD_E2E_M01_LOAD
        write_file(dir.file("m01_load"), read_file(WATCHD_E2E_M01_LOAD), 0755);
#else
        GTEST_SKIP() << "m01_load is not built";
#endif
    } else if (!c.extractor.empty()) {
        write_file(dir.file("m01_load"), c.extractor, 0755);
    }

    sandboxed_daemon d(dir);
    ASSERT_TRUE(d.ready());
    if (c.record)
        d.plant("/data/.bootchk", *c.record);
    if (!c.blocker.empty()) {
        ASSERT_EQ(mkdir(d.inside(c.blocker).c_str(), 0755), 0);
    }
    // Where the record selects plugin mode, the engine is found in /data/ (an archive brings
    // its own).
    if (c.kind != package::archive)
        d.plant_fake("/data/eng", "data-eng", {sleep_forever()});
    d.go();
    // The last start is forked after the installation, the record and every message.
    ASSERT_TRUE(d.wait_for_starts(c.codes.size() + 1, 10s)) << d.output();

    const std::string record_path = d.inside("/data/.bootchk");
    if (c.expected_record) {
        ASSERT_TRUE(path_exists(record_path));
        EXPECT_EQ(read_file(record_path), *c.expected_record);
    } else {
        EXPECT_FALSE(path_exists(record_path)) << read_file(record_path);
    }
    EXPECT_EQ(d.output(), c.expected_output);
    EXPECT_FALSE(path_exists(d.inside(PACKAGE_INSIDE))) << "the package is always removed";
    if (!c.installed.empty()) {
        EXPECT_EQ(read_file(d.inside(c.installed)), package_bytes(c.codes.size() - 1));
    }
    if (c.kind == package::archive &&
        (c.extractor == TAR_EXTRACTOR || c.extractor == REAL_EXTRACTOR)) {
        EXPECT_EQ(read_file(d.inside("/data/plugin.txt")), "plug-in data\n");
    }
    if (c.kind == package::archive &&
        (c.extractor == TAR_EXTRACTOR || c.extractor == FAILING_EXTRACTOR)) {
        // The command's text is the launcher's unit row; here, one run per plug-in package.
        const std::string calls = read_file(dir.file("m01_load.log"));
        EXPECT_EQ(split_lines(calls).size(),
                  static_cast<size_t>(std::count(c.codes.begin(), c.codes.end(), 130)))
            << calls;
    }
    EXPECT_EQ(dir.starts().back().command, c.last_command);
    if (!c.blocker.empty()) {
        // A failed replacement leaves no temporary file behind, nor anything in the way.
        std::vector<std::string> expected = {"eng", fs::path(c.blocker).filename().string()};
        if (c.expected_record)
            expected.push_back(".bootchk");
        EXPECT_THAT(dir_entries(d.inside("/data")), UnorderedElementsAreArray(expected));
        EXPECT_TRUE(dir_entries(d.inside(c.blocker)).empty());
    }
}

TEST_F(e2e_test, extraction_tool_output_comes_between_the_daemons_messages) {
    write_file(dir.file("pkg"), package_bytes(0));
    write_file(dir.file("m01_load"), "#!/bin/sh\necho 'm01_load: not an archive'\nexit 1\n", 0755);
    // A restart message first, so that one held back in a buffer would come out of order.
    sandboxed_daemon& d = start(
        ONE_ENGINE, {{"eng", {exit_with(0), leave_package_and_exit("pkg", 130), sleep_forever()}}});
    ASSERT_TRUE(d.wait_for_starts(3, 10s)) << d.output();

    EXPECT_EQ(d.output(),
              "Will restart normal prog after 10 secs\n"
              "m01_load: not an archive\n"
              "failed to install upgrade(130)\n");
    EXPECT_EQ(dir.starts().back().command, "eng -r 130");
}

#ifdef WATCHD_E2E_M01_LOAD
// The tool cut at its second rename into place before the daemon starts (a power cut): the
// daemon rolls the old plug-in back before it starts it from /data/.
TEST_F(e2e_test, half_moved_plugin_is_rolled_back_before_the_engine_starts_from_data) {
    const std::string stage = dir.file("stage");
    ASSERT_EQ(mkdir(stage.c_str(), 0755), 0);
    write_file(stage + "/eng", "new\n", 0755);
    write_file(stage + "/conf", "new\n");
    dir.write_config(ONE_ENGINE);
    sandboxed_daemon d(dir);
    ASSERT_TRUE(d.ready());
    d.plant("/data/.bootchk", PLUGIN_RECORD);
    d.plant("/data/conf", "old\n");
    d.plant_fake("/data/eng", "old-eng", {sleep_forever()});
    const std::string old_eng = read_file(d.inside("/data/eng"));
    const std::string cut =
        "tar -czf pkg -C stage eng conf && strace -qq -o /dev/null -E "
        "ASAN_OPTIONS=detect_leaks=0 -e inject=renameat:signal=SIGKILL:when=2 " +
        shell_quote(WATCHD_E2E_M01_LOAD) + " tar -zxf pkg -C " + shell_quote(d.inside("/data/"));
    EXPECT_NE(system(("cd " + shell_quote(dir.path()) + " && " + cut).c_str()), 0);
    ASSERT_TRUE(path_exists(d.inside("/data/.m01_load.new")));
    d.go();
    ASSERT_TRUE(d.wait_for_starts(1, 10s)) << d.output();
    EXPECT_THAT(dir_entries(d.inside("/data")),
                UnorderedElementsAreArray({".bootchk", "conf", "eng"}));
    EXPECT_EQ(read_file(d.inside("/data/conf")), "old\n");
    EXPECT_EQ(read_file(d.inside("/data/eng")), old_eng);
    EXPECT_THAT(dir.starts().back().command, StartsWith("/data//eng"));
}
#endif

const std::string NEW_PLUGIN_RECORD = R"({"version":"3.9.08.2","plugindata":1})";

INSTANTIATE_TEST_SUITE_P(
    e2e, installation,
    ::testing::Values(
        // Plug-in archive: extracted into /data/, and the next cycle starts from there.
        install_case{"archive_without_record",
                     std::nullopt,
                     {130},
                     package::archive,
                     TAR_EXTRACTOR,
                     "",
                     NEW_PLUGIN_RECORD,
                     "",
                     "",
                     "/data//eng -r 130" + std::string(PLUGIN_OPTIONS)},
        install_case{"archive_with_real_m01_load",
                     std::nullopt,
                     {130},
                     package::archive,
                     REAL_EXTRACTOR,
                     "",
                     NEW_PLUGIN_RECORD,
                     "",
                     "",
                     "/data//eng -r 130" + std::string(PLUGIN_OPTIONS)},
        // A version that is no string hides the appended one: plugin mode stays off.
        install_case{"archive_with_number_version",
                     R"({"version":3,"plugindata":1})",
                     {130},
                     package::archive,
                     TAR_EXTRACTOR,
                     "",
                     R"({"version":3,"plugindata":1,"version":"3.9.08.2","plugindata":1})",
                     "",
                     "",
                     "eng -r 130"},
        // Lua data and signature files: copied byte for byte; members are appended.
        // The record then names a version and the plug-in: the next cycle runs from /data/.
        install_case{"lua_behind_existing_members",
                     R"({"plugindata":1})",
                     {131},
                     package::bytes,
                     "",
                     "",
                     R"({"plugindata":1,"version":"3.9.08.2","luadata":1})",
                     "",
                     "/data/init.bin",
                     "/data//eng -r 131" + std::string(PLUGIN_OPTIONS)},
        install_case{"lua_again_appends_a_second_member",
                     R"({"version":"3.9.08.2","luadata":1})",
                     {131},
                     package::bytes,
                     "",
                     "",
                     R"({"version":"3.9.08.2","luadata":1,"luadata":1})",
                     "",
                     "/data/init.bin",
                     "eng -r 131"},
        install_case{"two_signatures",
                     std::nullopt,
                     {132, 132},
                     package::bytes,
                     "",
                     "",
                     R"({"version":"3.9.08.2","sigdata":1,"sigdata":1})",
                     "",
                     "/data/m01_sig.bin",
                     "eng -r 132"},
        install_case{"signature_over_a_record_that_is_no_json",
                     "version 3.9.08.2",
                     {132},
                     package::bytes,
                     "",
                     "",
                     R"({"version":"3.9.08.2","sigdata":1})",
                     "",
                     "/data/m01_sig.bin",
                     "eng -r 132"},
        // No package: a new cycle, and nothing else.
        install_case{"no_archive",
                     std::nullopt,
                     {130},
                     package::none,
                     TAR_EXTRACTOR,
                     "",
                     std::nullopt,
                     "",
                     "",
                     "eng -r 130"},
        install_case{"no_lua_data",
                     std::nullopt,
                     {131},
                     package::none,
                     "",
                     "",
                     std::nullopt,
                     "",
                     "",
                     "eng -r 131"},
        install_case{"no_signature_with_record",
                     R"({"plugindata":1})",
                     {132},
                     package::none,
                     "",
                     "",
                     R"({"plugindata":1})",
                     "",
                     "",
                     "eng -r 132"},
        // Failed installations leave the record as it was.
        install_case{"extraction_fails",
                     std::nullopt,
                     {130},
                     package::archive,
                     FAILING_EXTRACTOR,
                     "",
                     std::nullopt,
                     "failed to install upgrade(130)\n",
                     "",
                     "eng -r 130"},
        install_case{"extraction_fails_with_record",
                     R"({"version":"3.9.08.2","luadata":1})",
                     {130},
                     package::archive,
                     FAILING_EXTRACTOR,
                     "",
                     R"({"version":"3.9.08.2","luadata":1})",
                     "failed to install upgrade(130)\n",
                     "",
                     "eng -r 130"},
        install_case{"extraction_tool_missing",
                     std::nullopt,
                     {130},
                     package::archive,
                     "",
                     "",
                     std::nullopt,
                     "sh: 1: ./m01_load: not found\nfailed to install upgrade(130)\n",
                     "",
                     "eng -r 130"},
        install_case{"lua_target_is_a_directory",
                     std::nullopt,
                     {131},
                     package::bytes,
                     "",
                     "/data/init.bin",
                     std::nullopt,
                     "failed to install upgrade(131)\n",
                     "",
                     "eng -r 131"},
        install_case{"signature_target_is_a_directory",
                     R"({"plugindata":1})",
                     {132},
                     package::bytes,
                     "",
                     "/data/m01_sig.bin",
                     R"({"plugindata":1})",
                     "failed to install upgrade(132)\n",
                     "",
                     "eng -r 132"}));

}  // namespace
}  // namespace watchd_e2e
