#include "status/history.h"

#include <signal.h>
#include <string.h>

#include "base/text.h"
#include "supervisor/cycle.h"

namespace watchd {
namespace {

// The slot a line names, or -1.
int slot_of(const run_history& history, const char* name) {
    for (int i = 0; i < history.count; ++i) {
        if (strcmp(history.names[i], name) == 0)
            return i;
    }
    return -1;
}

// A line of the greatest whole length may be the cut start of a line for a longer name:
// "T: eng exited normally with code(1)" is also what "eng exited normally with code(1)x..."
// leaves. It counts only when no configured name continues it so.
bool cut_from_longer_name(const run_history& history, const char* line, size_t len,
                          const exit_line_fields& fields) {
    const size_t after_time = strlen(fields.time_text) + 2;
    const char* rest = line + after_time;
    const size_t rest_len = len - 1 - after_time;  // without the line end
    for (int i = 0; i < history.count; ++i) {
        if (strlen(history.names[i]) > rest_len && memcmp(history.names[i], rest, rest_len) == 0)
            return true;
    }
    return false;
}

void count_end(run_history* history, const exit_line_fields& fields) {
    const int slot = slot_of(*history, fields.name);
    const bool exited = fields.exited_normally == 1;
    const bool segv = !exited && fields.code == SIGSEGV;
    history->segv_ends += segv ? 1 : 0;
    if (slot < 0) {
        history->other_ends += 1;
    } else {
        program_history& program = history->programs[slot];
        program.ends += 1;
        (exited ? program.exits : program.signals)[fields.code] += 1;
        program.segv_ends += segv ? 1 : 0;
        program.has_last = true;
        program.last = fields;
    }
    if (exited && fields.code == EXIT_RESTART_ALL)
        history->restarts_all += 1;
    if (exited && fields.code >= EXIT_INSTALL_PLUGIN && fields.code <= EXIT_INSTALL_SIG)
        history->installs[fields.code - EXIT_INSTALL_PLUGIN] += 1;
}

// Counts the line read so far. A whole line ends with its line end; one longer than the
// longest is two lines run together by an older, cutting format.
void end_line(run_history* history) {
    const char* line = history->line;
    const size_t len = history->line_len;
    history->line_len = 0;
    exit_line_fields fields;
    const bool whole = len <= LONGEST_RUN_LINE && line[len - 1] == '\n';
    const bool in_range =
        whole && parse_exit_line(line, len, &fields) && fields.code >= 0 && fields.code < END_CODES;
    if (!whole || (len == LONGEST_RUN_LINE && (!in_range || slot_of(*history, fields.name) < 0 ||
                                               cut_from_longer_name(*history, line, len, fields))))
        history->cut_lines += 1;
    else if (!in_range)
        history->malformed_lines += 1;
    else
        count_end(history, fields);
}

}  // namespace

void start_history(run_history* history, const char* const* names, int count) {
    memset(history, 0, sizeof *history);
    history->count = count < 0 ? 0 : count > MAX_SLOTS ? MAX_SLOTS : count;
    for (int i = 0; i < history->count; ++i)
        format_text(history->names[i], sizeof history->names[i], "%s", names[i]);
}

void add_run_text(run_history* history, const char* text, size_t len) {
    while (len > 0) {
        const auto* newline = static_cast<const char*>(memchr(text, '\n', len));
        const size_t piece = newline == nullptr ? len : static_cast<size_t>(newline - text) + 1;
        const size_t total = history->line_len + piece;
        if (total <= LONGEST_RUN_LINE)
            memcpy(history->line + history->line_len, text, piece);
        // Past the longest line only the length is kept, to count the line as cut.
        history->line_len = total <= LONGEST_RUN_LINE ? total : LONGEST_RUN_LINE + 1;
        if (newline != nullptr)
            end_line(history);
        text += piece;
        len -= piece;
    }
}

void end_run_text(run_history* history) {
    if (history->line_len > 0)
        end_line(history);
}

unsigned next_segv_backoff(const run_history& history) {
    return segv_delay_for_count(history.segv_ends + 1);
}

}  // namespace watchd
