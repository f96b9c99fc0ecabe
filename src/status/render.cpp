#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "base/text.h"
#include "bootcheck/upgrade.h"
#include "files/json.h"
#include "status/report.h"

namespace watchd {
namespace {

// The record's verdict as the JSON names it, in the order of record_verdict.
constexpr char VERDICTS[][sizeof "no version"] = {"not JSON", "no version", "stale", "no plugin",
                                                  "plugin"};
static_assert(static_cast<int>(record_verdict::plugin) == 4, "VERDICTS follows record_verdict");

// ---- the facts as one tree ----

// cJSON tells of a failed allocation only through the result of the call that made it: the
// tree is built without checking each step, and its allocator notes any failure here. A
// piece for a parent that could not be made is dropped.
bool out_of_memory = false;

void* noting_malloc(size_t size) {
    void* block = malloc(size);
    out_of_memory = out_of_memory || block == nullptr;
    return block;
}

// Adds item to parent (an array when name is null); frees it when it cannot be added.
cJSON* add(cJSON* parent, const char* name, cJSON* item) {
    if (name == nullptr ? cJSON_AddItemToArray(parent, item)
                        : cJSON_AddItemToObject(parent, name, item))
        return item;
    cJSON_Delete(item);
    return nullptr;
}

cJSON* add_text(cJSON* parent, const char* name, const char* value) {
    return add(parent, name, value == nullptr ? cJSON_CreateNull() : cJSON_CreateString(value));
}

// An object, or null when it is not present.
cJSON* add_object(cJSON* parent, const char* name, bool present) {
    return add(parent, name, present ? cJSON_CreateObject() : cJSON_CreateNull());
}

void add_counts(cJSON* parent, const char* name, const uint32_t (&counts)[END_CODES]) {
    cJSON* object = add(parent, name, cJSON_CreateObject());
    for (int code = 0; code < END_CODES; ++code) {
        char key[8];
        if (counts[code] != 0 && format_text(key, sizeof key, "%d", code) > 0)
            cJSON_AddNumberToObject(object, key, counts[code]);
    }
}

void add_program(cJSON* programs, const status_facts& f, int slot) {
    cJSON* p = add(programs, nullptr, cJSON_CreateObject());
    const slot_facts& s = f.slots[slot];
    const program_history& h = f.history.programs[slot];
    add_text(p, "name", f.history.names[slot]);
    cJSON_AddBoolToObject(p, "running", s.running);
    if (s.running) {
        cJSON_AddNumberToObject(p, "pid", s.pid);
        cJSON_AddNumberToObject(p, "uptime", static_cast<double>(s.uptime));
        cJSON_AddNumberToObject(p, "restart_code", s.restart_code);
        cJSON_AddBoolToObject(p, "from_data", s.from_data);
    }
    cJSON_AddNumberToObject(p, "ends", h.ends);
    add_counts(p, "exits", h.exits);
    add_counts(p, "signals", h.signals);
    cJSON_AddNumberToObject(p, "segv_ends", h.segv_ends);
    cJSON* last = add_object(p, "last_end", h.has_last);
    if (h.has_last) {
        add_text(last, "time", h.last.time_text);
        add_text(last, "how", h.last.exited_normally == 1 ? "exited" : "killed");
        cJSON_AddNumberToObject(last, "code", h.last.code);
    }
}

void add_record(cJSON* root, const status_facts& f, json_ptr* record_tree) {
    cJSON* record = add_object(root, "record", f.record_present);
    if (!f.record_present)
        return;
    const cJSON* parsed = record_tree->get();  // the verdict is absent without it
    add_text(record, "path", BOOTCHK_PATH);
    add_text(record, "verdict", VERDICTS[static_cast<int>(f.verdict)]);
    cJSON_AddBoolToObject(record, "removed_by_daemon", f.verdict == record_verdict::stale);
    add_text(record, "version", parsed ? json_member_string(parsed, MEMBER_VERSION) : nullptr);
    add(record, "members", parsed ? record_tree->release() : cJSON_CreateNull());
}

void add_history(cJSON* root, const status_facts& f) {
    cJSON* history = add_object(root, "history", f.run_file_present);
    if (!f.run_file_present)
        return;
    const run_history& h = f.history;
    cJSON_AddNumberToObject(history, "restarts_of_all", h.restarts_all);
    cJSON* installs = add(history, "installations", cJSON_CreateObject());
    cJSON_AddNumberToObject(installs, "plugin", h.installs[0]);
    cJSON_AddNumberToObject(installs, "lua", h.installs[1]);
    cJSON_AddNumberToObject(installs, "signature", h.installs[2]);
    cJSON_AddNumberToObject(history, "segv_ends", h.segv_ends);
    cJSON_AddNumberToObject(history, "next_segv_backoff", next_segv_backoff(h));
    cJSON_AddNumberToObject(history, "other_ends", h.other_ends);
    cJSON_AddNumberToObject(history, "cut_lines", h.cut_lines);
    cJSON_AddNumberToObject(history, "malformed_lines", h.malformed_lines);
}

// ---- the table, read from the tree ----

constexpr int PRINT_BUFFER = 256;  // what cJSON_Print starts with
constexpr int COLUMNS = 9;
constexpr size_t CELL_CAPACITY = 2048;
constexpr char HEADINGS[COLUMNS][sizeof "LAST END"] = {
    "PROGRAM", "STATE", "PID", "UPTIME", "-r", "ENDS", "EXITS", "SIGNALS", "LAST END"};

// The tree is read only where it was built with the member: a number, a text or null, a
// bool, an object or array or null.
constexpr auto member = cJSON_GetObjectItem;
long long number(const cJSON* object, const char* name) {
    return static_cast<long long>(member(object, name)->valuedouble);
}
const char* text(const cJSON* object, const char* name) {
    return member(object, name)->valuestring;
}
bool is_true(const cJSON* object, const char* name) {
    return cJSON_IsTrue(member(object, name));
}
bool present(const cJSON* object, const char* name) {
    return !cJSON_IsNull(member(object, name));
}

// The largest unit that is not zero, and the next one: "3d04h", "5m07s", "9s".
void format_duration(char* buf, size_t cap, long long seconds) {
    static constexpr long long UNITS[] = {86400, 3600, 60, 1};
    static constexpr char UNIT_NAMES[] = "dhms";
    int u = 0;
    while (u < 3 && seconds < UNITS[u])
        ++u;
    if (seconds < 0)
        format_text(buf, cap, "?");
    else if (u == 3)
        format_text(buf, cap, "%llds", seconds);
    else
        format_text(buf, cap, "%lld%c%02lld%c", seconds / UNITS[u], UNIT_NAMES[u],
                    seconds % UNITS[u] / UNITS[u + 1], UNIT_NAMES[u + 1]);
}

// "code:count ..." for every code counted; what does not fit is left off behind "...".
void format_counts(const cJSON* counts, char* buf, size_t cap) {
    size_t len = 0;
    const cJSON* count = nullptr;
    cJSON_ArrayForEach(count, counts) {
        const int n = format_text(buf + len, cap - len, "%s%s:%lld", len == 0 ? "" : " ",
                                  count->string, static_cast<long long>(count->valuedouble));
        if (n < 0) {
            memcpy(buf + cap - 4, "...", 4);
            return;
        }
        len += static_cast<size_t>(n);
    }
}

// The cells of a program's row (program null: the heading), "-" for no value. Only the name
// may take a whole path; the other cells are cut at CELL_CAPACITY.
void format_row(const cJSON* program, bool daemon_running, char (&cells)[COLUMNS][PATH_CAPACITY]) {
    constexpr size_t cap = CELL_CAPACITY;
    for (int c = 0; c < COLUMNS; ++c)
        format_text(cells[c], cap, "%s", program == nullptr ? HEADINGS[c] : "");
    if (program == nullptr)
        return;
    format_text(cells[0], sizeof cells[0], "%s", text(program, "name"));
    if (is_true(program, "running")) {
        format_text(cells[1], cap, "running%s",
                    is_true(program, "from_data") ? " from /data/" : "");
        format_text(cells[2], cap, "%lld", number(program, "pid"));
        format_duration(cells[3], cap, number(program, "uptime"));
        format_text(cells[4], cap, "%lld", number(program, "restart_code"));
    } else if (daemon_running) {
        format_text(cells[1], cap, "waiting");
    }
    format_text(cells[5], cap, "%lld", number(program, "ends"));
    format_counts(member(program, "exits"), cells[6], cap);
    format_counts(member(program, "signals"), cells[7], cap);
    const cJSON* last = member(program, "last_end");
    if (present(program, "last_end"))
        format_text(cells[8], cap, "%s %s %lld", text(last, "time"),
                    strcmp(text(last, "how"), "exited") == 0 ? "exit" : "signal",
                    number(last, "code"));
    for (char* cell : cells) {
        if (cell[0] == '\0')
            format_text(cell, cap, "-");
    }
}

// Columns are as wide as their widest cell: rows are formatted once to measure, once to print.
void print_programs(const cJSON* programs, bool daemon_running) {
    char cells[COLUMNS][PATH_CAPACITY];
    int widths[COLUMNS] = {};
    for (int pass = 0; pass < 2; ++pass) {
        const cJSON* row = nullptr;  // the heading first
        do {
            format_row(row, daemon_running, cells);
            for (int c = 0; c < COLUMNS; ++c) {
                widths[c] = std::max(widths[c], static_cast<int>(strlen(cells[c])));
                const bool inner = c + 1 < COLUMNS;
                if (pass == 1)
                    printf("%-*s%s", inner ? widths[c] : 0, cells[c], inner ? "  " : "\n");
            }
            row = row == nullptr ? programs->child : row->next;
        } while (row != nullptr);
    }
}

void print_mode(const cJSON* tree) {
    printf("mode:       %s", text(tree, "mode"));
    const cJSON* record = member(tree, "record");
    if (!present(tree, "record")) {
        printf(" (no boot-check record)\n");
        return;
    }
    int verdict = 0;  // in the order of record_verdict
    for (int v = 0; v <= static_cast<int>(record_verdict::plugin); ++v)
        verdict = strcmp(VERDICTS[v], text(record, "verdict")) == 0 ? v : verdict;
    const bool parsed = verdict != 0;
    // The note's arguments: the record's version (its path when it is not JSON), BOOTCHK_VERSION.
    printf(verdict == 0   ? " (%s is empty or not JSON; it stays)\n"
           : verdict == 1 ? " (the record has no version; it stays)\n"
           : verdict == 2 ? " (record version %s is older than %s: the daemon removes it at its "
                            "next cycle)\n"
           : verdict == 3 ? " (record version %s; no plug-in installed)\n"
                          : " (record version %s)\n",
           parsed ? text(record, "version") : BOOTCHK_PATH, BOOTCHK_VERSION);
    malloc_text members(parsed ? cJSON_PrintBuffered(member(record, "members"), PRINT_BUFFER, false)
                               : nullptr);
    if (members)
        printf("record:     %s\n", members.get());
}

void print_history(const cJSON* h) {
    const cJSON* installs = member(h, "installations");
    printf(
        "restarts of all (160): %lld; installations: plug-in (130) %lld, Lua data (131) %lld, "
        "signature (132) %lld\n"
        "SIGSEGV ends: %lld, the next waits %lld s; ends of programs not configured now: %lld; "
        "lines skipped: %lld cut, %lld malformed\n",
        number(h, "restarts_of_all"), number(installs, "plugin"), number(installs, "lua"),
        number(installs, "signature"), number(h, "segv_ends"), number(h, "next_segv_backoff"),
        number(h, "other_ends"), number(h, "cut_lines"), number(h, "malformed_lines"));
}

// ---- valid UTF-8 for the JSON form ----

// The length of the valid UTF-8 sequence at s, or 0.
size_t utf8_sequence(const unsigned char* s) {
    if (s[0] < 0x80)
        return 1;
    const size_t len = s[0] >= 0xF0 ? 4 : s[0] >= 0xE0 ? 3 : 2;
    uint32_t code = s[0] & (0x7FU >> len);
    for (size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xC0U) != 0x80)
            return 0;
        code = code << 6 | (s[i] & 0x3FU);
    }
    static constexpr uint32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return s[0] < 0xC2 || s[0] > 0xF4 || code < SMALLEST[len] || code > 0x10FFFF || surrogate ? 0
                                                                                              : len;
}

