// Tests of m01_load: the built tool end to end on archives made here, with the system's tar
// for ordinary ones and with libarchive's writer for hostile ones.
#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

using namespace watchd_test;

constexpr const char* TOOL = M01_LOAD_PATH;
constexpr int EXIT_USAGE = 2;

// ---- helpers for the end-to-end tests ----

// One entry of a hand-made archive.
struct archive_item {
    enum kind_t { file, directory, symlink, hardlink, fifo, device } kind;
    std::string path;
    std::string data;    // a file's content, or a hard link's data
    std::string target;  // a link's target
    mode_t mode = 0644;
};

archive_item file_entry(const std::string& path, const std::string& data, mode_t mode = 0644) {
    return {archive_item::file, path, data, "", mode};
}
archive_item symlink_entry(const std::string& path, const std::string& target) {
    return {archive_item::symlink, path, "", target, 0777};
}
archive_item hardlink_entry(const std::string& path, const std::string& target) {
    return {archive_item::hardlink, path, "", target, 0644};
}
archive_item other_entry(archive_item::kind_t kind, const std::string& path, mode_t mode) {
    return {kind, path, "", "", mode};
}

struct write_deleter {
    void operator()(archive* a) const { archive_write_free(a); }
};
struct entry_deleter {
    void operator()(archive_entry* e) const { archive_entry_free(e); }
};

// Writes entries exactly as given into an opened pax writer: names are not cleaned, so
// absolute names and `..` reach the archive.
bool write_entries(archive* writer, const std::vector<archive_item>& entries) {
    for (const archive_item& item : entries) {
        std::unique_ptr<archive_entry, entry_deleter> entry(archive_entry_new());
        archive_entry_set_pathname(entry.get(), item.path.c_str());
        archive_entry_set_perm(entry.get(), item.mode);
        archive_entry_set_mtime(entry.get(), 1600000000, 0);
        const unsigned types[] = {AE_IFREG, AE_IFDIR, AE_IFLNK, AE_IFREG, AE_IFIFO, AE_IFCHR};
        archive_entry_set_filetype(entry.get(), types[item.kind]);
        if (item.kind == archive_item::symlink)
            archive_entry_set_symlink(entry.get(), item.target.c_str());
        if (item.kind == archive_item::hardlink)
            archive_entry_set_hardlink(entry.get(), item.target.c_str());
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(item.data.size()));
        if (archive_write_header(writer, entry.get()) != ARCHIVE_OK)
            return false;
        if (!item.data.empty() && archive_write_data(writer, item.data.data(), item.data.size()) !=
                                      static_cast<la_ssize_t>(item.data.size()))
            return false;
    }
    return archive_write_close(writer) == ARCHIVE_OK;
}

// Writes a gzip-compressed pax archive of entries.
bool write_archive(const std::string& path, const std::vector<archive_item>& entries) {
    std::unique_ptr<archive, write_deleter> writer(archive_write_new());
    return writer && archive_write_add_filter_gzip(writer.get()) == ARCHIVE_OK &&
           archive_write_set_format_pax_restricted(writer.get()) == ARCHIVE_OK &&
           archive_write_open_filename(writer.get(), path.c_str()) == ARCHIVE_OK &&
           write_entries(writer.get(), entries);
}

// The uncompressed tar stream of entries, end-of-archive blocks included.
std::string tar_stream(const std::vector<archive_item>& entries, size_t capacity) {
    std::string bytes(capacity, '\0');
    size_t used = 0;
    std::unique_ptr<archive, write_deleter> writer(archive_write_new());
    if (!writer || archive_write_set_format_pax_restricted(writer.get()) != ARCHIVE_OK ||
        archive_write_open_memory(writer.get(), &bytes[0], bytes.size(), &used) != ARCHIVE_OK ||
        !write_entries(writer.get(), entries))
        return "";
    bytes.resize(used);
    return bytes;
}

