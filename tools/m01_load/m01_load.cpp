// m01_load: the daemon's package extraction tool, a multi-call program whose only applet
// is tar. The daemon runs `./m01_load tar -zxf PACKAGE -C DIR` and takes status 0 as a
// complete installation.
#include <locale.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "extract.h"

using namespace m01_load;

namespace {

constexpr const char* USAGE_LINE = "usage: m01_load tar -zxf ARCHIVE [-C DIR]";
constexpr int EXIT_USAGE = 2;

// Refuses the call: problem is a format that names subject (an option or an argument) at its
// %s, or does not name it.
[[gnu::format(printf, 1, 0)]] int refuse(const char* problem, const char* subject) {
    dprintf(STDERR_FILENO, "m01_load: tar: ");
    dprintf(STDERR_FILENO, problem, subject);
    dprintf(STDERR_FILENO, "; %s\n", USAGE_LINE);
    return EXIT_USAGE;
}

// Reads the tar applet's arguments (argv[0] is the applet's name): -x, -z, -p (a no-op:
// modes are always kept), -f ARCHIVE and -C DIR, bundled or separate, in any order, up to
// the first operand or "--". Member names would select entries; the daemon never names any.
// A value that is empty or given twice is refused.
int run_tar(int argc, char** argv) {
    tar_request request;
    bool extract = false;
    // '+': stop at the first operand whatever POSIXLY_CORRECT says. ':' first: a missing value
    // comes back as ':' and getopt prints nothing of its own.
    for (int option; (option = getopt(argc, argv, "+:xzpf:C:")) != -1;) {
        // A missing value (':') and an unknown option ('?') leave the option in optopt.
        const char name[] = {
            '-', static_cast<char>(option == ':' || option == '?' ? optopt : option), '\0'};
        const char** value = option == 'f'   ? &request.archive
                             : option == 'C' ? &request.directory
                                             : nullptr;
        if (option == ':' || (value != nullptr && optarg[0] == '\0'))
            return refuse("option %s needs a value", name);
        if (value != nullptr && *value != nullptr)
            return refuse("option %s given twice", name);
        if (value != nullptr)
            *value = optarg;
        else if (option == 'x')
            extract = true;
        else if (option == 'z')
            request.gzip = true;
        else if (option != 'p')
            return refuse("unknown option %s", name);
    }
    if (optind < argc)
        return refuse("unexpected argument %s", argv[optind]);
    if (!extract)
        return refuse("only extraction (-x) is supported", "");
    if (request.archive == nullptr)
        return refuse("no archive given (-f ARCHIVE)", "");
    return extract_archive(request);
}

}  // namespace

int main(int argc, char** argv) {
    // Pax records hold names in UTF-8, which the C locale the daemon starts the tool in cannot
    // represent: libarchive would warn, and a warning refuses the package. Names are bytes on
    // disk either way.
    (void)setlocale(LC_CTYPE, "C.UTF-8");
    if (argc < 2 || strcmp(argv[1], "tar") != 0) {
        dprintf(STDERR_FILENO, "%s\n", USAGE_LINE);
        return EXIT_USAGE;
    }
    return run_tar(argc - 1, argv + 1);
}
