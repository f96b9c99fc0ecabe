#include "supervisor/startup.h"
#include "supervisor/launcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

using namespace watchd;

namespace {

double seconds_since(const timespec& start) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9;
}

// In a forked child: opens descriptors low and near the top of the limit, closes the
// inherited ones, and reports through its exit status which survived. Exit 0 when only
// 0, 1 and 2 are left and the closing was fast.
int close_in_child(rlim_t limit) {
    pid_t pid = fork();
    if (pid != 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
    }
    rlimit nofile = {limit, limit};
    // Raising the hard limit needs privilege; without it the current hard limit serves.
    if (setrlimit(RLIMIT_NOFILE, &nofile) != 0) {
        getrlimit(RLIMIT_NOFILE, &nofile);
        nofile.rlim_cur = limit < nofile.rlim_max ? limit : nofile.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &nofile) != 0)
            _exit(10);
    }
    int low = open("/dev/null", O_RDONLY);
    int high = dup2(low, static_cast<int>(nofile.rlim_cur) - 1);
    if (low < 3 || high < 0)
        _exit(11);
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    close_inherited_fds();
    double took = seconds_since(start);
    if (fcntl(0, F_GETFD) < 0 || fcntl(2, F_GETFD) < 0)
        _exit(12);
    if (fcntl(low, F_GETFD) >= 0 || fcntl(high, F_GETFD) >= 0)
        _exit(13);
    // Even a loop over every descriptor up to the limit is this fast at 1024; what is timed
    // here is only a guard against a hang. The cost at high limits is measured end to end.
    _exit(took < 1.0 ? 0 : 14);
}

TEST(CloseInheritedFds, KeepsTheStandardStreamsOnly) {
    EXPECT_EQ(close_in_child(1024), 0);
}

// Each fallback on its own, as a system without close_range or without /proc would run it:
// descriptors below first stay open, every one from first up is closed.
TEST(CloseInheritedFds, EveryStrategyClosesFromFirstUp) {
    const struct {
        const char* name;
        bool (*close_from)(int first);
    } strategies[] = {
        {"close_range", close_with_close_range},
        {"/proc/self/fd", close_listed_fds},
        {"loop to the limit",
         [](int first) {
             close_up_to_limit(first);
             return true;
         }},
    };
    for (const auto& strategy : strategies) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // More descriptors than one read of the /proc listing returns.
            constexpr int FIRST = 40;
            constexpr int LAST_OF_RUN = 299;
            int kept = open("/dev/null", O_RDONLY);
            int top = dup2(kept, static_cast<int>(sysconf(_SC_OPEN_MAX)) - 1);
            if (kept < 3 || kept >= FIRST || top <= LAST_OF_RUN)
                _exit(10);
            for (int fd = FIRST; fd <= LAST_OF_RUN; ++fd) {
                if (dup2(kept, fd) != fd)
                    _exit(10);
            }
            if (!strategy.close_from(FIRST))
                _exit(11);
            if (fcntl(kept, F_GETFD) < 0 || fcntl(2, F_GETFD) < 0)
                _exit(12);
            bool all_closed = fcntl(top, F_GETFD) < 0;
            for (int fd = FIRST; fd <= LAST_OF_RUN; ++fd)
                all_closed = all_closed && fcntl(fd, F_GETFD) < 0;
            _exit(all_closed ? 0 : 13);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << strategy.name;
        EXPECT_EQ(WEXITSTATUS(status), 0) << strategy.name;
    }
}

}  // namespace