// One gzip member holding data.
std::string gzip_member(const std::string& data) {
    z_stream z{};
    std::string out(compressBound(static_cast<uLong>(data.size())) + 64, '\0');
    if (deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return "";
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    int r = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return r == Z_STREAM_END ? out : "";
}

std::string noise(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    return bytes;
}

// Each test works in root/: dir/ is the extraction directory, outside/ holds a file that a
// hostile archive would like to change, and the archive lies beside them.
class ExtractTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(mkdir(dir().c_str(), 0755), 0);
        ASSERT_EQ(mkdir(outside().c_str(), 0755), 0);
        write_file(outside() + "/victim", "original\n");
    }

    std::string dir() const { return root_.path() + "/dir"; }
    std::string outside() const { return root_.path() + "/outside"; }
    std::string package() const { return root_.path() + "/pkg.tgz"; }

    command_result tool(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {TOOL};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_here(argv);
    }
    command_result run_here(const std::vector<std::string>& argv) {
        return run_command(argv, root_.path());
    }
    command_result extract() { return tool({"tar", "-zxf", package(), "-C", dir()}); }

    // A gzip tar of src_ made by the system's tar.
    void pack_with_system_tar(const std::string& src) {
        command_result r = run_here({"tar", "-czf", package(), "-C", src, "."});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // Outside /tmp, which the sandbox of the space tests replaces.
    scoped_temp_dir root_{"/var/tmp"};
    scoped_temp_dir capture_{"/var/tmp"};
};

