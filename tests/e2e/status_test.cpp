// watchd-status against a real daemon in the sandbox: running, stopped, in plugin mode and
// during a crash back-off; hostile run files; and that a query changes nothing and refuses
// no daemon.
#include <cjson/cJSON.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <memory>
#include <sstream>

#include "harness.h"

namespace watchd_e2e {
namespace {

constexpr const char* TWO_PROGRAMS = R"({"__watch":{"processes":[{"base":"eng"},{"base":"aux"}]}})";

struct query_result {
    int exit_code = -1;
    std::string text;
    std::unique_ptr<cJSON, void (*)(cJSON*)> json{nullptr, cJSON_Delete};
};

query_result query(const sandboxed_daemon& d, std::vector<std::string> args = {}) {
    args.insert(args.begin(), WATCHD_E2E_STATUS);
    command_result run = d.run_inside(args);
    query_result result;
    result.exit_code = run.status;
    result.text = run.output();
    result.json.reset(cJSON_Parse(run.out.c_str()));
    return result;
}

query_result query_json(const sandboxed_daemon& d, std::vector<std::string> args = {}) {
    args.push_back("--json");
    query_result result = query(d, args);
    EXPECT_TRUE(result.json) << "no JSON: " << result.text;
    return result;
}

// The member at a dotted path ("programs.0.pid"), or null.
const cJSON* at(const query_result& r, const std::string& path) {
    const cJSON* item = r.json.get();
    std::istringstream keys(path);
    for (std::string key; item != nullptr && std::getline(keys, key, '.');)
        item = cJSON_IsArray(item) ? cJSON_GetArrayItem(item, atoi(key.c_str()))
                                   : cJSON_GetObjectItem(item, key.c_str());
    return item;
}

// The member at path when it is of the kind test (cJSON_IsNumber, ...) asks for; null and a
// failed check otherwise.
const cJSON* at(const query_result& r, const std::string& path, cJSON_bool (*test)(const cJSON*)) {
    const cJSON* item = at(r, path);
    EXPECT_TRUE(test(item)) << path << " in " << r.text;
    return test(item) ? item : nullptr;
}

// NaN, which equals nothing, when there is no number.
double number_at(const query_result& r, const std::string& path) {
    return cJSON_GetNumberValue(at(r, path, cJSON_IsNumber));
}

std::string text_at(const query_result& r, const std::string& path) {
    const char* text = cJSON_GetStringValue(at(r, path, cJSON_IsString));
    return text != nullptr ? text : "";
}

bool true_at(const query_result& r, const std::string& path) {
    return cJSON_IsTrue(at(r, path, cJSON_IsBool));
}

// The daemon's pid inside the sandbox.
int daemon_ns_pid(const sandboxed_daemon& d, const std::string& name = "watchd") {
    std::vector<pid_t> pids = d.host_pids(name);
    std::istringstream status(
        pids.size() == 1 ? read_file("/proc/" + std::to_string(pids[0]) + "/status") : "");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("NSpid:", 0) == 0)
            return atoi(line.substr(line.find_last_of(" \t") + 1).c_str());
    }
    return -1;
}

// Everything under /tmp and /data inside the sandbox.
std::string sandbox_snapshot(const sandboxed_daemon& d) {
    return tree_snapshot(d.inside("/tmp")) + tree_snapshot(d.inside("/data"));
}

