// Power-safety of every installation kind: the daemon and the extraction tool are traced with
// strace during a real installation and the order of their writes, fsyncs and renames is
// checked. The rules themselves are checked first, on canned traces.
#include <stdlib.h>
#include <sys/stat.h>

#include "durability_order.h"
#include "harness.h"

namespace watchd_e2e {
namespace {

constexpr const char* DATA = "/data/";
constexpr const char* RECORD = "/data//.bootchk";

// ---- the rules, on canned traces -----------------------------------------------------------

struct trace_case {
    const char* label;
    std::string trace;
    std::vector<std::string> violations;
};

void PrintTo(const trace_case& c, std::ostream* os) {
    *os << c.label;
}

// The daemon's record update, as it should be: temporary file, fsync, rename, fsync /data.
const std::string RECORD_WRITE =
    "11 openat(AT_FDCWD</d>, \"/data//.bootchk.tmp\", O_WRONLY|O_CREAT|O_EXCL, 0666) = "
    "4</data/.bootchk.tmp>\n"
    "11 write(4</data/.bootchk.tmp>, \"{\\\"version\\\":\"..., 37) = 37\n"
    "11 fsync(4</data/.bootchk.tmp>) = 0\n"
    "11 rename(\"/data//.bootchk.tmp\", \"/data//.bootchk\") = 0\n"
    "11 openat(AT_FDCWD</d>, \"/data\", O_RDONLY|O_DIRECTORY) = 4</data>\n"
    "11 fsync(4</data>) = 0\n";

// The tool, from inside /data: a staged file, synced, renamed into place, /data synced.
const std::string TOOL_START =
    "21 chdir(\"/data/\") = 0\n"
    "21 mkdirat(AT_FDCWD</data>, \".stage\", 0700) = 0\n"
    "21 openat(AT_FDCWD</data>, \".stage/eng\", O_WRONLY|O_CREAT|O_EXCL, 0755) = "
    "5</data/.stage/eng>\n"
    "21 write(5</data/.stage/eng>, \"#!/bin/sh\\n\"..., 203) = 203\n";
const std::string TOOL_SYNC_FILE = "21 fsync(5</data/.stage/eng>) = 0\n";
const std::string TOOL_RENAME =
    "21 renameat(AT_FDCWD</data>, \".stage/eng\", AT_FDCWD</data>, \"eng\") = 0\n";
const std::string TOOL_SYNC_DATA = "21 fsync(6</data>) = 0\n";
const std::string TOOL_END = "21 rmdir(\".stage\") = 0\n";

const trace_case TRACE_CASES[] = {
    {"good_package_then_record",
     TOOL_START + TOOL_SYNC_FILE + TOOL_RENAME + TOOL_SYNC_DATA + TOOL_END + RECORD_WRITE,
     {}},
    // A call cut by another process's lines counts where it resumed.
    {"interleaved_processes",
     TOOL_START + "21 fsync(5</data/.stage/eng> <unfinished ...>\n11 getpid() = 11\n" +
         "21 <... fsync resumed>) = 0\n" + TOOL_RENAME + TOOL_SYNC_DATA + TOOL_END + RECORD_WRITE,
     {}},
    // strace -y names a descriptor by its file's current name.
    {"file_renamed_before_fsync",
     TOOL_START + TOOL_RENAME + "21 fsync(5</data/eng>) = 0\n" + TOOL_SYNC_DATA + TOOL_END +
         RECORD_WRITE,
     {"/data/eng: renamed into place before /data/.stage/eng was fsynced"}},
    {"failed_fsync_does_not_count",
     TOOL_START + "21 fsync(5</data/.stage/eng>) = -1 EIO (Input/output error)\n" + TOOL_RENAME +
         TOOL_SYNC_DATA + TOOL_END + RECORD_WRITE,
     {"/data/eng: renamed into place before /data/.stage/eng was fsynced",
      "/data/eng: not durable when the record was written"}},
    {"directory_not_synced_after_rename",
     TOOL_START + TOOL_SYNC_FILE + TOOL_RENAME + TOOL_END +
         "11 openat(AT_FDCWD</d>, \"/data//.bootchk.tmp\", O_WRONLY|O_CREAT|O_EXCL, 0666) = "
         "4</data/.bootchk.tmp>\n"
         "11 fsync(4</data/.bootchk.tmp>) = 0\n"
         "11 rename(\"/data//.bootchk.tmp\", \"/data//.bootchk\") = 0\n",
     {"/data: not durable when the record was written",
      "/data: not fsynced after an entry was renamed into it"}},
    {"record_written_before_the_package",
     TOOL_START + TOOL_SYNC_FILE + RECORD_WRITE + TOOL_RENAME + TOOL_SYNC_DATA,
     {"/data: not durable when the record was written",
      "/data/.stage: not durable when the record was written",
      "/data/eng: renamed into place after the record was written"}},
    {"record_not_synced",
     "11 openat(AT_FDCWD</d>, \"/data//.bootchk.tmp\", O_WRONLY|O_CREAT, 0666) = "
     "4</data/.bootchk.tmp>\n"
     "11 write(4</data/.bootchk.tmp>, \"{}\", 2) = 2\n"
     "11 rename(\"/data//.bootchk.tmp\", \"/data//.bootchk\") = 0\n"
     "11 fsync(3</data>) = 0\n",
     {"/data/.bootchk: renamed into place before /data/.bootchk.tmp was fsynced"}},
    // What a plain extraction does: files created under their final names.
    {"file_written_in_place",
     "21 chdir(\"/data/\") = 0\n"
     "21 openat(AT_FDCWD</data>, \"plugin.txt\", O_WRONLY|O_CREAT|O_EXCL, 0644) = "
     "4</data/plugin.txt>\n"
     "21 write(4</data/plugin.txt>, \"hi\\n\", 3) = 3\n" +
         RECORD_WRITE,
     {"/data: not durable when the record was written",
      "/data/plugin.txt: not durable when the record was written",
      "/data/plugin.txt: written under its final name instead of renamed into place"}},
};

class durability_rules : public ::testing::TestWithParam<trace_case> {};

TEST_P(durability_rules, find_exactly_the_broken_steps) {
    const trace_case& c = GetParam();
    const durability_report report = check_durable_installation(c.trace, DATA, RECORD);
    EXPECT_EQ(report.violations, c.violations);
    EXPECT_TRUE(report.record_written);
}

INSTANTIATE_TEST_SUITE_P(canned, durability_rules, ::testing::ValuesIn(TRACE_CASES));

// ---- real installations ----------------------------------------------------------------

struct install_kind {
    const char* label;
    int code;
    bool archive;                     // a plug-in archive for the tool, or the bytes of one file
    std::vector<std::string> placed;  // paths that must hold the new content afterwards
};

void PrintTo(const install_kind& k, std::ostream* os) {
    *os << k.label;
}

constexpr const char* TRACE_INSIDE = "/tmp/install.trace";
const std::string NEW_CONTENT = "new content\n";

class durable_installation : public e2e_param_test<install_kind> {};

TEST_P(durable_installation, syncs_files_and_directories_before_the_record) {
    const install_kind& k = GetParam();
    daemon_dir dir;
    dir.write_config(R"({"__watch":{"processes":[{"base":"eng"}]}})");
    dir.add_fake("eng", {leave_package_and_exit("pkg", k.code), sleep_forever()});
    if (k.archive) {
        // The package brings its engine, a file that replaces an old one and a directory.
        const std::string stage = dir.file("stage");
        ASSERT_EQ(mkdir(stage.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((stage + "/lib").c_str(), 0755), 0);
        write_file(stage + "/eng", dir.fake_script("data-eng", {sleep_forever()}), 0755);
        for (const std::string& path : k.placed)
            write_file(stage + "/" + path.substr(6), NEW_CONTENT);
        const std::string tar = "tar -czf " + shell_quote(dir.file("pkg")) + " -C " +
                                shell_quote(stage) + " eng plugin.txt lib";
        ASSERT_EQ(system(tar.c_str()), 0);
#ifdef WATCHD_E2E_M01_LOAD
        write_file(dir.file("m01_load"), read_file(WATCHD_E2E_M01_LOAD), 0755);
#else
        GTEST_SKIP() << "m01_load is not built";
#endif
    } else {
        write_file(dir.file("pkg"), NEW_CONTENT);
    }
    launch_options options;
    options.wrapper = std::string("strace -f -y -qq -s 16 -o ") + TRACE_INSIDE +
                      " -e trace=%file,%desc,%process,sync,syncfs";
    // LeakSanitizer cannot work under ptrace: an ASan build's extraction tool would fail.
    options.environment = {"ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
    sandboxed_daemon d(dir, options);
    ASSERT_TRUE(d.ready());
    for (const std::string& path : k.placed)
        d.plant(path, "old content\n");
    d.go();
    ASSERT_TRUE(d.wait_for_starts(2, 20s)) << d.output();

    for (const std::string& path : k.placed)
        EXPECT_EQ(read_file(d.inside(path)), NEW_CONTENT) << path;
    const std::string trace = read_file(d.inside(TRACE_INSIDE));
    const durability_report report = check_durable_installation(trace, DATA, RECORD);
    EXPECT_TRUE(report.record_written) << trace;
    EXPECT_EQ(report.violations, std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(e2e, durable_installation,
                         ::testing::Values(
                             install_kind{
                                 "plugin_archive", 130, true, {"/data/plugin.txt", "/data/lib/a"}},
                             install_kind{"lua_file", 131, false, {"/data/init.bin"}},
                             install_kind{"signature_file", 132, false, {"/data/m01_sig.bin"}}));

}  // namespace
}  // namespace watchd_e2e
