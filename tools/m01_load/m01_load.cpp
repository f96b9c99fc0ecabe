// m01_load: the daemon's package extraction tool, a multi-call program whose only applet
// is tar. The daemon runs `./m01_load tar -zxf PACKAGE -C DIR` and takes status 0 as a
// complete installation.
#include <stdio.h>

#include "extract.h"
#include "tar_args.h"

using namespace m01_load;

namespace {

int usage() {
    fprintf(stderr, "%s\n", USAGE_LINE);
    return EXIT_USAGE;
}

int run_tar(int argc, const char* const* argv) {
    tar_request request;
    char error[ERROR_CAPACITY];
    if (parse_tar_args(argc, argv, &request, error) < 0) {
        fprintf(stderr, "%s: tar: %s; %s\n", TOOL_NAME, error, USAGE_LINE);
        return EXIT_USAGE;
    }
    return extract_archive(request);
}

}  // namespace

int main(int argc, char** argv) {
    applet_call call = select_applet(argc, argv);
    if (call.which != applet::tar)
        return usage();
    return run_tar(argc - call.name_arg, argv + call.name_arg);
}
