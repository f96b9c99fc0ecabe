#include "durability_order.h"

#include <stdlib.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

namespace watchd_e2e {
namespace {

// One completed system call of the trace.
struct syscall_event {
    int pid = 0;
    std::string name;
    std::vector<std::string> args;  // as printed, split at top-level commas
    bool succeeded = false;
    long value = 0;       // the result when it succeeded
    std::string fd_path;  // the path strace -y printed after a returned descriptor
};

std::string normalize(const std::string& path) {
    std::vector<std::string> parts;
    std::stringstream in(path);
    std::string part;
    while (std::getline(in, part, '/')) {
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else {
            parts.push_back(part);
        }
    }
    std::string out;
    for (const std::string& p : parts)
        out += "/" + p;
    return out.empty() ? "/" : out;
}

std::string parent_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

bool is_at_or_under(const std::string& path, const std::string& dir) {
    return path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
                           (dir == "/" || path[dir.size()] == '/'));
}

// The text of a quoted argument, or nothing for an argument that is no string.
std::string unquote(const std::string& arg) {
    if (arg.empty() || arg[0] != '"')
        return "";
    std::string out;
    for (size_t i = 1; i < arg.size() && arg[i] != '"'; ++i) {
        if (arg[i] == '\\' && i + 1 < arg.size())
            ++i;
        out += arg[i];
    }
    return out;
}

// "3</data/x>" or "AT_FDCWD</data>": the path between the angle brackets.
std::string path_in_brackets(const std::string& text) {
    const size_t open = text.find('<');
    const size_t close = text.rfind('>');
    if (open == std::string::npos || close == std::string::npos || close <= open)
        return "";
    std::string path = text.substr(open + 1, close - open - 1);
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.erase(path.size() - deleted.size());
    return path;
}

// Splits "name(a, b, c) = 3<path>" into an event; false for lines that are no completed call.
bool parse_call(const std::string& text, syscall_event* event) {
    const size_t open = text.find('(');
    if (open == std::string::npos || open == 0)
        return false;
    event->name = text.substr(0, open);
    int depth = 0;
    bool quoted = false;
    std::string arg;
    size_t i = open;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            arg += c;
            if (c == '\\' && i + 1 < text.size())
                arg += text[++i];
            else if (c == '"')
                quoted = false;
            continue;
        }
        if (c == '"')
            quoted = true;
        if (c == '(' || c == '[' || c == '{')
            ++depth;
        if (c == ')' || c == ']' || c == '}')
            --depth;
        if (depth == 0)
            break;
        if (depth == 1 && (c == ',' || c == '(')) {
            if (c == ',')
                event->args.push_back(arg);
            arg.clear();
            while (i + 1 < text.size() && text[i + 1] == ' ')
                ++i;
            continue;
        }
        arg += c;
    }
    if (!arg.empty())
        event->args.push_back(arg);
    const size_t equals = text.find(" = ", i);
    if (equals == std::string::npos)
        return false;
    const std::string result = text.substr(equals + 3);
    event->succeeded = !result.empty() && result[0] != '-' && result[0] != '?';
    event->value = atol(result.c_str());
    event->fd_path = path_in_brackets(result.substr(0, result.find(' ')));
    return true;
}

// Completed calls in trace order; a call split by another process's lines counts where it
// resumed, since that is when it took effect.
std::vector<syscall_event> parse_trace(const std::string& trace) {
    std::vector<syscall_event> events;
    std::map<int, std::string> pending;
    std::stringstream in(trace);
    std::string line;
    while (std::getline(in, line)) {
        int pid = 0;
        size_t start = 0;
        while (start < line.size() && isdigit(static_cast<unsigned char>(line[start])))
            ++start;
        if (start > 0)
            pid = atoi(line.c_str());
        while (start < line.size() && line[start] == ' ')
            ++start;
        std::string text = line.substr(start);
        const std::string unfinished = " <unfinished ...>";
        if (text.size() > unfinished.size() &&
            text.compare(text.size() - unfinished.size(), unfinished.size(), unfinished) == 0) {
            pending[pid] = text.substr(0, text.size() - unfinished.size());
            continue;
        }
        if (text.rfind("<... ", 0) == 0) {
            const size_t resumed = text.find("resumed>");
            if (resumed == std::string::npos)
                continue;
            text = pending[pid] + text.substr(resumed + 8);
            pending.erase(pid);
        }
        syscall_event event;
        event.pid = pid;
        if (parse_call(text, &event))
            events.push_back(event);
    }
    return events;
}

