// Test-only LD_PRELOAD library for the daemon: a child that sets its parent-death signal
// first sees its parent, the daemon, killed. It waits until it has been handed to another
// parent and only then lets the real prctl() run, so the signal can no longer come and
// only the child's own check of its parent can stop it.
#include <dlfcn.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

constexpr int PARENT_WAIT_STEPS = 5000;  // of 1 ms each
constexpr useconds_t PARENT_WAIT_STEP_US = 1000;

bool read_link(const char* link, char (&path)[PATH_MAX]) {
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n < 0)
        return false;
    path[n] = '\0';
    return true;
}

// A forked daemon that has not yet executed its program runs the daemon's own executable.
// An emulator answers for /proc/self but not for thread-self: both links then name what the
// kernel runs, the emulator itself under emulation.
bool parent_runs_this_program() {
    char own[PATH_MAX];
    char parent[PATH_MAX];
    char parent_link[64];
    snprintf(parent_link, sizeof parent_link, "/proc/%d/exe", static_cast<int>(getppid()));
    return read_link("/proc/thread-self/exe", own) && read_link(parent_link, parent) &&
           strcmp(own, parent) == 0;
}

}  // namespace

extern "C" int prctl(int option, ...) {
    va_list args;
    va_start(args, option);
    const unsigned long arg2 = va_arg(args, unsigned long);
    const unsigned long arg3 = va_arg(args, unsigned long);
    const unsigned long arg4 = va_arg(args, unsigned long);
    const unsigned long arg5 = va_arg(args, unsigned long);
    va_end(args);
    using prctl_function = int (*)(int, ...);
    static const auto real = reinterpret_cast<prctl_function>(dlsym(RTLD_NEXT, "prctl"));
    if (option == PR_SET_PDEATHSIG && parent_runs_this_program()) {
        const pid_t daemon = getppid();
        kill(daemon, SIGKILL);
        for (int i = 0; i < PARENT_WAIT_STEPS && getppid() == daemon; ++i)
            usleep(PARENT_WAIT_STEP_US);
    }
    return real(option, arg2, arg3, arg4, arg5);
}