TEST_F(e2e_test, status_of_a_running_daemon_during_a_crash_back_off_and_after_it) {
    // eng crashes once aux runs again, so the order of the ends is fixed.
    launch_options options;
    options.args = {"debug"};
    options.speed = 10;  // the 60 s back-off lasts 6 s
    sandboxed_daemon& d =
        start(TWO_PROGRAMS,
              {{"eng",
                {"until [ \"$(cat \"$E2E_DIR\"/.count-aux)\" = 2 ]; do sleep 0.1; done; " +
                     kill_self("SEGV"),
                 sleep_forever()}},
               {"aux", {exit_with(3), sleep_forever()}}},
              options);
    ASSERT_TRUE(d.wait_for_starts(3, 10s)) << d.output();  // eng, aux, aux again with -r 3
    ASSERT_TRUE(d.wait_for_output("Will restart segv prog after 60 secs", 5s)) << d.output();
    int aux_pid = -1;
    for (const start_record& start : dir.starts())
        aux_pid = start.command == "aux -r 3 -d" ? start.pid : aux_pid;

    query_result r = query_json(d);
    EXPECT_EQ(r.exit_code, 0) << r.text;
    EXPECT_EQ(number_at(r, "daemon.pid"), daemon_ns_pid(d));
    EXPECT_TRUE(true_at(r, "daemon.debug"));
    EXPECT_EQ(text_at(r, "directory"), dir.path());
    EXPECT_EQ(text_at(r, "mode"), "normal");
    EXPECT_FALSE(true_at(r, "programs.0.running")) << "eng waits out its back-off";
    EXPECT_EQ(number_at(r, "programs.0.signals.11"), 1);
    EXPECT_EQ(text_at(r, "programs.0.last_end.how"), "killed");
    EXPECT_TRUE(true_at(r, "programs.1.running"));
    EXPECT_EQ(number_at(r, "programs.1.pid"), aux_pid);
    EXPECT_EQ(number_at(r, "programs.1.restart_code"), 3);
    EXPECT_EQ(number_at(r, "programs.1.exits.3"), 1);
    EXPECT_EQ(number_at(r, "history.segv_ends"), 1);
    EXPECT_EQ(number_at(r, "history.next_segv_backoff"), 660);

    query_result table = query(d);
    EXPECT_EQ(table.exit_code, 0);
    EXPECT_THAT(table.text, StartsWith("watchd: running, pid " + std::to_string(daemon_ns_pid(d))));
    EXPECT_NE(table.text.find("programs get -d"), std::string::npos) << table.text;
    EXPECT_NE(table.text.find("\neng      waiting  -    -       -   1     -      11:1  "),
              std::string::npos)
        << table.text;
    EXPECT_NE(table.text.find("SIGSEGV ends: 1, the next waits 660 s"), std::string::npos)
        << table.text;

    ASSERT_TRUE(d.wait_for_starts(4, 15s)) << d.output();
    const int eng_pid = dir.starts().back().pid;
    r = query_json(d);
    EXPECT_TRUE(true_at(r, "programs.0.running"));
    EXPECT_EQ(number_at(r, "programs.0.pid"), eng_pid);
    EXPECT_EQ(number_at(r, "programs.0.restart_code"), 11);
}

TEST_F(e2e_test, status_in_plugin_mode_under_another_name_with_a_package_waiting) {
    daemon_dir dir("router-watch");
    dir.write_config(ONE_ENGINE);
    sandboxed_daemon d(dir);
    ASSERT_TRUE(d.ready());
    d.plant("/data/.bootchk", PLUGIN_RECORD);
    d.plant_fake("/data/eng", "data-eng", {sleep_forever()});
    d.go();
    ASSERT_TRUE(d.wait_for_starts(1, 10s)) << d.output();
    d.plant("/tmp/.uci/ttupgrade.tgz", "package");

    query_result r = query_json(d, {"-n", "router-watch"});
    EXPECT_EQ(r.exit_code, 0) << r.text;
    EXPECT_EQ(number_at(r, "daemon.pid"), daemon_ns_pid(d, "router-watch"));
    EXPECT_FALSE(true_at(r, "daemon.debug"));
    EXPECT_EQ(text_at(r, "record.version"), "3.9.08.2");
    EXPECT_EQ(number_at(r, "record.members.plugindata"), 1);
    EXPECT_TRUE(true_at(r, "package_waiting"));
    EXPECT_TRUE(true_at(r, "programs.0.from_data"));
    EXPECT_EQ(number_at(r, "programs.0.pid"), dir.starts()[0].pid);
    EXPECT_EQ(number_at(r, "programs.0.restart_code"), 0);

    query_result table = query(d, {"-n", "router-watch"});
    EXPECT_NE(table.text.find("mode:       plugin (record version 3.9.08.2)\n"
                              "record:     {\"version\":\"3.9.08.2\",\"plugindata\":1}\n"
                              "package:    waiting at /tmp/.uci//ttupgrade.tgz\n"),
              std::string::npos)
        << table.text;
    // The default name's run file does not exist in this sandbox.
    EXPECT_EQ(query(d).exit_code, 3);
}

