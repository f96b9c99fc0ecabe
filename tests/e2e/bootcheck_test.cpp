// The boot-check record: the version gate that picks the start mode, and a record that
// cannot be removed.
#include "harness.h"

namespace watchd_e2e {
namespace {

constexpr const char* PLUGIN_START = "/data//eng -T /tmp/.uci/ -D /data/ -O brelvant_odm";

struct gate_case {
    const char* label;
    std::string record;
    bool plugin;  // the first start comes from /data/
    bool kept;    // the record is still there afterwards
};

void PrintTo(const gate_case& c, std::ostream* os) {
    *os << c.label;
}

class version_gate : public e2e_param_test<gate_case> {};

TEST_P(version_gate, picks_the_start_mode_and_keeps_or_removes_the_record) {
    SCOPED_TRACE("record: " + GetParam().record);
    sandboxed_daemon& d =
        start(ONE_ENGINE, {{"eng", {sleep_forever()}}}, {}, [&](const sandboxed_daemon& sandbox) {
            sandbox.plant("/data/.bootchk", GetParam().record);
            sandbox.plant_fake("/data/eng", "data-eng", {sleep_forever()});
        });
    ASSERT_TRUE(d.wait_for_starts(1, 10s)) << d.output();

    EXPECT_EQ(dir.starts()[0].command, GetParam().plugin ? PLUGIN_START : "eng");
    EXPECT_EQ(path_exists(d.inside("/data/.bootchk")), GetParam().kept);
    if (GetParam().kept) {
        EXPECT_EQ(read_file(d.inside("/data/.bootchk")), GetParam().record);
    }
    EXPECT_EQ(d.output(), "");
}

INSTANTIATE_TEST_SUITE_P(
    e2e, version_gate,
    ::testing::Values(
        // Which record means what is the gate's unit table; here, that the daemon acts on it:
        // plug-in mode from a current record, and a stale one removed.
        gate_case{"current", R"({"version":"3.9.08.2","plugindata":1})", true, true},
        gate_case{"older_short", R"({"version":"3.9","plugindata":1})", false, false}));

struct unremovable_case {
    const char* label;
    std::string own_engine;  // what the engine of the daemon's directory does
    std::string output;      // all the daemon prints
    bool ends;
};

void PrintTo(const unremovable_case& c, std::ostream* os) {
    *os << c.label;
}

class unremovable_record : public e2e_param_test<unremovable_case> {};

// A read-only /data: the record of a failed plug-in boot stays, but is ignored from then on.
TEST_P(unremovable_record, is_ignored_and_the_programs_start_from_the_daemons_directory) {
    launch_options options;
    options.setup_shell = "mount -o remount,ro /data";
    const std::string record = R"({"version":"3.9.08.2","plugindata":1})";
    sandboxed_daemon& d = start(ONE_ENGINE, {{"eng", {GetParam().own_engine}}}, options,
                                [&](const sandboxed_daemon& sandbox) {
                                    sandbox.plant("/data/.bootchk", record);
                                    sandbox.plant_fake("/data/eng", "data-eng", {exit_with(129)});
                                });
    ASSERT_TRUE(d.wait_for_starts(2, 10s)) << d.output();
    if (GetParam().ends) {
        ASSERT_TRUE(d.wait_for_exit(10s)) << "still retrying after " << dir.starts().size()
                                          << " starts: " << d.output().substr(0, 500);
        EXPECT_EQ(*d.exit_status(), 0);
    }

    EXPECT_EQ(d.output(), GetParam().output);
    std::vector<std::string> commands;
    for (const auto& start : dir.starts())
        commands.push_back(start.command);
    EXPECT_EQ(commands, (std::vector<std::string>{PLUGIN_START, "eng -r 129"}));
    EXPECT_EQ(read_file(d.inside("/data/.bootchk")), record);
    EXPECT_EQ(d.exit_status().has_value(), GetParam().ends);
}

INSTANTIATE_TEST_SUITE_P(
    e2e, unremovable_record,
    ::testing::Values(unremovable_case{"fallback_runs", sleep_forever(),
                                       "failed boot, then clean bootchk, and try again\n", false},
                      unremovable_case{"second_failure_ends", exit_with(129),
                                       "failed boot, then clean bootchk, and try again\n"
                                       "failed for normal boot, exit\n",
                                       true}));

}  // namespace
}  // namespace watchd_e2e
