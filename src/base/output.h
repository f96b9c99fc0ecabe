// Messages on standard output. Every message is flushed as soon as it is printed, so that
// none waits in a buffer during a long restart delay and none is printed a second time by a
// forked child that exits through exit().
#pragma once

namespace watchd {

[[gnu::format(printf, 1, 2)]] void say(const char* fmt, ...);
inline void say_line(const char* text) {
    say("%s\n", text);
}

}  // namespace watchd
