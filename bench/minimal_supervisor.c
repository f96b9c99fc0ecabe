/* The smallest supervisor that links what watchd links (the C library and cJSON): it starts
 * each program named on its command line and restarts one that ends. Its memory is the
 * baseline that watchd's own state and code are measured against. */
#include <cjson/cJSON.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "spawn.h"

#define MAX_CHILDREN 4


int main(int argc, char** argv) {
    pid_t pids[MAX_CHILDREN] = {0};
    int count = argc - 1 < MAX_CHILDREN ? argc - 1 : MAX_CHILDREN;
    printf("cJSON %s\n", cJSON_Version());
    fflush(stdout);
    for (int i = 0; i < count; ++i)
        pids[i] = start(argv[i + 1]);
    for (;;) {
        pid_t pid = wait(NULL);
        if (pid < 0)
            return 0;
        for (int i = 0; i < count; ++i) {
            if (pids[i] == pid) {
                sleep(1);
                pids[i] = start(argv[i + 1]);
            }
        }
    }
}
