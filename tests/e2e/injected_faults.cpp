// Test-only LD_PRELOAD library for the daemon. WATCHD_E2E_FAULTS lists the calls that fail,
// as "fork:2 pwrite:5": the second start of a child (vfork()) fails with EAGAIN, the fifth
// pwrite() with EIO
// (pread counts the same way; the daemon is built with 64-bit file offsets). Only the process that
// finds the setting at its start (the daemon) takes part; the setting is removed so that its
// children run unharmed. A forked copy of the daemon that ends through exit(), running exit
// handlers that belong to the daemon, says so on standard output.
// The C library's fortified inline pread64 would clash with the definition that replaces it.
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr const char* SETTING = "WATCHD_E2E_FAULTS";
constexpr char EXIT_HANDLER_NOTE[] = "exit handlers ran in a forked copy of the daemon\n";

enum call { FORK, PREAD, PWRITE, CALLS };
constexpr const char* CALL_NAMES[CALLS] = {"fork", "pread", "pwrite"};
constexpr int MAX_FAULTS = 8;

struct fault {
    call which;
    long at;  // the failing call's number, from 1
};

bool active = false;
pid_t daemon_pid = 0;
fault faults[MAX_FAULTS];
int fault_count = 0;
long calls_so_far[CALLS] = {};

[[gnu::constructor]] void read_setting() {
    const char* setting = getenv(SETTING);
    if (setting == nullptr)
        return;
    active = true;
    daemon_pid = getpid();
    for (const char* word = setting; *word != '\0' && fault_count < MAX_FAULTS;) {
        word += strspn(word, " ");
        for (int c = 0; c < CALLS; ++c) {
            const size_t len = strlen(CALL_NAMES[c]);
            if (strncmp(word, CALL_NAMES[c], len) == 0 && word[len] == ':')
                faults[fault_count++] = {static_cast<call>(c), atol(word + len + 1)};
        }
        word += strcspn(word, " ");
    }
    unsetenv(SETTING);
}

[[gnu::destructor]] void note_exit_handlers() {
    if (active && getpid() != daemon_pid) {
        ssize_t ignored = write(STDOUT_FILENO, EXIT_HANDLER_NOTE, sizeof EXIT_HANDLER_NOTE - 1);
        (void)ignored;
    }
}

// Counts one call; true when it is to fail.
bool injected(call which) {
    if (!active || getpid() != daemon_pid)
        return false;
    const long number = ++calls_so_far[which];
    for (int i = 0; i < fault_count; ++i) {
        if (faults[i].which == which && faults[i].at == number)
            return true;
    }
    return false;
}

template <class Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// A wrapper cannot return into the real vfork(): the child would leave this frame while the
// daemon still needs it. fork() stands in, as vfork() may: the daemon's child only executes
// a program or ends, and leaves nothing behind in memory that the daemon reads.
extern "C" pid_t vfork() {
    static const auto next = real<pid_t (*)()>("fork");
    if (injected(FORK)) {
        errno = EAGAIN;
        return -1;
    }
    return next();
}

extern "C" ssize_t pread64(int fd, void* buf, size_t count, off_t offset) {
    static const auto next = real<ssize_t (*)(int, void*, size_t, off_t)>("pread64");
    if (injected(PREAD)) {
        errno = EIO;
        return -1;
    }
    return next(fd, buf, count, offset);
}

extern "C" ssize_t pwrite64(int fd, const void* buf, size_t count, off_t offset) {
    static const auto next = real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite64");
    if (injected(PWRITE)) {
        errno = EIO;
        return -1;
    }
    return next(fd, buf, count, offset);
}