TEST_F(ExtractTest, ExtractsNestedTreeKeepingModesAndTimes) {
    const std::string src = root_.path() + "/src";
    for (const char* d : {"", "/a", "/a/b", "/a/b/c"})
        ASSERT_EQ(mkdir((src + d).c_str(), 0755), 0) << src + d;
    write_file(src + "/a/b/c/deep.txt", "deep\n");
    write_file(src + "/engine", "#!/bin/sh\nexit 0\n", 0755);
    write_file(src + "/private", "secret\n", 0640);
    struct timeval old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimes((src + "/engine").c_str(), old_times), 0);
    pack_with_system_tar(src);

    command_result r = extract();

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(dir() + "/a/b/c/deep.txt"), "deep\n");
    struct stat st;
    ASSERT_EQ(stat((dir() + "/engine").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(st.st_mtime, 1000000000);
    ASSERT_EQ(stat((dir() + "/private").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    command_result engine = run_here({dir() + "/engine"});
    EXPECT_EQ(engine.status, 0) << "the extracted program must still be executable";
}

// The daemon's own call (the tool run as ./m01_load from its directory, the package and the
// directory named as the daemon names them), and one other spelling with relative paths: the
// archive is opened before the tool changes into the directory.
TEST_F(ExtractTest, DaemonCallAndRelativeSpellingExtract) {
    ASSERT_TRUE(write_archive(package(), {file_entry("f", "data\n")}));
    ASSERT_EQ(symlink(TOOL, (root_.path() + "/m01_load").c_str()), 0);
    const std::vector<std::vector<std::string>> calls = {
        {"./m01_load", "tar", "-zxf", root_.path() + "//pkg.tgz", "-C", dir() + "/"},
        {TOOL, "tar", "-C", "dir", "-xzf", "pkg.tgz"},
    };
    for (const std::vector<std::string>& argv : calls) {
        ASSERT_EQ(remove((dir() + "/f").c_str()) == 0 || errno == ENOENT, true);
        command_result r = run_here(argv);
        EXPECT_EQ(r.status, 0) << argv[0] << ": " << r.err;
        EXPECT_EQ(read_file(dir() + "/f"), "data\n") << argv[0];
    }
}

// An unknown applet and refused tar options (no archive, an unknown flag, a member name, a
// value given twice or empty, no extraction) are answered alike.
TEST_F(ExtractTest, UnknownAppletOrBadOptionsPrintUsage) {
    const std::vector<std::vector<std::string>> calls = {
        {"gzip", "-d", "x.gz"},      {"tar", "-zx"},
        {"tar", "-zxvf", "a.tgz"},   {"tar", "-zxf", "a.tgz", "member"},
        {"tar", "-zxf", "a", "-fb"}, {"tar", "-zxf", ""},
        {"tar", "-ztf", "a.tgz"},    {"tar", "-zxf"}};
    for (const std::vector<std::string>& args : calls) {
        command_result r = tool(args);
        EXPECT_EQ(r.status, EXIT_USAGE) << args.back();
        EXPECT_EQ(r.out, "") << args[0];
        ASSERT_EQ(split_lines(r.err).size(), 1u) << r.err;
        EXPECT_NE(r.err.find("usage: m01_load tar"), std::string::npos) << r.err;
    }
}

// Failures that leave the directory as it was, with one line on stderr naming the problem.
TEST_F(ExtractTest, BadArchiveOrDirectoryFailsWithOneLineAndChangesNothing) {
    write_file(dir() + "/big", "old version\n", 0755);
    ASSERT_TRUE(write_archive(package(),
                              {file_entry("first", "new\n"), file_entry("big", noise(300000), 0755),
                               file_entry("last", "x")}));
    const std::string whole = read_file(package());
    const std::string before = tree_snapshot(dir());
    // The gzip trailer holds the data's CRC and then its length, 4 bytes each.
    auto flipped = [&whole](size_t at) {
        std::string bytes = whole;
        bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
        return bytes;
    };

    enum class source { bytes, gzip_of_garbage, zeros_after_end, fifo, none };
    struct failure_case {
        const char* what;
        source archive;
        std::string archive_bytes;  // for source::bytes
        std::string directory;
        const char* named;
    };
    const std::string missing_dir = root_.path() + "/no-such-dir";
    const failure_case cases[] = {
        {"truncated", source::bytes, whole.substr(0, whole.size() / 2), dir(), "pkg.tgz"},
        {"cut at the end", source::bytes, whole.substr(0, whole.size() - 20), dir(), "pkg.tgz"},
        {"corrupt", source::bytes, std::string(4096, 'Z'), dir(), "pkg.tgz"},
        {"flipped byte", source::bytes, flipped(whole.size() / 2), dir(), "pkg.tgz"},
        {"bad CRC", source::bytes, flipped(whole.size() - 8), dir(), "pkg.tgz"},
        {"bad length", source::bytes, flipped(whole.size() - 4), dir(), "pkg.tgz"},
        {"trailing garbage", source::bytes, whole + "garbage", dir(), "pkg.tgz"},
        {"gzip of garbage", source::gzip_of_garbage, "", dir(), "pkg.tgz"},
        // Data behind the end-of-archive blocks would be inflated in full: 8 MiB of zeros.
        {"data after the end", source::zeros_after_end, "", dir(), "pkg.tgz"},
        // A FIFO with no writer: a blocking open would never return.
        {"FIFO", source::fifo, "", dir(), "pkg.tgz"},
        {"missing archive", source::none, "", dir(), "pkg.tgz"},
        {"missing directory", source::bytes, whole, missing_dir, "no-such-dir"},
    };
    for (const failure_case& c : cases) {
        ASSERT_TRUE(remove(package().c_str()) == 0 || errno == ENOENT) << strerror(errno);
        if (c.archive == source::bytes) {
            write_file(package(), c.archive_bytes);
        } else if (c.archive == source::gzip_of_garbage) {
            command_result gz =
                run_here({"sh", "-c", "head -c 5000 /dev/zero | tr '\\0' q | gzip > pkg.tgz"});
            ASSERT_EQ(gz.status, 0);
        } else if (c.archive == source::zeros_after_end) {
            write_file(root_.path() + "/good.tgz", whole);
            command_result gz = run_here(
                {"sh", "-c", "{ gzip -dc good.tgz; head -c 8388608 /dev/zero; } | gzip > pkg.tgz"});
            ASSERT_EQ(gz.status, 0);
        } else if (c.archive == source::fifo) {
            ASSERT_EQ(mkfifo(package().c_str(), 0644), 0) << strerror(errno);
        }
        // Under a deadline, so that a tool that hangs fails the case (status 124) instead
        // of holding up the suite.
        command_result r = run_here(
            {"timeout", "-k", "2", "20", TOOL, "tar", "-zxf", package(), "-C", c.directory});
        EXPECT_NE(r.status, 0) << c.what;
        EXPECT_NE(r.status, 124) << c.what << ": timed out";
        EXPECT_EQ(r.out, "") << c.what;
        ASSERT_EQ(split_lines(r.err).size(), 1u) << c.what << ": " << r.err;
        EXPECT_NE(r.err.find(c.named), std::string::npos) << c.what << ": " << r.err;
        EXPECT_EQ(tree_snapshot(dir()), before) << c.what;
        EXPECT_FALSE(path_exists(missing_dir)) << c.what;
    }
}

// Files f0, f1, ... each holding data.
std::vector<archive_item> many_files(int count, const std::string& data) {
    std::vector<archive_item> files;
    for (int i = 0; i < count; ++i)
        files.push_back(file_entry("f" + std::to_string(i), data));
    return files;
}

// Packages on a small file system of their own (a tmpfs mounted in the project's sandbox): a
// package that does not fit is refused within a second and the directory keeps what it held;
// a sparse file counts by its data only.
TEST_F(ExtractTest, SpaceIsCheckedBeforeAnythingIsWritten) {
    constexpr int EXIT_NO_SANDBOX = 77;
    constexpr size_t MIB = 1 << 20;
    const std::string src = root_.path() + "/src";
    ASSERT_EQ(mkdir(src.c_str(), 0755), 0);
    struct space_case {
        const char* what;
        const char* mount_options;
        std::function<void()> make_package;
        const char* files_after;  // `name size` lines of dir/
    };
    const char* const UNCHANGED = "big 3\n";
    const space_case cases[] = {
        {"files larger than the file system", "size=64k",
         [&] {
             ASSERT_TRUE(write_archive(
                 package(), {file_entry("small", "new\n"), file_entry("big", noise(200000))}));
         },
         UNCHANGED},
        {"a block for each small file", "size=64k",
         [&] { ASSERT_TRUE(write_archive(package(), many_files(20, "x"))); }, UNCHANGED},
        {"more entries than inodes", "size=1m,nr_inodes=8",
         [&] { ASSERT_TRUE(write_archive(package(), many_files(10, ""))); }, UNCHANGED},
        // 2048 gzip members, each a 1 MiB file of zeros: 2 GiB once inflated.
        {"2 GiB bomb", "size=64k",
         [&] {
             std::string entry = tar_stream({file_entry("f", std::string(MIB, '\0'))}, 2 * MIB);
             ASSERT_GT(entry.size(), 512 + MIB);
             const std::string member = gzip_member(entry.substr(0, 512 + MIB));
             std::string bomb;
             for (int i = 0; i < 2048; ++i)
                 bomb += member;
             write_file(package(), bomb + gzip_member(std::string(1024, '\0')));
         },
         UNCHANGED},
        {"sparse file", "size=64k",
         [&] {
             // A hole of 1 GiB with 4 bytes of data in it.
             write_file(src + "/sparse", "");
             ASSERT_EQ(truncate((src + "/sparse").c_str(), 1024 * MIB), 0);
             std::fstream(src + "/sparse", std::ios::in | std::ios::out | std::ios::binary)
                 .seekp(4096)
                 .write("data", 4);
             command_result r = run_here({"tar", "-S", "-czf", package(), "-C", src, "sparse"});
             ASSERT_EQ(r.status, 0) << r.err;
         },
         "big 3\nsparse 1073741824\n"},
    };
    const std::string c = capture_.path();
    const std::string script =
        "mount -t tmpfs -o \"$5\" m01-load-test \"$1\" || exit 1\n"
        "set -e\n"
        "printf old > \"$1/big\"\n"
        "start=$(date +%s%N)\n"
        "status=0\n"
        "\"$2\" tar -zxf \"$3\" -C \"$1\" 2>\"$4/tool-err\" || status=$?\n"
        "echo $(( ($(date +%s%N) - start) / 1000000 )) > \"$4/ms\"\n"
        "echo $status > \"$4/status\"\n"
        "find \"$1\" -mindepth 1 -printf '%P %s\\n' | sort > \"$4/files\"\n";
    for (const space_case& sc : cases) {
        sc.make_package();
        command_result r = run_here({WATCHD_SANDBOX, "sh", "-c", script, "sh", dir(), TOOL,
                                     package(), c, sc.mount_options});
        if (r.status == EXIT_NO_SANDBOX)
            GTEST_SKIP() << "no sandbox here: " << r.err;
        ASSERT_EQ(r.status, 0) << sc.what << ": " << r.err;
        EXPECT_EQ(read_file(c + "/files"), sc.files_after) << sc.what;
        std::vector<std::string> err = split_lines(read_file(c + "/tool-err"));
        if (sc.files_after != UNCHANGED) {
            EXPECT_EQ(read_file(c + "/status"), "0\n") << sc.what;
            EXPECT_EQ(read_file(c + "/tool-err"), "") << sc.what;
            continue;
        }
        EXPECT_EQ(read_file(c + "/status"), "1\n") << sc.what;
        EXPECT_LT(std::stol(read_file(c + "/ms")), 1000) << sc.what;
        EXPECT_EQ(err.size(), 1u) << sc.what;
        EXPECT_NE(read_file(c + "/tool-err").find("No space left on device"), std::string::npos)
            << sc.what;
    }
}

// Replacing a program that runs from the directory: written in place it would fail with
// ETXTBSY (or corrupt the running image); a renamed temporary file replaces it cleanly.
TEST_F(ExtractTest, ReplacesARunningProgram) {
    const std::string prog = dir() + "/prog";
    write_file(prog, read_file("/bin/sleep"), 0755);
    scoped_child running(fork());
    if (running.pid() == 0) {
        execl(prog.c_str(), "prog", "60", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(running.pid(), 0);
    // Wait until the program's image is in use, so that an in-place write would be refused.
    const std::string exe_link = "/proc/" + std::to_string(running.pid()) + "/exe";
    ASSERT_TRUE(wait_until([&] { return link_target(exe_link) == prog; }, std::chrono::seconds(5)))
        << prog << " never started";
    ASSERT_TRUE(write_archive(package(), {file_entry("prog", "#!/bin/sh\nexit 7\n", 0755)}));

    command_result r = extract();

    EXPECT_EQ(waitpid(running.pid(), nullptr, WNOHANG), 0)
        << "the running program must be left alone";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(prog), "#!/bin/sh\nexit 7\n");
    EXPECT_EQ(run_here({prog}).status, 7);
}

// No setuid, setgid or sticky bit is installed, and the directory's own entry (`./`) leaves
// its mode and times alone.
TEST_F(ExtractTest, ModesLoseSpecialBitsAndTheDirectoryKeepsItsOwn) {
    ASSERT_EQ(chmod(dir().c_str(), 0755), 0);
    ASSERT_TRUE(write_archive(
        package(),
        {other_entry(archive_item::directory, "./", 0700), file_entry("setuid", "x", 04755),
         file_entry("setgid", "x", 02755), other_entry(archive_item::directory, "sticky", 01777)}));
    command_result r = extract();
    EXPECT_EQ(r.status, 0) << r.err;
    const std::pair<std::string, mode_t> modes[] = {
        {"", 0755}, {"/setuid", 0755}, {"/setgid", 0755}, {"/sticky", 0777}};
    for (const auto& [name, mode] : modes) {
        struct stat st;
        ASSERT_EQ(stat((dir() + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 07777, mode) << name;
        if (name.empty()) {
            EXPECT_NE(st.st_mtime, 1600000000) << "the package's time on the directory";
        }
    }
}

// A staging directory that a cut-short run left behind, half made and with paths that pass
// PATH_MAX, is removed by the next run.
TEST_F(ExtractTest, LeftoverStagingDirectoryIsRemoved) {
    const std::string staging = dir() + "/.m01_load.new";
    ASSERT_EQ(mkdir(staging.c_str(), 0700), 0);
    int fd = open(staging.c_str(), O_RDONLY | O_DIRECTORY);
    for (int depth = 0; depth < 40 && fd >= 0; ++depth) {
        const std::string name(200, static_cast<char>('a' + depth % 26));
        int sub = mkdirat(fd, name.c_str(), 0700) == 0 ? openat(fd, name.c_str(), O_RDONLY) : -1;
        close(fd);
        fd = sub;
    }
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(mkdir((staging + "/sub").c_str(), 0500), 0);
    write_file(staging + "/sub/half-written", "x");
    ASSERT_TRUE(write_archive(package(), {file_entry("f", "data\n")}));
    command_result r = extract();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(dir_entries(dir()), (std::vector<std::string>{"f"}));
}

// The calls of each name in a trace of the tool, as (calls before the move into place, calls
// during it). The move starts after the fsync of the staged package, the last fsync before the
// journal's first link, and ends with the fsync that makes its commit mark durable; what
// follows only removes the staging directory.
std::pair<int, int> calls_in_move(const std::string& trace, const std::string& name) {
    std::vector<std::string> calls;
    std::vector<std::string> lines;
    for (const std::string& line : split_lines(trace)) {
        const size_t start = line.find_first_not_of("0123456789 ");
        const size_t open = line.find('(');
        if (start != std::string::npos && open != std::string::npos && open > start) {
            calls.push_back(line.substr(start, open - start));
            lines.push_back(line);
        }
    }
    const auto first =
        std::find(std::make_reverse_iterator(std::find(calls.begin(), calls.end(), "linkat")),
                  calls.rend(), "fsync")
            .base();
    const auto mark = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("\"committed\"") != std::string::npos;
    });
    auto last = std::find(calls.begin() + (mark - lines.begin()), calls.end(), "fsync");
    if (last == calls.end() || first >= last)
        return {0, 0};
    ++last;
    return {static_cast<int>(std::count(calls.begin(), first, name)),
            static_cast<int>(std::count(first, last, name))};
}

// Each system call of the move into place failed once, at every point (strace's fault
// injection): the tool ends with 1 and one line, and every step done is undone, so the
// directory holds exactly what it held: the same entries, inodes, modes and contents (a
// merged directory's times aside). The same after a cut at each rename, rolled back by the
// next run (on a package that is then refused), which is itself cut at its first rename once.
TEST_F(ExtractTest, EachFailedStepOfTheMoveIsUndone) {
    auto make_old_dir = [this] {
        ASSERT_EQ(mkdir((dir() + "/lib").c_str(), 0750), 0);
        write_file(dir() + "/plugin.txt", "old plugin\n");
        write_file(dir() + "/conf", "old conf\n", 0600);
        write_file(dir() + "/lib/a.so", "old a\n", 0755);
        write_file(dir() + "/untouched", "kept\n");
        ASSERT_EQ(symlink("plugin.txt", (dir() + "/link").c_str()), 0);
    };
    // Files replaced and added, at the top and in a merged directory, a new directory, a
    // symbolic link replaced by a file and a new one.
    ASSERT_TRUE(write_archive(
        package(),
        {file_entry("plugin.txt", "new plugin\n"), file_entry("conf", "new conf\n"),
         other_entry(archive_item::directory, "lib", 0755), file_entry("lib/a.so", "new a\n", 0755),
         file_entry("lib/b.so", "new b\n"), other_entry(archive_item::directory, "bin", 0755),
         file_entry("bin/eng", "#!/bin/sh\n", 0755), file_entry("link", "a file\n"),
         symlink_entry("newlink", "plugin.txt")}));
    make_old_dir();
    const std::string trace = capture_.path() + "/trace";
    // LeakSanitizer cannot run under ptrace; the untraced tests check for leaks.
    const std::vector<std::string> strace = {
        "strace", "-qq", "-o", trace, "-E", "ASAN_OPTIONS=detect_leaks=0", "-e"};
    auto traced = [&](const std::string& options, const std::string& archive) {
        std::vector<std::string> argv = strace;
        argv.insert(argv.end(), {options, TOOL, "tar", "-zxf", archive, "-C", dir()});
        return run_here(argv);
    };
    const std::string bad = root_.path() + "/bad.tgz";
    write_file(bad, "not a package");
    const std::string cut = "signal=SIGKILL";
    const std::pair<const char*, std::string> faults[] = {
        {"renameat", "error=EIO"},   {"linkat", "error=EIO"},    {"fsync", "error=EIO"},
        {"mkdirat", "error=ENOSPC"}, {"openat", "error=ENOSPC"}, {"renameat", cut}};
    command_result dry = traced("trace=renameat,linkat,fsync,mkdirat,openat", package());
    ASSERT_EQ(dry.status, 0) << dry.err;
    ASSERT_EQ(read_file(dir() + "/lib/b.so"), "new b\n");
    const std::string dry_trace = read_file(trace);
    for (const auto& [syscall, fault] : faults) {
        const auto [before, during] = calls_in_move(dry_trace, syscall);
        EXPECT_GT(during, 0) << syscall << " is never called during the move";
        for (int n = before + 1; n <= before + during; ++n) {
            const std::string label = std::string(syscall) + " #" + std::to_string(n);
            ASSERT_EQ(system(("rm -rf '" + dir() + "' && mkdir '" + dir() + "'").c_str()), 0);
            make_old_dir();
            const std::string old_state = tree_snapshot(dir(), false);
            command_result r = traced(
                "inject=" + std::string(syscall) + ":" + fault + ":when=" + std::to_string(n),
                package());
            if (fault == cut) {
                EXPECT_EQ(r.status, 128 + SIGKILL) << label;
                EXPECT_EQ(traced("inject=renameat:" + cut + ":when=1", bad).status, 128 + SIGKILL);
                EXPECT_EQ(traced("trace=none", bad).status, 1) << label;
            } else {
                EXPECT_EQ(r.status, 1) << label;
                EXPECT_EQ(split_lines(r.err).size(), 1u) << label << ": " << r.err;
            }
            EXPECT_EQ(tree_snapshot(dir(), false), old_state) << label;
        }
    }
}

// Tar damage inside an intact gzip stream that libarchive reads past with a warning (a pax
// path record of the wrong length): the package is refused with the warning on stderr.
TEST_F(ExtractTest, ReaderWarningsRefuseThePackage) {
    std::string tar = tar_stream({file_entry(std::string(120, 'n'), "data\n")}, 1 << 16);
    const size_t record = tar.find(" path=");
    ASSERT_NE(record, std::string::npos);
    tar[record - 1] = '9';  // the record's length
    write_file(package(), gzip_member(tar));
    write_file(dir() + "/kept", "old\n");
    const std::string before = tree_snapshot(dir());
    command_result r = extract();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("malformed pax"), std::string::npos) << r.err;
    EXPECT_EQ(tree_snapshot(dir()), before);
}

// A pax record holds a name in UTF-8, which the C locale (the daemon's) cannot represent: that
// is no damage, and the name lands byte for byte.
TEST_F(ExtractTest, UTF8NamesInPaxRecordsInstallInTheCLocale) {
    const std::string name = "caf\xc3\xa9-\xe2\x82\xac.txt";
    ASSERT_EQ(run_here({"sh", "-c",
                        "mkdir src && echo x > src/\"$0\" && LC_ALL=C.UTF-8 tar "
                        "--format=pax -czf pkg.tgz -C src .",
                        name})
                  .status,
              0);
    command_result r = run_here({"env", "LC_ALL=C", TOOL, "tar", "-zxf", package(), "-C", dir()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir() + "/" + name), "x\n");
}

// ---- hostile archives ----

// A name or link target that starts with ROOT starts with the test's root directory there.
const std::string ROOT = "<root>";

struct hostile_case {
    const char* name;
    std::vector<archive_item> entries;
    std::vector<std::string> refused;  // entry names that must be reported
    // A symbolic link already in dir/ before the extraction, pointing into the test's root
    // directory; none when its name is null.
    const char* link_in_dir = nullptr;
    const char* link_target = nullptr;
};

void PrintTo(const hostile_case& c, std::ostream* os) {
    *os << c.name;
}

class HostileArchive : public ExtractTest, public ::testing::WithParamInterface<hostile_case> {};

// A package with any refused entry is refused whole: the good entries around the refused
// ones are not installed either, and the directory keeps exactly what it held.
TEST_P(HostileArchive, NothingOutsideTheDirectoryChanges) {
    const hostile_case& c = GetParam();
    write_file(dir() + "/kept", "old\n");
    if (c.link_in_dir != nullptr) {
        const std::string link = dir() + "/" + c.link_in_dir;
        ASSERT_EQ(symlink((root_.path() + "/" + c.link_target).c_str(), link.c_str()), 0)
            << link << ": " << strerror(errno);
    }
    std::vector<archive_item> entries = {file_entry("before", "b\n")};
    for (archive_item e : c.entries) {
        for (std::string* name : {&e.path, &e.target})
            if (name->rfind(ROOT, 0) == 0)
                name->replace(0, ROOT.size(), root_.path());
        entries.push_back(e);
    }
    entries.push_back(file_entry("after", "a\n"));
    ASSERT_TRUE(write_archive(package(), entries));
    const std::string outside_before = tree_snapshot(outside());
    const std::string dir_before = tree_snapshot(dir());
    const std::vector<std::string> names_before = dir_entries(root_.path());

    command_result r = extract();

    EXPECT_EQ(tree_snapshot(outside()), outside_before);
    EXPECT_EQ(read_file(outside() + "/victim"), "original\n");
    EXPECT_EQ(dir_entries(root_.path()), names_before);
    EXPECT_EQ(r.out, "");
    std::vector<std::string> lines = split_lines(r.err);
    if (c.refused.empty()) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_file(dir() + "/before"), "b\n");
        EXPECT_EQ(read_file(dir() + "/after"), "a\n");
        struct stat st;
        EXPECT_TRUE(lstat((dir() + "/victim").c_str(), &st) == 0 && S_ISREG(st.st_mode));
        EXPECT_EQ(r.err, "");
        return;
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(tree_snapshot(dir()), dir_before);
    ASSERT_EQ(lines.size(), c.refused.size()) << r.err;
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_NE(lines[i].find(c.refused[i]), std::string::npos) << lines[i];
}

// Sixteen directories of 250 characters each: a name below them passes PATH_MAX once staged.
std::string deep_path() {
    std::string path(250, 'd');
    for (int i = 0; i < 15; ++i)
        path += "/" + std::string(250, 'd');
    return path;
}

INSTANTIATE_TEST_SUITE_P(
    EachEscape, HostileArchive,
    ::testing::Values(
        hostile_case{"AbsoluteName",
                     {file_entry(ROOT + "/outside/victim", "evil\n"),
                      file_entry(ROOT + "/outside/new", "evil\n")},
                     {"/outside/victim", "/outside/new"}},
        hostile_case{
            "DotDotComponent",
            {file_entry("../outside/victim", "evil\n"),
             file_entry("sub/../../outside/new", "evil\n"), file_entry("../escaped", "evil\n")},
            {"../outside/victim", "sub/../../outside/new", "../escaped"}},
        hostile_case{"ThroughSymlinkAlreadyInDir",
                     {file_entry("link/victim", "evil\n"), file_entry("link/new", "evil\n")},
                     {"link/victim", "link/new"},
                     "link",
                     "outside"},
        hostile_case{"ThroughSymlinkFromSameArchive",
                     {symlink_entry("up", "../outside"), file_entry("up/victim", "evil\n"),
                      symlink_entry("abs", ROOT + "/outside"), file_entry("abs/new", "evil\n")},
                     {"up/victim", "abs/new"}},
        hostile_case{"HardLinkToOutside",
                     {hardlink_entry("h-abs", ROOT + "/outside/victim"),
                      hardlink_entry("h-dotdot", "../outside/victim"),
                      symlink_entry("up", "../outside"), hardlink_entry("h-via-link", "up/victim")},
                     {"h-abs", "h-dotdot", "h-via-link"}},
        hostile_case{
            "ReservedStagingName",
            {file_entry(".m01_load.new/x", "evil\n"), file_entry("./.m01_load.new", "evil\n")},
            {".m01_load.new/x", "./.m01_load.new"}},
        hostile_case{"SpecialFiles",
                     {other_entry(archive_item::fifo, "fifo", 0644),
                      other_entry(archive_item::device, "dev/null", 0666)},
                     {"fifo", "dev/null"}},
        // A hard link's target must come with the package: data for a link to a file that
        // only the directory holds would be written into that file.
        hostile_case{"HardLinkToFileInDirOrNamedSlash",
                     {hardlink_entry("h", "kept"), other_entry(archive_item::directory, "/", 0755)},
                     {"h", "m01_load: tar: /: absolute"}},
        // libarchive skips a hard link to itself with a warning: the entry would vanish.
        hostile_case{"HardLinkToItself",
                     {hardlink_entry("h", "h")},
                     {"h: Skipping hardlink pointing to itself"}},
        // The daemon's files may come only as regular files; nothing may take the name of
        // their temporaries.
        hostile_case{
            "DaemonOwnNames",
            {other_entry(archive_item::directory, ".bootchk.tmp", 0755),
             file_entry("./init.bin.tmp/x", "evil\n"), file_entry("m01_sig.bin.tmp", "evil\n"),
             other_entry(archive_item::directory, ".bootchk", 0755),
             symlink_entry(".//init.bin", "x"), file_entry("m01_sig.bin", "sig\n"),
             hardlink_entry("init.bin", "m01_sig.bin")},
            {".bootchk.tmp", "init.bin.tmp/x", "m01_sig.bin.tmp", ".bootchk", ".//init.bin",
             "init.bin"}},
        hostile_case{
            "NamesTooLongToStage",
            {file_entry(deep_path() + "/" + std::string(70, 'f'), "x"),
             other_entry(archive_item::directory, deep_path() + "/" + std::string(60, 'e'), 0755)},
            {std::string(70, 'f') + ": name too long", std::string(60, 'e') + "/: name too long"}},
        // A symbolic link in the place of a file is replaced, not written through.
        hostile_case{"FileOverSymlinkInDir",
                     {file_entry("victim", "replaced\n")},
                     {},
                     "victim",
                     "outside/victim"}),
    [](const ::testing::TestParamInfo<hostile_case>& info) { return info.param.name; });

}  // namespace