// Every fact of the report as one JSON tree (the record moves into it).
json_ptr facts_tree(const char* name, const status_facts& f, json_ptr* record) {
    json_ptr root(cJSON_CreateObject());
    cJSON* r = root.get();
    add_text(r, "name", name);
    add_text(r, "run_file", f.run_path);
    cJSON_AddBoolToObject(r, "running", f.running);
    cJSON* daemon = add_object(r, "daemon", f.running);
    if (f.running) {
        cJSON_AddNumberToObject(daemon, "pid", f.pid);
        cJSON_AddNumberToObject(daemon, "uptime", static_cast<double>(f.uptime));
        cJSON_AddBoolToObject(daemon, "debug", f.debug);
    }
    add_text(r, "directory", f.has_directory ? f.directory : nullptr);
    add_text(r, "mode", f.verdict == record_verdict::plugin ? "plugin" : "normal");
    add_record(r, f, record);
    cJSON_AddBoolToObject(r, "package_waiting", f.package_waiting);
    cJSON* programs =
        add(r, "programs", f.config_loaded ? cJSON_CreateArray() : cJSON_CreateNull());
    for (int i = 0; f.config_loaded && i < f.history.count; ++i)
        add_program(programs, f, i);
    add_history(r, f);
    return root;
}

void print_table(const cJSON* tree) {
    const char* name = text(tree, "name");
    const cJSON* daemon = member(tree, "daemon");
    const bool run_file_present = present(tree, "history");  // the history is read from it
    const bool running = is_true(tree, "running");
    if (running) {
        char uptime[32];
        format_duration(uptime, sizeof uptime, number(daemon, "uptime"));
        printf("%s: running, pid %lld, up %s, programs %s -d\n", name, number(daemon, "pid"),
               uptime, is_true(daemon, "debug") ? "get" : "without");
    } else {
        printf("%s: not running%s\n", name, run_file_present ? "; its last run:" : "");
    }
    printf("run file:   %s%s\n", text(tree, "run_file"), run_file_present ? "" : " (none)");
    if (const char* directory = text(tree, "directory"))
        printf("directory:  %s\n", directory);
    print_mode(tree);
    printf("package:    %s %s\n", is_true(tree, "package_waiting") ? "waiting at" : "none at",
           UPGRADE_PACKAGE_PATH);
    if (!run_file_present)
        return;
    if (present(tree, "programs"))
        print_programs(member(tree, "programs"), running);
    else
        printf("programs:   unknown (no config in the directory)\n");
    print_history(member(tree, "history"));
}

