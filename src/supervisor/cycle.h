// The supervision cycle: clear stray copies of the watched programs, decide the start mode,
// start every slot, then reap, log and restart children until one of them asks for a new
// cycle or the supervision fails. Owns the restart policy; acts on the exit-code protocol.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "supervisor/state.h"

namespace watchd {

constexpr unsigned NORMAL_RESTART_DELAY = 10;
// Room for the longest name with every character quoted for the shell.
constexpr size_t KILL_COMMAND_CAPACITY = 64 + 4 * PATH_CAPACITY;

// What a wait status says about a child's end.
struct child_end {
    int32_t code;             // exit code or signal number
    int32_t exited_normally;  // 1 when the child exited, 0 when a signal ended or stopped it
};

// Decodes a wait status word with the classic exited/signalled/stopped tests. false when no
// test matches (end's code is then left as it was, with exited_normally 0).
bool decode_wait_status(int status, child_end* end);

// Seconds to wait before restarting after the count-th SIGSEGV end (count from 1).
unsigned segv_delay_for_count(uint32_t count);

// "killall -9 NAME >/dev/null 2>&1", with NAME single-quoted when it holds anything but
// characters that are plain to the shell, and after "-- " when it starts with '-'. 0, or -1
// when it does not fit.
[[nodiscard]] int format_kill_command(const char* name, char (&command)[KILL_COMMAND_CAPACITY]);

// Counts one more SIGSEGV end and returns the delay for it: 60, 660, 1260, then 7200 s.
unsigned segv_restart_delay(watch_state* state);

// Runs cycles until the watched programs cannot be kept running: a failed supervision is
// retried once without the record (removed, or ignored when it cannot be removed).
void watch_cycle(watch_state* state);

}  // namespace watchd
