// m01_load: the daemon's package extraction tool, a multi-call program whose only applet
// is tar. The daemon runs `./m01_load tar -zxf PACKAGE -C DIR` and takes status 0 as a
// complete installation.
#include <locale.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "extract.h"

using namespace m01_load;

namespace {

constexpr const char* USAGE_LINE = "usage: m01_load tar -zxf ARCHIVE [-C DIR]";
constexpr int EXIT_USAGE = 2;

// '+': stop at the first operand whatever POSIXLY_CORRECT says. ':' first: a missing value
// comes back as ':' and getopt prints nothing of its own.
constexpr const char* TAR_OPTIONS = "+:xzpf:C:";

[[gnu::format(printf, 1, 2)]] int refuse(const char* problem, ...) {
    va_list args;
    va_start(args, problem);
    fputs("m01_load: tar: ", stderr);
    vfprintf(stderr, problem, args);
    fprintf(stderr, "; %s\n", USAGE_LINE);
    va_end(args);
    return EXIT_USAGE;
}

// Stores an option's value; an empty or second value is refused.
int take_value(const char** slot, int option, const char* value) {
    if (value[0] == '\0')
        return refuse("option -%c needs a value", option);
    if (*slot != nullptr)
        return refuse("option -%c given twice", option);
    *slot = value;
    return 0;
}

// Reads the tar applet's arguments (argv[0] is the applet's name): -x, -z, -p (a no-op:
// modes are always kept), -f ARCHIVE and -C DIR, bundled or separate, in any order, up to
// the first operand or "--". Member names would select entries; the daemon never names any.
int run_tar(int argc, char** argv) {
    tar_request request;
    bool extract = false;
    for (int option; (option = getopt(argc, argv, TAR_OPTIONS)) != -1;) {
        int refused = 0;
        if (option == 'x')
            extract = true;
        else if (option == 'z')
            request.gzip = true;
        else if (option == 'f')
            refused = take_value(&request.archive, option, optarg);
        else if (option == 'C')
            refused = take_value(&request.directory, option, optarg);
        else if (option == ':')
            refused = refuse("option -%c needs a value", optopt);
        else if (option != 'p')
            refused = refuse("unknown option -%c", optopt);
        if (refused != 0)
            return refused;
    }
    if (optind < argc)
        return refuse("unexpected argument %s", argv[optind]);
    if (!extract)
        return refuse("only extraction (-x) is supported");
    if (request.archive == nullptr)
        return refuse("no archive given (-f ARCHIVE)");
    return extract_archive(request);
}

}  // namespace

int main(int argc, char** argv) {
    // Pax records hold names in UTF-8, which the C locale the daemon starts the tool in cannot
    // represent: libarchive would warn, and a warning refuses the package. Names are bytes on
    // disk either way.
    (void)setlocale(LC_CTYPE, "C.UTF-8");
    if (argc < 2 || strcmp(argv[1], "tar") != 0) {
        fprintf(stderr, "%s\n", USAGE_LINE);
        return EXIT_USAGE;
    }
    return run_tar(argc - 1, argv + 1);
}
