// watchd-status: what a watchd daemon is doing, asked without disturbing it. Reads the run
// file, /proc, the daemon's config, the boot-check record and the package path; writes,
// locks, creates and removes nothing.
#include <stdio.h>
#include <string.h>

#include "base/text.h"
#include "status/report.h"

using namespace watchd;

namespace {

constexpr const char* DEFAULT_NAME = "watchd";
constexpr const char* USAGE = "usage: watchd-status [-n NAME] [--json]";

struct options {
    const char* name = DEFAULT_NAME;
    bool json = false;
};

bool parse_options(int argc, char** argv, options* out) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--json") == 0) {
            out->json = true;
        } else if (strcmp(argv[i], "-n") == 0 && i + 1 < argc) {
            out->name = argv[++i];
        } else {
            return false;
        }
    }
    return true;
}

// The report is large for a router's stack: it lives as long as the process.
status_report report;

}  // namespace

int main(int argc, char** argv) {
    options opts;
    if (!parse_options(argc, argv, &opts)) {
        fprintf(stderr, "%s\n", USAGE);
        return static_cast<int>(status_result::unknown);
    }
    const status_result result = gather_status(opts.name, &report);
    if (result == status_result::unknown) {
        fprintf(stderr, "watchd-status: %s\n", report.facts.problem);
        return static_cast<int>(result);
    }
    json_ptr tree = status_tree(opts.name, &report);
    if (!tree || (opts.json && print_json(tree.get()) < 0)) {
        fprintf(stderr, "watchd-status: no memory for the JSON text\n");
        return static_cast<int>(status_result::unknown);
    }
    if (!opts.json)
        print_table(tree.get());
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "watchd-status: cannot write the report\n");
        return static_cast<int>(status_result::unknown);
    }
    return static_cast<int>(result);
}
