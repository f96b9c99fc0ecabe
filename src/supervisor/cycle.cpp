#include "supervisor/cycle.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string_view>

#include "base/merge_journal.h"
#include "base/output.h"
#include "base/shell.h"
#include "bootcheck/bootchk.h"
#include "bootcheck/upgrade.h"
#include "files/runfile.h"
#include "supervisor/launcher.h"

namespace watchd {
namespace {

constexpr uint32_t SEGV_STEPS = 3;
constexpr unsigned SEGV_STEP_SECONDS = 600;
constexpr unsigned SEGV_STEP_OFFSET = 540;
constexpr unsigned SEGV_LONGEST_DELAY = 7200;
constexpr const char* SHELL_PLAIN_CHARS =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-+/@%:,=";

void wait_before_restart(watch_state* state, const child_end& end) {
    const bool segv = end.exited_normally == 0 && end.code == SIGSEGV;
    const unsigned delay = segv ? segv_restart_delay(state) : NORMAL_RESTART_DELAY;
    say("Will restart %s prog after %d secs\n", segv ? "segv" : "normal", static_cast<int>(delay));
    sleep(delay);
}

// A failed fork (EAGAIN, ENOMEM) is transient: the slot is tried again after the normal
// delay, for as long as it takes. It never counts as a failed boot.
void start_slot_until_forked(watch_state* state, int index, int32_t restart_code) {
    for (;;) {
        start_slot(state, index, restart_code);
        if (state->slots[index].pid >= 0)
            return;
        sleep(NORMAL_RESTART_DELAY);
    }
}

void kill_configured(watch_state* state) {
    // Static: in a frame of this size, system() and what it calls would run on stack pages
    // below it that stay dirty for the daemon's life; here only the command's own pages are.
    static char command[KILL_COMMAND_CAPACITY];
    for (int i = 0; i < state->count; ++i) {
        if (format_kill_command(state->slots[i].name, command) == 0)
            (void)run_shell_command(command);
    }
}

// Reaps and restarts children. 0 when a new cycle is wanted, -1 when supervision failed.
int supervise_children(watch_state* state, int32_t* last_code) {
    int status = 0;
    child_end end = {0, 0};
    for (;;) {
        pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0 && errno == EINTR)
            continue;
        if (pid < 0) {
            say_line("failed to waitpid");
            return -1;
        }
        int index = 0;
        while (index < state->count && state->slots[index].pid != pid)
            ++index;
        if (index == state->count) {
            say("No such pid(%d) for reexec\n", static_cast<int>(pid));
            continue;
        }
        decode_wait_status(status, &end);
        proc_slot& slot = state->slots[index];
        log_child_exit(end.code, end.exited_normally, slot.name, state->lock_fd);
        if (end.exited_normally == 1) {
            *last_code = end.code;
            const child_request request = request_for_exit_code(end.code);
            if (request == child_request::install_then_new_cycle)
                install_upgrade(end.code);
            if (request != child_request::restart_alone)
                return request == child_request::failure ? -1 : 0;
        }
        wait_before_restart(state, end);
        start_slot_until_forked(state, index, end.code);
    }
}

}  // namespace

// Decoded by hand, not with WIFEXITED and its kin: C libraries define those differently for
// odd words (glibc reads 0x007f as a stop, musl as signal 127), and every build must agree.
bool decode_wait_status(int status, child_end* end) {
    const unsigned word = static_cast<unsigned>(status);
    if ((word & 0x7fu) == 0) {
        end->code = static_cast<int32_t>((word >> 8) & 0xffu);
        end->exited_normally = 1;
        return true;
    }
    end->exited_normally = 0;
    if (((word & 0xffffu) - 1u) < 0xffu) {
        end->code = static_cast<int32_t>(word & 0x7fu);
        return true;
    }
    if ((word & 0xffu) == 0x7fu && ((word >> 8) & 0xffu) != 0) {
        end->code = static_cast<int32_t>((word >> 8) & 0xffu);
        return true;
    }
    return false;
}

unsigned segv_delay_for_count(uint32_t count) {
    return count <= SEGV_STEPS ? SEGV_STEP_SECONDS * count - SEGV_STEP_OFFSET : SEGV_LONGEST_DELAY;
}

int format_kill_command(const char* name, char (&command)[KILL_COMMAND_CAPACITY]) {
    // Each piece is copied when it fits and counted either way: the command fitted when the
    // count stays below the capacity.
    size_t len = 0;
    const auto put = [&command, &len](std::string_view piece) {
        if (len + piece.size() < sizeof command)
            memcpy(command + len, piece.data(), piece.size());
        len += piece.size();
    };
    put("killall -9 ");
    // A name that starts with '-' would be read as options ("-uroot" kills every root process).
    if (name[0] == '-')
        put("-- ");
    if (name[strspn(name, SHELL_PLAIN_CHARS)] == '\0') {
        put(name);
    } else {
        // In single quotes, each embedded quote as '\''.
        put("'");
        for (const char* c = name; *c != '\0'; ++c)
            put(*c == '\'' ? std::string_view("'\\''") : std::string_view(c, 1));
        put("'");
    }
    put(" >/dev/null 2>&1");
    // A command that does not fit is left empty.
    command[len < sizeof command ? len : 0] = '\0';
    return len < sizeof command ? 0 : -1;
}

unsigned segv_restart_delay(watch_state* state) {
    state->segv_count += 1;
    return segv_delay_for_count(state->segv_count);
}

void watch_cycle(watch_state* state) {
    int32_t last_code = 0;
    // Set when a record could not be removed after a failed supervision (a read-only /data):
    // the record is not read again, so the fallback starts from the daemon's own directory.
    bool record_ignored = false;
    for (;;) {
        kill_configured(state);
        // An installation cut short (a power cut, a killed tool) is rolled back before anything
        // starts from the data directory; while it cannot be, nothing does.
        const bool data_settled = settle_staging_in(DATA_DIR) == 0;
        state->plugin_mode =
            record_ignored || !data_settled ? 0 : decide_plugin_mode_removing_stale_record();
        for (int i = 0; i < state->count; ++i)
            start_slot_until_forked(state, i, last_code);
        if (supervise_children(state, &last_code) >= 0)
            continue;
        const int cleared = record_ignored ? 0 : clear_bootchk();
        if (cleared != 0) {
            record_ignored = cleared < 0;
            say_line("failed boot, then clean bootchk, and try again");
            continue;
        }
        say_line("failed for normal boot, exit");
        return;
    }
}

}  // namespace watchd
