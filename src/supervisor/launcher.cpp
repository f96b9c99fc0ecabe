#include "supervisor/launcher.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "output.h"
#include "supervisor/startup.h"
#include "text.h"

namespace watchd {
namespace {

// The program must not inherit what the daemon ignores (SIGPIPE, and whatever its own starter
// ignored or blocked): an ignored SIGTERM would let it outlive the daemon.
void reset_signal_state() {
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    // SIGKILL, SIGSTOP and the C library's own signals refuse the change; they are at their
    // defaults anyway.
    for (int sig = 1; sig < NSIG; ++sig)
        sigaction(sig, &default_action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Runs in the forked child only; never returns. It ends with _exit: exit handlers and buffers
// belong to the daemon.
[[noreturn]] void become_program(pid_t daemon_pid, const char* path, int32_t restart_code,
                                 int32_t debug, int32_t extended) {
    // Before the parent-death signal is armed, so that it cannot arrive ignored or blocked.
    reset_signal_state();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The daemon may have died before the line above took effect: nobody would watch us.
    if (getppid() != daemon_pid)
        _exit(EXIT_EXEC_FAILED);
    close_inherited_fds(3);
    child_args args;
    build_child_args(path, restart_code, debug, extended, &args);
    execv(path, const_cast<char* const*>(args.argv));
    say("failed to exec %s, error is %s\n", path, strerror(errno));  // flushed at once
    _exit(EXIT_EXEC_FAILED);
}

}  // namespace

void build_child_args(const char* path, int32_t restart_code, int32_t debug, int32_t extended,
                      child_args* args) {
    int n = 0;
    args->argv[n++] = path;
    if (restart_code != 0) {
        format_text(args->restart_text, sizeof args->restart_text, "%d", restart_code);
        args->argv[n++] = "-r";
        args->argv[n++] = args->restart_text;
    }
    if (debug == 1)
        args->argv[n++] = "-d";
    if (extended == 1) {
        args->argv[n++] = "-T";
        args->argv[n++] = RUNTIME_DIR;
        args->argv[n++] = "-D";
        args->argv[n++] = DATA_DIR;
        args->argv[n++] = "-O";
        args->argv[n++] = PLUGIN_ODM_TAG;
    }
    while (n < MAX_CHILD_ARGS)
        args->argv[n++] = nullptr;
}

int format_program_path(const char* name, int32_t plugin_mode, char (&path)[DATA_PATH_CAPACITY]) {
    return plugin_mode == 1 ? format_text(path, sizeof path, "%s/%s", DATA_DIR, name)
                            : format_text(path, sizeof path, "%s", name);
}

pid_t spawn_child(const char* path, int32_t restart_code, int32_t debug, int32_t extended) {
    const pid_t daemon_pid = getpid();
    flush_output();
    pid_t pid = fork();
    if (pid < 0) {
        say_line("failed to fork");
        return -1;
    }
    if (pid == 0)
        become_program(daemon_pid, path, restart_code, debug, extended);
    return pid;
}

void start_slot(watch_state* state, int index, int32_t restart_code) {
    proc_slot& slot = state->slots[index];
    char path[DATA_PATH_CAPACITY];
    // A slot name fits a data-directory path by construction; this cannot fail.
    if (format_program_path(slot.name, state->plugin_mode, path) < 0) {
        slot.pid = -1;
        return;
    }
    slot.pid = spawn_child(path, restart_code, state->debug_flag, state->plugin_mode == 1);
}

}  // namespace watchd