TEST_F(e2e_test, status_of_a_stopped_daemon_reports_its_last_run) {
    dir.write_config(ONE_ENGINE);
    dir.add_fake("eng", {exit_with(129)});
    sandboxed_daemon d(dir);
    ASSERT_TRUE(d.ready());
    query_result never = query_json(d);
    EXPECT_EQ(never.exit_code, 3) << never.text;
    EXPECT_FALSE(true_at(never, "running"));
    EXPECT_TRUE(cJSON_IsNull(at(never, "history")));

    d.go();
    ASSERT_TRUE(d.wait_for_exit(10s)) << d.output();
    query_result r = query_json(d);
    EXPECT_EQ(r.exit_code, 3) << r.text;
    EXPECT_TRUE(cJSON_IsNull(at(r, "daemon")));
    EXPECT_EQ(text_at(r, "directory"), dir.path());
    EXPECT_FALSE(true_at(r, "programs.0.running"));
    EXPECT_EQ(number_at(r, "programs.0.exits.129"), 1);
    query_result table = query(d);
    EXPECT_EQ(table.exit_code, 3);
    EXPECT_THAT(table.text, StartsWith("watchd: not running; its last run:\n"));
}

// A record as the query finds it: judged like the daemon's gate, never removed.
struct record_case {
    const char* label;
    std::string record;
    std::string verdict;
    std::string mode;
    bool removed_by_daemon;
};

void PrintTo(const record_case& c, std::ostream* os) {
    *os << c.label;
}

class status_record : public e2e_param_test<record_case> {};

TEST_P(status_record, is_judged_by_the_gate_and_left_in_place) {
    sandboxed_daemon d(dir);
    ASSERT_TRUE(d.ready());
    d.plant("/data/.bootchk", GetParam().record);
    query_result r = query_json(d);
    EXPECT_EQ(r.exit_code, 3) << r.text;
    EXPECT_EQ(text_at(r, "record.verdict"), GetParam().verdict);
    EXPECT_EQ(text_at(r, "mode"), GetParam().mode);
    EXPECT_EQ(true_at(r, "record.removed_by_daemon"), GetParam().removed_by_daemon);
    EXPECT_EQ(read_file(d.inside("/data/.bootchk")), GetParam().record);
}

INSTANTIATE_TEST_SUITE_P(
    e2e, status_record,
    ::testing::Values(
        record_case{"current", PLUGIN_RECORD, "plugin", "plugin", false},
        record_case{"stale", R"({"version":"3.9","plugindata":1})", "stale", "normal", true},
        record_case{"no_plugin", R"({"version":"3.9.08.2","luadata":1})", "no plugin", "normal",
                    false},
        record_case{"no_version", R"({"plugindata":1})", "no version", "normal", false},
        record_case{"not_json", "{\"version\":", "not JSON", "normal", false}));

// Run files no daemon wrote: reported, never trusted.
struct hostile_case {
    const char* label;
    std::string setup;  // shell commands inside the sandbox
    int exit_code;
    std::string says;  // in the output
    std::vector<std::string> args = {};
};

void PrintTo(const hostile_case& c, std::ostream* os) {
    *os << c.label;
}

class hostile_run_file : public e2e_param_test<hostile_case> {};

TEST_P(hostile_run_file, is_reported) {
    sandboxed_daemon d(dir);
    ASSERT_TRUE(d.ready());
    ASSERT_EQ(d.run_inside({"/bin/sh", "-c", "mkdir -p /tmp/.uci && " + GetParam().setup}).status,
              0);
    query_result r = query(d, GetParam().args);
    EXPECT_EQ(r.exit_code, GetParam().exit_code) << r.text;
    EXPECT_NE(r.text.find(GetParam().says), std::string::npos) << r.text;
    // What a JSON consumer's parser demands.
    const std::string utf8 = " --json | iconv -f UTF-8 -t UTF-8 >/dev/null";
    EXPECT_EQ(d.run_inside({"/bin/sh", "-c", shell_quote(WATCHD_E2E_STATUS) + utf8}).status, 0);
    if (GetParam().exit_code == 4) {
        EXPECT_THAT(split_lines(r.text), SizeIs(1)) << "one line on stderr: " << r.text;
    }
}

