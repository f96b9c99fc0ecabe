#include "base/shell.h"

#include <signal.h>
#include <stdlib.h>

#include "base/output.h"

namespace watchd {

int run_shell_command(const char* command) {
    flush_output();
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    struct sigaction saved;
    sigaction(SIGPIPE, &default_action, &saved);
    int status = system(command);
    sigaction(SIGPIPE, &saved, nullptr);
    return status;
}

}  // namespace watchd