bool has_flag(const std::string& flags, const char* flag) {
    return flags.find(flag) != std::string::npos;
}

// Walks the events and applies the rules; see the header.
class order_checker {
  public:
    order_checker(const std::string& data_dir, const std::string& record_path)
        : data_dir_(normalize(data_dir)), record_(normalize(record_path)) {}

    durability_report run(const std::vector<syscall_event>& events) {
        const size_t record_start = find_record_start(events);
        for (size_t i = 0; i < events.size(); ++i) {
            if (i == record_start)
                check_all_durable_at_record();
            if (events[i].succeeded)
                apply(events[i], i > record_start && record_start != events.size());
        }
        for (const std::string& dir : landing_dirs_) {
            if (dirty_.count(dir))
                violate(dir + ": not fsynced after an entry was renamed into it");
        }
        for (const std::string& path : written_)
            violate(path + ": written under its final name instead of renamed into place");
        return report_;
    }

  private:
    std::string resolve(const syscall_event& e, const std::string& dirfd, const std::string& path) {
        if (!path.empty() && path[0] == '/')
            return normalize(path);
        std::string base = path_in_brackets(dirfd);
        if (base.empty())
            base = cwd_[e.pid];
        return base.empty() ? "" : normalize(base + "/" + path);
    }
    std::string arg(const syscall_event& e, size_t i) const {
        return i < e.args.size() ? e.args[i] : "";
    }
    bool in_data(const std::string& path) const { return is_at_or_under(path, data_dir_); }

    void violate(const std::string& text) {
        auto& v = report_.violations;
        if (std::find(v.begin(), v.end(), text) == v.end())
            v.push_back(text);
    }
    void mark_dirty(const std::string& path) {
        if (in_data(path))
            dirty_.insert(path);
    }
    void mark_written(const std::string& path) {
        if (in_data(path) && path != data_dir_) {
            mark_dirty(path);
            written_.insert(path);
        }
    }
    void created_entry(const std::string& path) {
        mark_written(path);
        mark_dirty(parent_of(path));
    }
    template <class Set>
    static void erase_at_or_under(Set* set, const std::string& path) {
        for (auto it = set->begin(); it != set->end();)
            it = is_at_or_under(*it, path) ? set->erase(it) : std::next(it);
    }
    void forget(const std::string& path) {
        erase_at_or_under(&dirty_, path);
        erase_at_or_under(&written_, path);
    }

    // The index of the event that creates the record's temporary file (the source of the
    // last rename onto the record), or the number of events when there is none.
    size_t find_record_start(const std::vector<syscall_event>& events) {
        for (size_t i = events.size(); i-- > 0;) {
            const syscall_event& e = events[i];
            if (!e.succeeded || e.name.rfind("rename", 0) != 0)
                continue;
            std::string from;
            std::string to;
            if (!rename_paths(e, &from, &to) || to != record_)
                continue;
            for (size_t j = i; j-- > 0;) {
                if (events[j].succeeded && normalize(events[j].fd_path) == from &&
                    has_flag(arg(events[j], events[j].name == "open" ? 1 : 2), "O_CREAT"))
                    return j;
            }
            return i;
        }
        return events.size();
    }

    bool rename_paths(const syscall_event& e, std::string* from, std::string* to) {
        if (e.name == "rename") {
            *from = resolve(e, "", unquote(arg(e, 0)));
            *to = resolve(e, "", unquote(arg(e, 1)));
        } else {
            *from = resolve(e, arg(e, 0), unquote(arg(e, 1)));
            *to = resolve(e, arg(e, 2), unquote(arg(e, 3)));
        }
        return !from->empty() && !to->empty();
    }

