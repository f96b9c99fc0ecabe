// Command-line handling of m01_load: which applet a call asks for, and what a `tar` call
// asks it to do. Pure decisions on argv, kept apart from the extraction so that the tests
// can call them directly; m01_load.cpp's main is the only other caller.
#pragma once

#include <stddef.h>

namespace m01_load {

enum class applet { tar, none };

constexpr const char* TOOL_NAME = "m01_load";
constexpr const char* TAR_APPLET = "tar";
constexpr const char* USAGE_LINE = "usage: m01_load tar -zxf ARCHIVE [-C DIR]";
constexpr int EXIT_USAGE = 2;
constexpr size_t ERROR_CAPACITY = 160;

// The applet a call asks for and the index in argv of the applet's name: the program's own
// base name when it is an applet's (a link named tar, index 0), else argv[1] (index 1).
struct applet_call {
    applet which = applet::none;
    int name_arg = 0;
};
applet_call select_applet(int argc, const char* const* argv);

// What a tar call asks for. The texts point into the caller's argv.
struct tar_request {
    const char* archive = nullptr;
    const char* directory = nullptr;  // null: extract into the working directory
    bool gzip = false;
};

// Parses the tar applet's arguments with getopt; argv[0] is the applet's name. Accepts -x,
// -z (also -p, a no-op: modes are always kept), -f ARCHIVE and -C DIR, bundled (-zxf, -xzf)
// or separate, values attached (-fARCHIVE, -CDIR) or following, in any order, up to the
// first operand or "--". Returns 0 and fills request, or -1 with one line of explanation in
// error (the first problem found).
[[nodiscard]] int parse_tar_args(int argc, const char* const* argv, tar_request* request,
                                 char (&error)[ERROR_CAPACITY]);

}  // namespace m01_load
