#include <gtest/gtest.h>

#include <string>

#include "bootcheck/bootchk.h"

using namespace watchd;

namespace {

struct pack_case {
    const char* text;
    uint32_t packed;
};

class PackVersion : public testing::TestWithParam<pack_case> {};

TEST_P(PackVersion, OneBytePerComponent) {
    EXPECT_EQ(pack_version(GetParam().text), GetParam().packed) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PackVersion,
    testing::Values(pack_case{"3.9.08.2", 0x03090802u}, pack_case{"3.9.8.2", 0x03090802u},
                    pack_case{"3.9.08.2.7", 0x03090802u}, pack_case{"3..9.08.2", 0x03090802u},
                    pack_case{".3.9.08.2.", 0x03090802u}, pack_case{"3.9", 0x03090000u},
                    pack_case{"4", 0x04000000u}, pack_case{"", 0u}, pack_case{"...", 0u},
                    pack_case{"255.256.300.08", 0xff002c08u},
                    // Other characters count as their code less '0'.
                    pack_case{"1a", 59u << 24}, pack_case{"x", 72u << 24},
                    pack_case{"\xff", 0xcfu << 24}, pack_case{"131.9.8.2", 0x83090802u},
                    pack_case{"200", 0xc8000000u}));

struct compare_case {
    const char* a;
    const char* b;
    int sign;  // -1: a older, 0: same, 1: a newer
};

class CompareVersions : public testing::TestWithParam<compare_case> {};

int sign_of(int value) {
    return (value > 0) - (value < 0);
}

TEST_P(CompareVersions, ByPackedValueAsUnsigned) {
    const compare_case& c = GetParam();
    EXPECT_EQ(sign_of(compare_versions(c.a, c.b)), c.sign) << c.a << " vs " << c.b;
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, CompareVersions,
    testing::Values(compare_case{"3.9.08.2", "3.9.08.2", 0}, compare_case{"3.9.8.2", "3.9.08.2", 0},
                    compare_case{"3.10", "3.9.08.2", 1}, compare_case{"4", "3.9.08.2", 1},
                    compare_case{"3.9", "3.9.08.2", -1}, compare_case{"3.9.08.1", "3.9.08.2", -1},
                    compare_case{"", "3.9.08.2", -1}, compare_case{"x", "3.9.08.2", 1},
                    // A top byte of 128 or more is newer, not a negative difference.
                    compare_case{"131.9.8.2", "3.9.08.2", 1}, compare_case{"200", "3.9.08.2", 1},
                    compare_case{"131.9.8.1", "3.9.08.2", 1}, compare_case{"255", "0", 1},
                    compare_case{"0", "255", -1}));

struct gate_case {
    const char* label;
    const char* record;  // the file's text, parsed as the cycle parses it
    record_verdict verdict;
};

class JudgeBootchk : public testing::TestWithParam<gate_case> {};

TEST_P(JudgeBootchk, PicksTheStartModeAndWhetherTheRecordGoes) {
    json_ptr record(cJSON_Parse(GetParam().record));
    EXPECT_EQ(judge_bootchk(record.get()), GetParam().verdict) << GetParam().record;
}

constexpr record_verdict PLUGIN = record_verdict::plugin;
constexpr record_verdict NORMAL = record_verdict::normal;
constexpr record_verdict STALE = record_verdict::stale;
constexpr record_verdict NO_VERSION = record_verdict::no_version;
constexpr record_verdict ABSENT = record_verdict::absent;

INSTANTIATE_TEST_SUITE_P(
    Records, JudgeBootchk,
    testing::Values(
        gate_case{"current", R"({"version":"3.9.08.2","plugindata":1})", PLUGIN},
        // Packed values compare unsigned: a top byte of 128 or more is newer, not older.
        gate_case{"newer_131", R"({"version":"131.9.8.2","plugindata":1})", PLUGIN},
        gate_case{"newer_200", R"({"version":"200","plugindata":1})", PLUGIN},
        gate_case{"older_short", R"({"version":"3.9","plugindata":1})", STALE},
        gate_case{"older_last_component", R"({"version":"3.9.08.1","plugindata":1})", STALE},
        gate_case{"older_empty", R"({"version":"","plugindata":1})", STALE},
        gate_case{"older_without_plugin", R"({"version":"2.0"})", STALE},
        gate_case{"no_version", R"({"plugindata":1})", NO_VERSION},
        gate_case{"number_version", R"({"version":3.9,"plugindata":1})", NO_VERSION},
        gate_case{"plugindata_true", R"({"version":"3.9.08.2","plugindata":true})", PLUGIN},
        gate_case{"plugindata_fraction", R"({"version":"3.9.08.2","plugindata":1.9})", PLUGIN},
        gate_case{"plugindata_2", R"({"version":"3.9.08.2","plugindata":2})", NORMAL},
        gate_case{"plugindata_string", R"({"version":"3.9.08.2","plugindata":"1"})", NORMAL},
        gate_case{"plugindata_missing", R"({"version":"3.9.08.2","luadata":1})", NORMAL},
        gate_case{"upper_case_members", R"({"VERSION":"3.9.08.2","PluginData":1})", PLUGIN},
        gate_case{"first_plugindata_counts",
                  R"({"version":"3.9.08.2","plugindata":0,"plugindata":1})", NORMAL},
        gate_case{"text_after_the_object", R"({"version":"3.9.08.2","plugindata":1} trailing)",
                  PLUGIN},
        gate_case{"empty_file", "", ABSENT},
        gate_case{"not_json", "version=3.9.08.2 plugindata=1", ABSENT},
        gate_case{"json_array", R"([{"version":"3.9.08.2","plugindata":1}])", NO_VERSION}),
    [](const testing::TestParamInfo<gate_case>& info) { return std::string(info.param.label); });

}  // namespace
