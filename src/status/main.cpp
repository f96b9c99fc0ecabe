// watchd-status: what a watchd daemon is doing, asked without disturbing it. Reads the run
// file, /proc, the daemon's config, the boot-check record and the package path; writes,
// locks, creates and removes nothing.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "status/report.h"

using namespace watchd;

namespace {

// The facts are large for a router's stack: they live as long as the process.
status_facts facts;

// Prints why the status is unknown; its exit status.
int unknown(const char* why) {
    dprintf(STDERR_FILENO, "watchd-status: %s\n", why);
    return static_cast<int>(status_result::unknown);
}

}  // namespace

int main(int argc, char** argv) {
    const char* name = "watchd";
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (strcmp(argv[i], "-n") == 0 && i + 1 < argc) {
            name = argv[++i];
        } else {
            dprintf(STDERR_FILENO, "usage: watchd-status [-n NAME] [--json]\n");
            return static_cast<int>(status_result::unknown);
        }
    }
    json_ptr record;
    const status_result result = gather_status(name, &facts, &record);
    if (result == status_result::unknown)
        return unknown(facts.problem);
    if (print_report(name, facts, &record, json) < 0)
        return unknown("no memory for the JSON text");
    if (fflush(stdout) != 0 || ferror(stdout))
        return unknown("cannot write the report");
    return static_cast<int>(result);
}
