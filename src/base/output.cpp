#include "base/output.h"

#include <stdarg.h>
#include <stdio.h>

namespace watchd {

void say(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vprintf(fmt, args);
    va_end(args);
    fflush(stdout);
}

}  // namespace watchd
