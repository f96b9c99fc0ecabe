#include "bootcheck/bootchk.h"

#include <fcntl.h>
#include <unistd.h>

#include "files/json.h"

namespace watchd {

constexpr int VERSION_COMPONENTS = 4;
constexpr char VERSION_SEPARATOR = '.';

uint32_t pack_version(const char* text) {
    uint32_t packed = 0;
    int index = 0;
    const char* c = text;
    while (*c != '\0' && index < VERSION_COMPONENTS) {
        if (*c == VERSION_SEPARATOR) {
            ++c;
            continue;
        }
        // Each character of a component, read as a signed 8-bit code, is taken as a decimal
        // digit, in wrapping 32-bit arithmetic.
        uint32_t value = 0;
        for (; *c != '\0' && *c != VERSION_SEPARATOR; ++c) {
            // NOLINTNEXTLINE(bugprone-signed-char-misuse,cert-str34-c): signed on purpose
            int32_t code = static_cast<signed char>(*c);
            value = value * 10u + static_cast<uint32_t>(code) - static_cast<uint32_t>('0');
        }
        packed |= (value & 0xffu) << (8 * (VERSION_COMPONENTS - 1 - index));
        ++index;
    }
    return packed;
}

int compare_versions(const char* a, const char* b) {
    uint32_t packed_a = pack_version(a);
    uint32_t packed_b = pack_version(b);
    return (packed_a > packed_b) - (packed_a < packed_b);
}

json_ptr load_bootchk() {
    return cjson_from_file(BOOTCHK_PATH);
}

int clear_bootchk() {
    if (access(BOOTCHK_PATH, R_OK) != 0)
        return 0;
    return unlinkat(AT_FDCWD, BOOTCHK_PATH, 0) == 0 ? 1 : -1;
}

record_verdict judge_bootchk(const cJSON* record) {
    if (record == nullptr)
        return record_verdict::absent;
    const char* version = json_member_string(record, MEMBER_VERSION);
    if (version == nullptr)
        return record_verdict::no_version;
    if (compare_versions(version, BOOTCHK_VERSION) < 0)
        return record_verdict::stale;
    return json_member_int(record, MEMBER_PLUGINDATA) == 1 ? record_verdict::plugin
                                                           : record_verdict::normal;
}

int decide_plugin_mode_removing_stale_record() {
    const record_verdict verdict = judge_bootchk(load_bootchk().get());
    if (verdict == record_verdict::stale)
        clear_bootchk();
    return verdict == record_verdict::plugin ? 1 : 0;
}

}  // namespace watchd
