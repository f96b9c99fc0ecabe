// Test-only LD_PRELOAD library: the daemon's main() begins with the standard streams named
// in WATCHD_E2E_CLOSED_STREAMS ("0", "1", "01") closed, and the daemon's children inherit
// neither the setting nor the closed streams. Closing them before exec would not do:
// libfaketime opens its shared clock while the program loads and takes the lowest free
// descriptors. Every library's initialisation has run when main() is called. The setting is
// removed there too, not before the C library starts: musl finds the auxiliary vector (the
// page size on MIPS) behind the end of the environment, which unsetenv() moves.
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

constexpr const char* SETTING = "WATCHD_E2E_CLOSED_STREAMS";

using main_function = int (*)(int, char**, char**);
using start_function = int (*)(main_function, int, char**, void (*)(), void (*)(), void (*)(),
                               void*);

main_function real_main = nullptr;

int main_with_streams_closed(int argc, char** argv, char** envp) {
    const char* streams = getenv(SETTING);
    for (const char* c = streams != nullptr ? streams : ""; *c >= '0' && *c <= '2'; ++c)
        close(*c - '0');
    unsetenv(SETTING);
    return real_main(argc, argv, envp);
}

}  // namespace

extern "C" int __libc_start_main(main_function main, int argc, char** argv, void (*init)(),
                                 void (*fini)(), void (*rtld_fini)(), void* stack_end) {
    real_main = main;
    const auto real = reinterpret_cast<start_function>(dlsym(RTLD_NEXT, "__libc_start_main"));
    return real(main_with_streams_closed, argc, argv, init, fini, rtld_fini, stack_end);
}
