/* The plain fork+exec start that the floor and the minimal supervisor share: the program with
 * no arguments, 127 when it cannot be executed. */
#ifndef BENCH_SPAWN_H
#define BENCH_SPAWN_H

#include <sys/types.h>
#include <unistd.h>

static pid_t start(const char* path) {
    pid_t pid = fork();
    if (pid == 0) {
        execl(path, path, (char*)NULL);
        _exit(127);
    }
    return pid;
}

#endif
