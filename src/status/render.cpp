#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "bootcheck/upgrade.h"
#include "files/json.h"
#include "status/report.h"

namespace watchd {
namespace {

constexpr int COLUMNS = 9;
constexpr int ROWS = MAX_SLOTS + 1;  // the heading and the slots
constexpr size_t CELL_CAPACITY = 2048;
constexpr size_t NAME_CELL_CAPACITY = PATH_CAPACITY;
constexpr const char* HEADINGS[COLUMNS] = {"PROGRAM", "STATE", "PID",     "UPTIME",  "-r",
                                           "ENDS",    "EXITS", "SIGNALS", "LAST END"};

// Appends to a bounded text; what does not fit is left off behind "...".
[[gnu::format(printf, 3, 4)]] void append(char* buf, size_t cap, const char* fmt, ...) {
    const size_t len = strlen(buf);
    va_list args;
    va_start(args, fmt);
    const int n = vsnprintf(buf + len, cap - len, fmt, args);
    va_end(args);
    if (n >= 0 && static_cast<size_t>(n) < cap - len)
        return;
    if (cap >= 4)
        memcpy(buf + cap - 4, "...", 4);
}

void format_duration(char* buf, size_t cap, long long seconds) {
    buf[0] = '\0';
    if (seconds < 0) {
        append(buf, cap, "?");
        return;
    }
    const long long days = seconds / 86400;
    const long long hours = seconds / 3600 % 24;
    const long long minutes = seconds / 60 % 60;
    if (days > 0)
        append(buf, cap, "%lldd%02lldh", days, hours);
    else if (hours > 0)
        append(buf, cap, "%lldh%02lldm", hours, minutes);
    else if (minutes > 0)
        append(buf, cap, "%lldm%02llds", minutes, seconds % 60);
    else
        append(buf, cap, "%llds", seconds);
}

// "code:count ..." for every code that was counted.
void format_counts(char* buf, size_t cap, const uint32_t (&counts)[END_CODES]) {
    buf[0] = '\0';
    for (int code = 0; code < END_CODES; ++code) {
        if (counts[code] != 0)
            append(buf, cap, "%s%d:%u", buf[0] == '\0' ? "" : " ", code, counts[code]);
    }
    if (buf[0] == '\0')
        append(buf, cap, "-");
}

const char* mode_name(record_verdict verdict) {
    return verdict == record_verdict::plugin ? "plugin" : "normal";
}

const char* verdict_name(const status_report& report) {
    if (!report.record)
        return "not JSON";
    switch (report.facts.verdict) {
        case record_verdict::absent:
            return "not JSON";
        case record_verdict::no_version:
            return "no version";
        case record_verdict::stale:
            return "stale";
        case record_verdict::normal:
            return "no plugin";
        case record_verdict::plugin:
            return "plugin";
    }
    return "?";
}

const char* record_version(const status_report& report) {
    return report.record ? json_member_string(report.record.get(), MEMBER_VERSION) : nullptr;
}

void print_mode(const status_report& report) {
    const status_facts& f = report.facts;
    printf("mode:       %s", mode_name(f.verdict));
    const char* version = record_version(report);
    if (!f.record_present) {
        printf(" (no boot-check record)\n");
        return;
    }
    switch (report.record ? f.verdict : record_verdict::absent) {
        case record_verdict::absent:
            printf(" (%s is empty or not JSON; it stays)\n", BOOTCHK_PATH);
            break;
        case record_verdict::no_version:
            printf(" (the record has no version; it stays)\n");
            break;
        case record_verdict::stale:
            printf(
                " (record version %s is older than %s: the daemon removes it at its next "
                "cycle)\n",
                version, BOOTCHK_VERSION);
            break;
        case record_verdict::normal:
            printf(" (record version %s; no plug-in installed)\n", version);
            break;
        case record_verdict::plugin:
            printf(" (record version %s)\n", version);
            break;
    }
    if (report.record) {
        malloc_text text(cJSON_PrintUnformatted(report.record.get()));
        if (text)
            printf("record:     %s\n", text.get());
    }
}

struct table_row {
    char cells[COLUMNS][CELL_CAPACITY];
    char name[NAME_CELL_CAPACITY];
};

const char* cell(const table_row& row, int column) {
    return column == 0 ? row.name : row.cells[column];
}

void fill_row(const status_facts& f, int slot, table_row* row) {
    for (auto& c : row->cells)
        c[0] = '\0';
    snprintf(row->name, sizeof row->name, "%s", f.config.slots[slot].name);
    const slot_facts& s = f.slots[slot];
    const program_history& h = f.history.programs[slot];
    if (!f.running) {
        append(row->cells[1], CELL_CAPACITY, "-");
    } else if (s.running) {
        append(row->cells[1], CELL_CAPACITY, s.from_data ? "running from /data/" : "running");
        append(row->cells[2], CELL_CAPACITY, "%ld", static_cast<long>(s.pid));
        format_duration(row->cells[3], CELL_CAPACITY, s.uptime);
        append(row->cells[4], CELL_CAPACITY, "%d", static_cast<int>(s.restart_code));
    } else {
        append(row->cells[1], CELL_CAPACITY, "waiting");
    }
    for (int c = 2; c <= 4; ++c) {
        if (row->cells[c][0] == '\0')
            append(row->cells[c], CELL_CAPACITY, "-");
    }
    append(row->cells[5], CELL_CAPACITY, "%u", h.ends);
    format_counts(row->cells[6], CELL_CAPACITY, h.exits);
    format_counts(row->cells[7], CELL_CAPACITY, h.signals);
    if (h.has_last)
        append(row->cells[8], CELL_CAPACITY, "%s %s %d", h.last.time_text,
               h.last.exited_normally == 1 ? "exit" : "signal", static_cast<int>(h.last.code));
    else
        append(row->cells[8], CELL_CAPACITY, "-");
}

void print_programs(const status_facts& f) {
    static table_row rows[ROWS];
    const int count = f.config_loaded ? f.config.count : 0;
    for (int c = 0; c < COLUMNS; ++c)
        rows[0].cells[c][0] = '\0';
    snprintf(rows[0].name, sizeof rows[0].name, "%s", HEADINGS[0]);
    for (int c = 1; c < COLUMNS; ++c)
        append(rows[0].cells[c], CELL_CAPACITY, "%s", HEADINGS[c]);
    for (int i = 0; i < count; ++i)
        fill_row(f, i, &rows[i + 1]);
    size_t widths[COLUMNS] = {};
    for (int r = 0; r <= count; ++r) {
        for (int c = 0; c < COLUMNS; ++c) {
            const size_t len = strlen(cell(rows[r], c));
            widths[c] = len > widths[c] ? len : widths[c];
        }
    }
    for (int r = 0; r <= count; ++r) {
        for (int c = 0; c < COLUMNS; ++c) {
            if (c + 1 == COLUMNS)
                printf("%s\n", cell(rows[r], c));
            else
                printf("%-*s  ", static_cast<int>(widths[c]), cell(rows[r], c));
        }
    }
}

void print_history(const status_facts& f) {
    const run_history& h = f.history;
    printf(
        "restarts of all (160): %u; installations: plug-in (130) %u, Lua data (131) %u, "
        "signature (132) %u\n",
        h.restarts_all, h.installs[0], h.installs[1], h.installs[2]);
    printf(
        "SIGSEGV ends: %u, the next waits %u s; ends of programs not configured now: %u; "
        "lines skipped: %u cut, %u malformed\n",
        h.segv_ends, next_segv_backoff(h), h.other_ends, h.cut_lines, h.malformed_lines);
}

// ---- JSON ----

// Builds a tree and remembers whether any piece could not be made.
class json_builder {
  public:
    cJSON* add(cJSON* parent, const char* name, cJSON* item) {
        if (item == nullptr) {
            ok_ = false;
            return nullptr;
        }
        if (name == nullptr ? !cJSON_AddItemToArray(parent, item)
                            : !cJSON_AddItemToObject(parent, name, item)) {
            cJSON_Delete(item);
            ok_ = false;
            return nullptr;
        }
        return item;
    }
    cJSON* number(cJSON* parent, const char* name, double value) {
        return add(parent, name, cJSON_CreateNumber(value));
    }
    cJSON* text(cJSON* parent, const char* name, const char* value) {
        return add(parent, name, value == nullptr ? cJSON_CreateNull() : cJSON_CreateString(value));
    }
    cJSON* boolean(cJSON* parent, const char* name, bool value) {
        return add(parent, name, cJSON_CreateBool(value));
    }
    cJSON* object(cJSON* parent, const char* name) {
        return add(parent, name, cJSON_CreateObject());
    }
    cJSON* null(cJSON* parent, const char* name) { return add(parent, name, cJSON_CreateNull()); }
    bool ok() const { return ok_; }