const std::string RUN = "/tmp/.uci/watchd.run";

INSTANTIATE_TEST_SUITE_P(
    e2e, hostile_run_file,
    ::testing::Values(
        hostile_case{"symbolic_link", "echo /x > /tmp/real && ln -s /tmp/real " + RUN, 4,
                     "watchd-status: /tmp/.uci/watchd.run is a symbolic link"},
        hostile_case{"fifo", "mkfifo " + RUN, 4,
                     "watchd-status: /tmp/.uci/watchd.run is not a regular file"},
        hostile_case{"directory", "mkdir " + RUN, 4, "is not a regular file"},
        hostile_case{"first_line_no_directory", "echo relative > " + RUN, 4,
                     "the first line is no directory"},
        hostile_case{"first_line_beyond_any_path", "head -c 100000 /dev/zero | tr '\\0' / > " + RUN,
                     4, "the first line is no directory"},
        // Lines of any length, whole and cut: counted or skipped, and the query still answers.
        hostile_case{"long_and_cut_lines",
                     "{ echo /nowhere; head -c 1000000 /dev/zero | tr '\\0' x; echo; "
                     "echo 'Mon Dec  7 05:42:50 2026: eng killed by signal(11)'; "
                     "printf 'Mon Dec  7 05:42:50 2026: eng exi'; } > " +
                         RUN,
                     3, "lines skipped: 2 cut, 0 malformed"},
        // Larger than the daemon keeps its run file: not read to its end (within the 10 s limit).
        hostile_case{"larger_than_the_daemon_keeps",
                     "echo /nowhere > " + RUN + " && truncate -s 4G " + RUN, 4,
                     "is larger than 1114112 bytes: not the daemon's run file"},
        // Bytes that are no UTF-8 in the run file, the config and the record.
        hostile_case{
            "not_utf8",
            R"(d=$(printf '/tmp/d\377') && mkdir $d && printf '%s\n' $d > )" + RUN +
                R"( && printf '{"__watch":{"processes":[{"base":"e\376"}]}}' > $d/config && printf '{"version":"\300\257","\355\240\200":1}' > /data/.bootchk)",
            3,
            "\"directory\":\t\"/tmp/d\xEF\xBF\xBD\"",
            {"--json"}}));

TEST_F(e2e_test, queries_change_nothing_and_refuse_no_starting_daemon) {
    launch_options options;
    // Two query loops already run when the daemon starts, and go on meanwhile.
    const std::string loop =
        "while :; do " + shell_quote(WATCHD_E2E_STATUS) + " >/dev/null 2>&1; done & ";
    options.setup_shell = loop + loop + "sleep 0.2";
    sandboxed_daemon& d =
        start(TWO_PROGRAMS, {{"eng", {sleep_forever()}}, {"aux", {sleep_forever()}}}, options,
              [&](const sandboxed_daemon& sandbox) {
                  sandbox.plant("/data/.bootchk", R"({"version":"3.9","plugindata":1})");
              });
    ASSERT_TRUE(d.wait_for_starts(2, 10s)) << d.output();
    EXPECT_EQ(d.output().find("already in use"), std::string::npos) << d.output();

    d.plant("/data/.bootchk", R"({"version":"3.9","plugindata":1})");
    d.plant("/tmp/.uci/ttupgrade.tgz", "package");
    const std::string before = sandbox_snapshot(d);
    ASSERT_NE(before.find("/.uci/ttupgrade.tgz mode=100644"), std::string::npos) << before;
    EXPECT_EQ(query(d).exit_code, 0);
    EXPECT_EQ(query_json(d).exit_code, 0);
    EXPECT_EQ(sandbox_snapshot(d), before);
    EXPECT_FALSE(d.exit_status().has_value()) << d.output();
}

}  // namespace
}  // namespace watchd_e2e
