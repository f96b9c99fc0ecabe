// Fixture for tests that work on the real runtime and data directories. They run only inside
// scripts/sandbox, never on a host's own files: a board or container may well have tmpfs on
// /tmp and /data, so the sandbox is known by the names it gives its own mounts.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace watchd_test {

// Whether the topmost mounts on /tmp and /data are the sandbox's own (tmpfs named watchd-tmp
// and watchd-data), read from mountinfo (the text of /proc/self/mountinfo).
bool inside_sandbox(const std::string& mountinfo);

class SandboxedDirs : public testing::Test {
  protected:
    // Empties /tmp and /data, or refuses (fails) outside the sandbox without touching them.
    void SetUp() override;
    static void empty_directory(const char* path);
};

}  // namespace watchd_test