  private:
    bool ok_ = true;
};

void add_counts(json_builder* b, cJSON* parent, const char* name,
                const uint32_t (&counts)[END_CODES]) {
    cJSON* object = b->object(parent, name);
    for (int code = 0; object != nullptr && code < END_CODES; ++code) {
        char key[8];
        snprintf(key, sizeof key, "%d", code);
        if (counts[code] != 0)
            b->number(object, key, counts[code]);
    }
}

void add_program(json_builder* b, cJSON* programs, const status_facts& f, int slot) {
    cJSON* p = b->add(programs, nullptr, cJSON_CreateObject());
    if (p == nullptr)
        return;
    const slot_facts& s = f.slots[slot];
    const program_history& h = f.history.programs[slot];
    b->text(p, "name", f.config.slots[slot].name);
    b->boolean(p, "running", s.running);
    if (s.running) {
        b->number(p, "pid", s.pid);
        b->number(p, "uptime", static_cast<double>(s.uptime));
        b->number(p, "restart_code", s.restart_code);
        b->boolean(p, "from_data", s.from_data);
    }
    b->number(p, "ends", h.ends);
    add_counts(b, p, "exits", h.exits);
    add_counts(b, p, "signals", h.signals);
    b->number(p, "segv_ends", h.segv_ends);
    if (!h.has_last) {
        b->null(p, "last_end");
        return;
    }
    cJSON* last = b->object(p, "last_end");
    if (last == nullptr)
        return;
    b->text(last, "time", h.last.time_text);
    b->text(last, "how", h.last.exited_normally == 1 ? "exited" : "killed");
    b->number(last, "code", h.last.code);
}

void add_record(json_builder* b, cJSON* root, const status_report& report) {
    if (!report.facts.record_present) {
        b->null(root, "record");
        return;
    }
    cJSON* record = b->object(root, "record");
    if (record == nullptr)
        return;
    b->text(record, "path", BOOTCHK_PATH);
    b->text(record, "verdict", verdict_name(report));
    b->boolean(record, "removed_by_daemon",
               report.record && report.facts.verdict == record_verdict::stale);
    b->text(record, "version", record_version(report));
    if (report.record)
        b->add(record, "members", cJSON_Duplicate(report.record.get(), 1));
    else
        b->null(record, "members");
}

void add_history(json_builder* b, cJSON* root, const run_history& h) {
    cJSON* history = b->object(root, "history");
    if (history == nullptr)
        return;
    b->number(history, "restarts_of_all", h.restarts_all);
    cJSON* installs = b->object(history, "installations");
    if (installs != nullptr) {
        b->number(installs, "plugin", h.installs[0]);
        b->number(installs, "lua", h.installs[1]);
        b->number(installs, "signature", h.installs[2]);
    }
    b->number(history, "segv_ends", h.segv_ends);
    b->number(history, "next_segv_backoff", next_segv_backoff(h));
    b->number(history, "other_ends", h.other_ends);
    b->number(history, "cut_lines", h.cut_lines);
    b->number(history, "malformed_lines", h.malformed_lines);
}

}  // namespace

void print_table(const char* name, const status_report& report) {
    const status_facts& f = report.facts;
    if (f.running) {
        char uptime[32];
        format_duration(uptime, sizeof uptime, f.uptime);
        printf("%s: running, pid %ld, up %s, programs %s -d\n", name, static_cast<long>(f.pid),
               uptime, f.debug ? "get" : "without");
    } else {
        printf("%s: not running%s\n", name, f.run_file_present ? "; its last run:" : "");
    }
    printf("run file:   %s%s\n", f.run_path, f.run_file_present ? "" : " (none)");
    if (f.has_directory)
        printf("directory:  %s\n", f.directory);
    print_mode(report);
    printf("package:    %s %s\n", f.package_waiting ? "waiting at" : "none at",
           UPGRADE_PACKAGE_PATH);
    if (!f.run_file_present)
        return;
    if (f.config_loaded)
        print_programs(f);
    else
        printf("programs:   unknown (no config in the directory)\n");
    print_history(f);
}

int print_json(const char* name, const status_report& report) {
    const status_facts& f = report.facts;
    json_ptr root(cJSON_CreateObject());
    if (!root)
        return -1;
    json_builder b;
    cJSON* r = root.get();
    b.text(r, "name", name);
    b.text(r, "run_file", f.run_path);
    b.boolean(r, "running", f.running);
    if (f.running) {
        cJSON* daemon = b.object(r, "daemon");
        if (daemon != nullptr) {
            b.number(daemon, "pid", f.pid);
            b.number(daemon, "uptime", static_cast<double>(f.uptime));
            b.boolean(daemon, "debug", f.debug);
        }
    } else {
        b.null(r, "daemon");
    }
    b.text(r, "directory", f.has_directory ? f.directory : nullptr);
    b.text(r, "mode", mode_name(f.verdict));
    add_record(&b, r, report);
    b.boolean(r, "package_waiting", f.package_waiting);
    if (f.config_loaded) {
        cJSON* programs = b.add(r, "programs", cJSON_CreateArray());
        for (int i = 0; programs != nullptr && i < f.config.count; ++i)
            add_program(&b, programs, f, i);
    } else {
        b.null(r, "programs");
    }
    if (f.run_file_present)
        add_history(&b, r, f.history);
    else
        b.null(r, "history");
    malloc_text text(cJSON_Print(r));
    if (!b.ok() || !text)
        return -1;
    printf("%s\n", text.get());
    return 0;
}

}  // namespace watchd
