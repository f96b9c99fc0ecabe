// watchd: keeps the configured programs running. main prepares the process and hands over
// to the supervision cycle for good.
#include "base/output.h"
#include "base/shell.h"
#include "supervisor/config.h"
#include "supervisor/cycle.h"
#include "supervisor/launcher.h"
#include "supervisor/startup.h"
#include "supervisor/state.h"

using namespace watchd;

namespace {

// The process lives as long as the state; it is too large for a router's small stack. Static
// storage starts zeroed, and its pages stay shared with the zero page until written: clearing
// it again would dirty all 20 KiB, where a start with one program writes only the pages its
// paths and name use.
watch_state state;

}  // namespace

int main(int argc, char** argv) {
    close_inherited_fds();
    open_missing_standard_streams();
    if (argc < 1 || argv[0] == nullptr || format_run_path(argv[0], state.run_path) < 0) {
        say_line("failed to init daemon");
        return 0;
    }
    enter_program_dir(argv[0]);
    if (argc > 1)
        state.debug_flag = 1;
    if (ensure_uci_dir() < 0)
        return 0;
    if (load_watch_config(CONFIG_FILE, &state) < 0) {
        say_line("failed to init daemon");
        return 0;
    }
    if (register_instance(argv[0], &state) < 0)
        return 0;
    set_signal_disposition(SIGCHLD, SIG_DFL);
    // A message to a standard output whose reader is gone must not end the supervision.
    set_signal_disposition(SIGPIPE, SIG_IGN);
    watch_cycle(&state);
    return 0;
}