int print_json(const cJSON* tree) {
    malloc_text text(cJSON_PrintBuffered(tree, PRINT_BUFFER, true));
    if (!text)
        return -1;
    // cJSON prints the bytes of names and texts as they are: only there can a byte start no
    // valid UTF-8 sequence, and it is printed as U+FFFD. The valid runs between go out whole.
    const char* run = text.get();
    for (const auto* s = reinterpret_cast<const unsigned char*>(run); *s != 0;) {
        const size_t n = utf8_sequence(s);
        s += n != 0 ? n : 1;
        if (n == 0) {
            printf("%.*s\xEF\xBF\xBD", static_cast<int>(reinterpret_cast<const char*>(s) - 1 - run),
                   run);
            run = reinterpret_cast<const char*>(s);
        }
    }
    printf("%s\n", run);
    return 0;
}

}  // namespace

int print_report(const char* name, const status_facts& facts, json_ptr* record, bool json) {
    cJSON_Hooks hooks = {noting_malloc, free};
    cJSON_InitHooks(&hooks);
    out_of_memory = false;
    const json_ptr tree = facts_tree(name, facts, record);
    if (out_of_memory || (json && print_json(tree.get()) < 0))
        return -1;
    if (!json)
        print_table(tree.get());
    return 0;
}

}  // namespace watchd
