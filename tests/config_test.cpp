#include "supervisor/config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

using namespace watchd;
using namespace watchd_test;

namespace {

struct config_case {
    const char* content;
    int result;
    std::vector<std::string> names;  // the slots in use after a successful load
};

class LoadWatchConfig : public testing::TestWithParam<config_case> {};

TEST_P(LoadWatchConfig, FillsTheProcessTable) {
    const config_case& c = GetParam();
    scoped_temp_dir dir;
    write_file(dir.file("config"), c.content);
    watch_state state{};
    state.slots[0].pid = 99;
    ASSERT_EQ(load_watch_config(dir.file("config").c_str(), &state), c.result) << c.content;
    if (c.result != 0)
        return;
    ASSERT_EQ(state.count, static_cast<int32_t>(c.names.size())) << c.content;
    for (size_t i = 0; i < c.names.size(); ++i) {
        EXPECT_EQ(state.slots[i].name, c.names[i]);
        EXPECT_EQ(state.slots[i].pid, 0);
    }
}

const std::vector<std::string> builtin = {"kelvra-dpi-inner"};

// The daemon's answer to a table and to a failed load (a missing file, a FIFO) is the
// end-to-end tables' (program_table, bad_config).
INSTANTIATE_TEST_SUITE_P(
    Documents, LoadWatchConfig,
    testing::Values(
        config_case{"{}", 0, builtin}, config_case{R"({"__watch":{}})", 0, builtin},
        config_case{R"({"__watch":{"processes":[]}})", 0, builtin},
        config_case{R"({"other":{"processes":[{"base":"eng"}]}})", 0, builtin},
        config_case{R"({"other":1,"__watch":{"processes":"x"}})", 0, builtin},
        config_case{R"({"__WATCH":{"Processes":[{"BASE":"eng"}]}})", 0, {"eng"}},
        config_case{R"({"__watch":{"processes":[{"base":"eng"}]}} junk)", 0, {"eng"}},
        config_case{R"({"__watch":{"processes":[{"base":"a"},{"base":"b"},{"base":"c"},)"
                    R"({"base":"d"}]}})",
                    0,
                    {"a", "b", "c", "d"}},
        config_case{R"({"__watch":{"processes":[{"base":"/opt/x/e 1"}]}})", 0, {"/opt/x/e 1"}},
        config_case{"", -1, {}}, config_case{" \n\t", -1, {}},
        config_case{"processes: eng", -1, {}},
        config_case{R"({"__watch":{"processes":[{"base":"eng"},{"name":"eng"}]}})", -1, {}},
        config_case{R"({"__watch":{"processes":[{"base":12}]}})", -1, {}},
        config_case{R"({"__watch":{"processes":[{"base":"a"},{"base":"b"},{"base":"c"},)"
                    R"({"base":"d"},{"base":"e"}]}})",
                    -1,
                    {}},
        config_case{R"({"__watch":{"processes":["a"]}})", -1, {}},
        config_case{R"({"__watch":{"processes":{"base":"a"}}})", -1, {}}));

TEST(LoadWatchConfig, OverlongNameIsCutToTheSlot) {
    scoped_temp_dir dir;
    const std::string name(5000, 'n');
    write_file(dir.file("config"), R"({"__watch":{"processes":[{"base":")" + name + "\"}]}}");
    watch_state state{};
    ASSERT_EQ(load_watch_config(dir.file("config").c_str(), &state), 0);
    EXPECT_EQ(std::string(state.slots[0].name), name.substr(0, PATH_CAPACITY - 1));
}

}  // namespace