    void check_all_durable_at_record() {
        for (const std::string& path : dirty_) {
            violate(path + ": not durable when the record was written");
        }
    }

    void renamed(const std::string& from, const std::string& to, bool after_record) {
        if (in_data(to)) {
            if (after_record && to != record_)
                violate(to + ": renamed into place after the record was written");
            for (const std::string& path : dirty_) {
                if (is_at_or_under(path, from))
                    violate(to + ": renamed into place before " + path + " was fsynced");
            }
            report_.renamed_into_place.push_back(to);
            report_.record_written = report_.record_written || to == record_;
            landing_dirs_.insert(parent_of(to));
        }
        // Whatever was unsynced below from stays unsynced under its new name.
        std::set<std::string> moved;
        for (const std::string& path : dirty_) {
            if (is_at_or_under(path, from))
                moved.insert(to + path.substr(from.size()));
        }
        forget(from);
        for (const std::string& path : moved)
            mark_dirty(path);
        mark_dirty(parent_of(to));
    }

    void apply(const syscall_event& e, bool after_record) {
        const std::string& n = e.name;
        if (n == "open" || n == "openat" || n == "creat") {
            const std::string flags =
                n == "creat" ? "O_CREAT|O_TRUNC" : arg(e, n == "open" ? 1 : 2);
            const std::string path = normalize(e.fd_path);
            if (has_flag(flags, "O_CREAT") && !has_flag(flags, "O_DIRECTORY"))
                created_entry(path);
            else if (has_flag(flags, "O_TRUNC"))
                mark_written(path);
        } else if (n == "write" || n == "pwrite64" || n == "writev" || n == "pwritev" ||
                   n == "pwritev2" || n == "ftruncate" || n == "fallocate") {
            mark_written(normalize(path_in_brackets(arg(e, 0))));
        } else if (n == "fsync" || n == "fdatasync") {
            dirty_.erase(normalize(path_in_brackets(arg(e, 0))));
        } else if (n == "sync" || n == "syncfs") {
            dirty_.clear();
        } else if (n == "rename" || n == "renameat" || n == "renameat2") {
            std::string from;
            std::string to;
            if (rename_paths(e, &from, &to))
                renamed(from, to, after_record);
        } else if (n == "mkdir") {
            mark_dirty(parent_of(resolve(e, "", unquote(arg(e, 0)))));
        } else if (n == "mkdirat") {
            mark_dirty(parent_of(resolve(e, arg(e, 0), unquote(arg(e, 1)))));
        } else if (n == "symlink" || n == "link") {
            created_entry(resolve(e, "", unquote(arg(e, 1))));
        } else if (n == "symlinkat") {
            created_entry(resolve(e, arg(e, 1), unquote(arg(e, 2))));
        } else if (n == "linkat") {
            created_entry(resolve(e, arg(e, 2), unquote(arg(e, 3))));
        } else if (n == "unlink" || n == "rmdir") {
            forget(resolve(e, "", unquote(arg(e, 0))));
        } else if (n == "unlinkat") {
            forget(resolve(e, arg(e, 0), unquote(arg(e, 1))));
        } else if (n == "chdir") {
            cwd_[e.pid] = resolve(e, "", unquote(arg(e, 0)));
        } else if (n == "fchdir") {
            cwd_[e.pid] = normalize(path_in_brackets(arg(e, 0)));
        } else if (n == "clone" || n == "clone3" || n == "fork" || n == "vfork") {
            cwd_[static_cast<int>(e.value)] = cwd_[e.pid];
        }
    }

    std::string data_dir_;
    std::string record_;
    std::map<int, std::string> cwd_;      // working directory of each process, when known
    std::set<std::string> dirty_;         // written or given new entries, not fsynced since
    std::set<std::string> written_;       // files written under the name they still have
    std::set<std::string> landing_dirs_;  // directories that entries were renamed into
    durability_report report_;
};

}  // namespace

durability_report check_durable_installation(const std::string& trace, const std::string& data_dir,
                                             const std::string& record_path) {
    return order_checker(data_dir, record_path).run(parse_trace(trace));
}

}  // namespace watchd_e2e
