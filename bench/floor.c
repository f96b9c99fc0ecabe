/* The fork+exec floor, static: what any supervisor must pay to start a program.
 *   floor burst N REPS CHILD       REPS times: record "fork", then fork and exec CHILD (run
 *                                  with BENCH_ONCE) N times in a row, reap them; the child
 *                                  records its start. A line "---" closes each repetition.
 *   floor killall REPS CHILD...    REPS times: start each CHILD (named by its file), wait
 *                                  for their records, then time system("killall -9 NAME")
 *                                  for each name; prints one line of microseconds per rep. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "spawn.h"

#define RECORD_FILE "/tmp/bench-records"

static long long now_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

static void record_line(const char* line) {
    int fd = open(RECORD_FILE, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (write(fd, line, strlen(line)) < 0) {
            /* a lost record shows up as a missing sample */
        }
        close(fd);
    }
}

static void record_fork(void) {
    char line[96];
    snprintf(line, sizeof line, "fork - %d %lld\n", (int)getpid(), now_ns());
    record_line(line);
}


static int burst(int n, int reps, const char* child) {
    setenv("BENCH_ONCE", "1", 1);
    for (int r = 0; r < reps; ++r) {
        for (int i = 0; i < n; ++i) {
            record_fork();
            start(child);
        }
        while (wait(NULL) > 0) {
        }
        record_line("---\n");
    }
    return 0;
}

static int count_starts(void) {
    FILE* f = fopen(RECORD_FILE, "r");
    int count = 0;
    char line[160];
    while (f && fgets(line, sizeof line, f))
        count += strncmp(line, "start ", 6) == 0;
    if (f)
        fclose(f);
    return count;
}

static int killall_reference(int reps, int n, char** children) {
    unsetenv("BENCH_ONCE");
    for (int r = 0; r < reps; ++r) {
        truncate(RECORD_FILE, 0);
        for (int i = 0; i < n; ++i)
            start(children[i]);
        while (count_starts() < n)
            usleep(1000);
        long long begin = now_ns();
        for (int i = 0; i < n; ++i) {
            const char* slash = strrchr(children[i], '/');
            char command[256];
            snprintf(command, sizeof command, "killall -9 %s >/dev/null 2>&1",
                     slash ? slash + 1 : children[i]);
            if (system(command) < 0)
                return 1;
        }
        long long spent = now_ns() - begin;
        while (wait(NULL) > 0) {
        }
        printf("%lld\n", spent / 1000);
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc >= 5 && strcmp(argv[1], "burst") == 0)
        return burst(atoi(argv[2]), atoi(argv[3]), argv[4]);
    if (argc >= 4 && strcmp(argv[1], "killall") == 0)
        return killall_reference(atoi(argv[2]), argc - 3, argv + 3);
    fprintf(stderr, "usage: floor burst N REPS CHILD | floor killall REPS CHILD...\n");
    return 2;
}
