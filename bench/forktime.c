/* Preloaded into a dynamically linked supervisor: appends "fork SUPERVISOR PID NS" to the
 * record file just before each fork() or vfork(), so that a start's cost runs from the
 * supervisor's fork to the child's first record. Only the process named by BENCH_SUPERVISOR
 * records: the shells and tools it runs inherit the preload too. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#define RECORD_FILE "/tmp/bench-records"

static void record_fork(void) {
    const char* supervisor = getenv("BENCH_SUPERVISOR");
    if (!supervisor || strcmp(supervisor, program_invocation_short_name) != 0)
        return;
    // By system call: a preloaded libfaketime must not bend this clock.
    struct timespec now;
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
    char line[128];
    int n = snprintf(line, sizeof line, "fork - %d %lld\n", (int)getpid(),
                     (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
    int fd = open(RECORD_FILE, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (write(fd, line, (size_t)n) != n) {
            /* a lost record shows up as a missing sample */
        }
        close(fd);
    }
}

pid_t fork(void) {
    static pid_t (*real_fork)(void);
    if (!real_fork)
        real_fork = (pid_t(*)(void))dlsym(RTLD_NEXT, "fork");
    record_fork();
    return real_fork();
}

/* vfork() cannot be wrapped by a C function that calls the real one and returns: the child
 * would return from the wrapper's frame, which the parent still needs. The wrapper records,
 * then jumps to the real vfork() with the caller's frame and return address in place. */
#if !defined(__x86_64__)
#error "the vfork hook is written for x86-64"
#endif
__attribute__((visibility("hidden"))) void* bench_real_vfork;

__attribute__((visibility("hidden"), used)) void bench_before_vfork(void) {
    if (!bench_real_vfork)
        bench_real_vfork = dlsym(RTLD_NEXT, "vfork");
    record_fork();
}

__asm__(".text\n"
        ".globl vfork\n"
        ".type vfork, @function\n"
        "vfork:\n"
        "    sub $8, %rsp\n" /* the call below needs a 16-byte aligned stack */
        "    call bench_before_vfork\n"
        "    add $8, %rsp\n"
        "    jmp *bench_real_vfork(%rip)\n"
        ".size vfork, .-vfork\n");
