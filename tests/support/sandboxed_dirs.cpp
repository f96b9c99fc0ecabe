#include "sandboxed_dirs.h"

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "test_support.h"

namespace watchd_test {

bool inside_sandbox(const std::string& mountinfo) {
    // "ID PARENT MAJOR:MINOR ROOT MOUNT_POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER_OPTIONS";
    // a later line on the same mount point lies on top of an earlier one.
    std::map<std::string, std::string> top;  // mount point -> "TYPE SOURCE"
    for (const std::string& line : split_lines(mountinfo)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point, word, type, source;
        fields >> id >> parent >> device >> root >> point;
        while (fields >> word && word != "-") {
        }
        if (fields >> type >> source)
            top[point] = type + " " + source;
    }
    return top["/tmp"] == "tmpfs watchd-tmp" && top["/data"] == "tmpfs watchd-data";
}

void SandboxedDirs::empty_directory(const char* path) {
    for (const auto& entry : std::filesystem::directory_iterator(path))
        std::filesystem::remove_all(entry.path());
}

void SandboxedDirs::SetUp() {
    ASSERT_TRUE(inside_sandbox(read_file("/proc/self/mountinfo")))
        << "refusing to empty /tmp and /data outside scripts/sandbox: run this test through it";
    empty_directory("/data");
    empty_directory("/tmp");
    ASSERT_EQ(mkdir("/tmp/.uci", 0777), 0);
}

}  // namespace watchd_test
