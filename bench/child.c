/* The supervised program of the benchmark, built static so that no loader and no preloaded
 * library stands between its exec and its first line. It appends "start NAME PID NS" to the
 * record file at once; with BENCH_ONCE set it then exits, otherwise it waits: SIGUSR1 ends it
 * with 160 (restart all), SIGUSR2 with 0 (restart alone), each after an "exit" record. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define RECORD_FILE "/tmp/bench-records"

static const char* name = "?";

static void record(const char* kind) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[128];
    int n = snprintf(line, sizeof line, "%s %s %d %lld\n", kind, name, (int)getpid(),
                     (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
    int fd = open(RECORD_FILE, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (write(fd, line, (size_t)n) != n) {
            /* a lost record shows up as a missing sample */
        }
        close(fd);
    }
}

static void end_with(int code) {
    record("exit");
    _exit(code);
}

static void on_usr1(int sig) {
    (void)sig;
    end_with(160);
}

static void on_usr2(int sig) {
    (void)sig;
    end_with(0);
}

int main(int argc, char** argv) {
    (void)argc;
    const char* slash = strrchr(argv[0], '/');
    name = slash ? slash + 1 : argv[0];
    record("start");
    if (getenv("BENCH_ONCE"))
        return 0;
    signal(SIGUSR1, on_usr1);
    signal(SIGUSR2, on_usr2);
    for (;;)
        pause();
}
