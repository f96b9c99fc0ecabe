// The start-mode decision and clearing of the boot-check record, on the real record path.
#include "bootcheck/bootchk.h"

#include <stdlib.h>

#include "sandboxed_fixture.h"
#include "test_support.h"

using namespace watchd;
using namespace watchd_test;

namespace {

constexpr const char* RECORD = "/data//.bootchk";

struct gate_case {
    const char* record;
    int mode;
    bool kept;
};

class VersionGate : public SandboxedDirs, public testing::WithParamInterface<gate_case> {};

TEST_P(VersionGate, DecidesTheModeAndRemovesOldRecords) {
    const gate_case& c = GetParam();
    write_file(RECORD, c.record);
    EXPECT_EQ(decide_plugin_mode(), c.mode) << c.record;
    EXPECT_EQ(file_exists(RECORD), c.kept) << c.record;
}

INSTANTIATE_TEST_SUITE_P(
    Records, VersionGate,
    testing::Values(gate_case{R"({"version":"3.9.08.2","plugindata":1})", 1, true},
                    gate_case{R"({"version":"3.9.8.2","plugindata":1})", 1, true},
                    gate_case{R"({"version":"3.9.08.2.7","plugindata":1})", 1, true},
                    gate_case{R"({"version":"3..9.08.2","plugindata":1})", 1, true},
                    gate_case{R"({"version":"3.10","plugindata":1})", 1, true},
                    gate_case{R"({"version":"4","plugindata":1})", 1, true},
                    gate_case{R"({"version":"3.9","plugindata":1})", 0, false},
                    gate_case{R"({"version":"3.9.08.1","plugindata":1})", 0, false},
                    gate_case{R"({"version":"","plugindata":1})", 0, false},
                    gate_case{R"({"version":"3.9","plugindata":0})", 0, false},
                    // Versions with a top byte of 128 or more are newer, not older.
                    gate_case{R"({"version":"131.9.8.2","plugindata":1})", 1, true},
                    gate_case{R"({"version":"200","plugindata":1})", 1, true},
                    gate_case{R"({"version":"131.9.8.1","plugindata":1})", 1, true},
                    gate_case{R"({"version":"x","plugindata":1})", 1, true},
                    gate_case{R"({"plugindata":1})", 0, true},
                    gate_case{R"({"version":3.9,"plugindata":1})", 0, true},
                    gate_case{R"({"version":"3.9.08.2","plugindata":true})", 1, true},
                    gate_case{R"({"version":"3.9.08.2","plugindata":2})", 0, true},
                    gate_case{R"({"version":"3.9.08.2","plugindata":"1"})", 0, true},
                    gate_case{R"({"version":"3.9.08.2"})", 0, true},
                    gate_case{R"({"VERSION":"3.9.08.2","PluginData":1})", 1, true},
                    gate_case{R"({"version":"3.9.08.2","plugindata":0,"plugindata":1})", 0, true},
                    gate_case{"", 0, true}, gate_case{"not json", 0, true},
                    gate_case{"[1,2]", 0, true}));

class ClearBootchk : public SandboxedDirs {};

TEST_F(ClearBootchk, RemovesAReadableRecordOnce) {
    EXPECT_EQ(clear_bootchk(), 0);
    write_file(RECORD, "{}");
    EXPECT_EQ(clear_bootchk(), 1);
    EXPECT_FALSE(file_exists(RECORD));
    EXPECT_EQ(clear_bootchk(), 0);
    EXPECT_EQ(decide_plugin_mode(), 0);
}

TEST_F(ClearBootchk, RecordThatCannotBeRemovedIsNotReportedAsRemoved) {
    write_file(RECORD, R"({"version":"3.9.08.2","plugindata":1})");
    ASSERT_EQ(system("mount -o remount,ro /data"), 0);
    int first = clear_bootchk();
    int second = clear_bootchk();
    ASSERT_EQ(system("mount -o remount,rw /data"), 0);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 0);
    EXPECT_TRUE(file_exists(RECORD));
}

TEST_F(ClearBootchk, LoadGivesTheRecordOrNull) {
    EXPECT_EQ(load_bootchk(), nullptr);
    write_file(RECORD, R"({"version":"3.9.08.2"})");
    json_ptr record = load_bootchk();
    ASSERT_NE(record, nullptr);
    EXPECT_NE(cJSON_GetObjectItem(record.get(), "version"), nullptr);
}

}  // namespace
