// The protocol every component of the daemon shares: the exit codes children steer it with,
// the fixed directories and files it works in, the boot-check record's member names and the
// buffer capacities. A leaf: it includes nothing of the daemon's own.
#pragma once

namespace watchd {

// Children steer the daemon by ending with one of these codes.
constexpr int EXIT_EXEC_FAILED = 129;     // the child's exec failed; the cycle failed
constexpr int EXIT_INSTALL_PLUGIN = 130;  // install the waiting plug-in archive
constexpr int EXIT_INSTALL_LUA = 131;     // install the waiting Lua data file
constexpr int EXIT_INSTALL_SIG = 132;     // install the waiting signature file
constexpr int EXIT_RESTART_ALL = 160;     // restart every watched program

constexpr const char* RUNTIME_DIR = "/tmp/.uci/";
constexpr const char* DATA_DIR = "/data/";

// The package a child leaves in the runtime directory before it ends with 130, 131 or 132;
// UPGRADE_PACKAGE_PATH joins the two.
constexpr const char* UPGRADE_PACKAGE_NAME = "ttupgrade.tgz";
constexpr const char* UPGRADE_PACKAGE_PATH = "/tmp/.uci//ttupgrade.tgz";
constexpr const char* LUA_DATA_TARGET = "/data//init.bin";
constexpr const char* SIGNATURE_TARGET = "/data//m01_sig.bin";

// Members of the boot-check record.
constexpr const char* MEMBER_VERSION = "version";
constexpr const char* MEMBER_PLUGINDATA = "plugindata";
constexpr const char* MEMBER_LUADATA = "luadata";
constexpr const char* MEMBER_SIGDATA = "sigdata";

// What the daemon does when a child exits with a code.
enum class child_request { restart_alone, install_then_new_cycle, new_cycle, failure };

// One reserved exit code: what the daemon does, the record member an installation adds, and
// where the package goes.
struct exit_code_rule {
    int code;
    child_request request;
    const char* record_member;  // null when the code installs nothing
    // The file the package is copied over; null when the extraction tool unpacks it into
    // DATA_DIR (or nothing is installed).
    const char* copy_target;
};

// The exit-code protocol, the one place where the reserved codes are mapped.
inline constexpr exit_code_rule EXIT_CODE_RULES[] = {
    {EXIT_EXEC_FAILED, child_request::failure, nullptr, nullptr},
    {EXIT_INSTALL_PLUGIN, child_request::install_then_new_cycle, MEMBER_PLUGINDATA, nullptr},
    {EXIT_INSTALL_LUA, child_request::install_then_new_cycle, MEMBER_LUADATA, LUA_DATA_TARGET},
    {EXIT_INSTALL_SIG, child_request::install_then_new_cycle, MEMBER_SIGDATA, SIGNATURE_TARGET},
    {EXIT_RESTART_ALL, child_request::new_cycle, nullptr, nullptr},
};

// The rule for a reserved code, or null for any other code.
constexpr const exit_code_rule* exit_code_rule_for(int code) {
    for (const exit_code_rule& rule : EXIT_CODE_RULES) {
        if (rule.code == code)
            return &rule;
    }
    return nullptr;
}

// What the daemon does for a child that exited with code: an unreserved code restarts it alone.
constexpr child_request request_for_exit_code(int code) {
    const exit_code_rule* rule = exit_code_rule_for(code);
    return rule == nullptr ? child_request::restart_alone : rule->request;
}

constexpr int PATH_CAPACITY = 4096;       // names, the run-file path, the working directory
constexpr int DATA_PATH_CAPACITY = 8192;  // paths under the data directory

}  // namespace watchd
