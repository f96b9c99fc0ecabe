#include "base/shell.h"

#include <stdio.h>
#include <stdlib.h>

namespace watchd {

void set_signal_disposition(int sig, void (*handler)(int), struct sigaction* saved) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, saved);
}

int run_shell_command(const char* command) {
    fflush(stdout);
    struct sigaction saved;
    set_signal_disposition(SIGPIPE, SIG_DFL, &saved);
    int status = system(command);
    sigaction(SIGPIPE, &saved, nullptr);
    return status;
}

}  // namespace watchd
