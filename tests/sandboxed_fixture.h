// Fixture for tests that work on the real runtime and data directories. They run only
// inside the sandbox (fresh tmpfs on /tmp and /data), never on a host's own files.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <filesystem>
#include <string>

namespace watchd_test {

constexpr long TMPFS_MAGIC_NUMBER = 0x01021994;

inline bool is_tmpfs(const char* path) {
    struct statfs info;
    return statfs(path, &info) == 0 && info.f_type == TMPFS_MAGIC_NUMBER;
}

class SandboxedDirs : public testing::Test {
  protected:
    void SetUp() override {
        // Refuse to run against a host's real directories.
        ASSERT_TRUE(is_tmpfs("/data") && is_tmpfs("/tmp")) << "run this test through the sandbox";
        empty_directory("/data");
        empty_directory("/tmp");
        ASSERT_EQ(mkdir("/tmp/.uci", 0777), 0);
    }

    static void empty_directory(const char* path) {
        for (const auto& entry : std::filesystem::directory_iterator(path)) {
            std::filesystem::remove_all(entry.path());
        }
    }
};

}  // namespace watchd_test
