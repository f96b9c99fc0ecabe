#include "status/history.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

using namespace watchd;

namespace {

constexpr const char* T = "Mon Dec  7 05:42:50 2026";
constexpr const char* T2 = "Tue Dec  8 01:02:03 2026";
// 199 characters: its exit line is exactly as long as a whole line can be.
const std::string LONGEST_NAME = "eng" + std::string(196, 'x');

std::string exited(const std::string& name, int code, const char* when = T) {
    return std::string(when) + ": " + name + " exited normally with code(" + std::to_string(code) +
           ")\n";
}
std::string killed(const std::string& name, int signal, const char* when = T) {
    return std::string(when) + ": " + name + " killed by signal(" + std::to_string(signal) + ")\n";
}

// Everything a summary says, in one line, so that a row of the table names it whole.
std::string describe(const run_history& h) {
    std::string out;
    for (int i = 0; i < h.count; ++i) {
        const program_history& p = h.programs[i];
        out += std::string(h.names[i]).substr(0, 8) + ": " + std::to_string(p.ends);
        for (int c = 0; c < END_CODES; ++c) {
            if (p.exits[c] != 0)
                out += " x" + std::to_string(c) + "=" + std::to_string(p.exits[c]);
            if (p.signals[c] != 0)
                out += " s" + std::to_string(c) + "=" + std::to_string(p.signals[c]);
        }
        if (p.has_last)
            out += " last " + std::string(p.last.time_text).substr(0, 3) + " " +
                   (p.last.exited_normally == 1 ? "x" : "s") + std::to_string(p.last.code);
        out += "; ";
    }
    // The totals that are not 0, and always the next back-off.
    const std::pair<const char*, uint32_t> totals[] = {
        {"other", h.other_ends},   {"segv", h.segv_ends},           {"all", h.restarts_all},
        {"plugin", h.installs[0]}, {"lua", h.installs[1]},          {"sig", h.installs[2]},
        {"cut", h.cut_lines},      {"malformed", h.malformed_lines}};
    for (const auto& [label, n] : totals)
        out += n != 0 ? std::string(label) + " " + std::to_string(n) + "; " : "";
    return out + "next " + std::to_string(next_segv_backoff(h));
}

struct summary_case {
    const char* label;
    std::vector<const char*> names;
    std::string text;  // the run file after its first line
    std::string summary;
};

void PrintTo(const summary_case& c, std::ostream* os) {
    *os << c.label;
}

class RunFileSummary : public testing::TestWithParam<summary_case> {};

TEST_P(RunFileSummary, CountsWholeLinesOnly) {
    const summary_case& c = GetParam();
    // Large for a stack; the product keeps it in static storage. The text comes whole, then
    // in pieces of 7 bytes: lines split across reads count the same.
    for (size_t piece : {c.text.size() + 1, size_t{7}}) {
        auto history = std::make_unique<run_history>();
        start_history(history.get(), c.names.data(), static_cast<int>(c.names.size()));
        for (size_t at = 0; at < c.text.size(); at += piece)
            add_run_text(history.get(), c.text.data() + at, std::min(piece, c.text.size() - at));
        end_run_text(history.get());
        EXPECT_EQ(describe(*history), c.summary) << "in pieces of " << piece;
    }
}

// A name that holds a whole line's ending: its cut line reads like a whole line of the
// longest name.
const std::string TRICKY = LONGEST_NAME + " exited normally with code(1)" + std::string(30, 'z');

INSTANTIATE_TEST_SUITE_P(
    Lines, RunFileSummary,
    testing::Values(
        summary_case{"empty", {"eng"}, "", "eng: 0; next 60"},
        summary_case{"exits_and_signals_per_program",
                     {"eng", "aux"},
                     exited("eng", 0) + exited("eng", 3) + killed("aux", 9) + exited("eng", 3, T2),
                     "eng: 3 x0=1 x3=2 last Tue x3; aux: 1 s9=1 last Mon s9; next 60"},
        summary_case{"protocol_codes",
                     {"eng"},
                     exited("eng", 160) + exited("eng", 130) + exited("eng", 131) +
                         exited("eng", 132) + exited("eng", 130) + exited("eng", 129),
                     "eng: 6 x129=1 x130=2 x131=1 x132=1 x160=1 last Mon x129; all 1; plugin 2; "
                     "lua 1; sig 1; next 60"},
        // The back-off counts every program's SIGSEGV ends together, unconfigured ones too.
        summary_case{
            "segv_backoff_over_all_programs",
            {"eng", "aux"},
            killed("eng", 11) + killed("aux", 11) + killed("gone", 11),
            "eng: 1 s11=1 last Mon s11; aux: 1 s11=1 last Mon s11; other 1; segv 3; next 7200"},
        summary_case{"exit_code_11_is_no_segv",
                     {"eng"},
                     exited("eng", 11),
                     "eng: 1 x11=1 last Mon x11; next 60"},
        // Names may hold ": " and the other form's words.
        summary_case{"name_with_separators",
                     {"a: b killed by signal(9) c"},
                     exited("a: b killed by signal(9) c", 4),
                     "a: b kil: 1 x4=1 last Mon x4; next 60"},
        summary_case{"unknown_time",
                     {"eng"},
                     "?: eng killed by signal(6)\n",
                     "eng: 1 s6=1 last ? s6; next 60"},
        summary_case{"longest_whole_line",
                     {LONGEST_NAME.c_str()},
                     exited(LONGEST_NAME, 3),
                     "engxxxxx: 1 x3=1 last Mon x3; next 60"},
        summary_case{
            "cut_by_the_daemon",
            {"eng"},
            (std::string(T) + ": eng" + std::string(197, 'y') + " exited normally with code(3)")
                    .substr(0, 254) +
                "\n" + exited("eng", 5),
            "eng: 1 x5=1 last Mon x5; cut 1; next 60"},
        summary_case{"cut_line_that_reads_whole",
                     {LONGEST_NAME.c_str(), TRICKY.c_str()},
                     (std::string(T) + ": " + TRICKY).substr(0, 254) + "\n",
                     "engxxxxx: 0; engxxxxx: 0; cut 1; next 60"},
        // The old format cut after 255 characters without a line end: two records in one.
        summary_case{"run_together_by_the_old_format",
                     {"eng"},
                     (std::string(T) + ": eng" + std::string(240, 'q')).substr(0, 255) +
                         killed("eng", 11) + exited("eng", 0),
                     "eng: 1 x0=1 last Mon x0; cut 1; next 60"},
        summary_case{"line_of_a_megabyte",
                     {"eng"},
                     std::string(1 << 20, 'm') + killed("eng", 11) + "\n" + exited("eng", 2),
                     "eng: 1 x2=1 last Mon x2; cut 1; malformed 1; next 60"},
        summary_case{"not_ended_yet",
                     {"eng"},
                     exited("eng", 1) + "Mon Dec  7 05:42:50 2026: en",
                     "eng: 1 x1=1 last Mon x1; cut 1; next 60"},
        summary_case{"not_the_daemons_lines",
                     {"eng"},
                     "garbage\n\n" + exited("eng", 300) + exited("eng", -1) +
                         "Mon Dec  7 05:42:50 2026: eng exited normally with code(03)\n" +
                         "Mon Dec  7 5:42:50 2026: eng exited normally with code(3)\n" +
                         "Mon Dec  7 05:42:50 2026 eng exited normally with code(3)\n" +
                         "Mon Dec  7 05:42:50 2026: eng exited normally with code(3) \n" +
                         std::string(T) + ": e" + std::string(1, '\0') +
                         "g exited normally with code(3)\n",
                     "eng: 0; malformed 9; next 60"}));

}  // namespace
