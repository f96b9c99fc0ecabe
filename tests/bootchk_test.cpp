#include <gtest/gtest.h>

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

}  // namespace
