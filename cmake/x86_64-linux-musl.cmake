# Native build against musl with Debian's musl-tools (the daemon alone: cmake/musl).
set(WATCHD_GNU_TRIPLE x86_64-linux-gnu)
set(WATCHD_MUSL_SPECS /usr/lib/x86_64-linux-musl/musl-gcc.specs)
set(WATCHD_MUSL_INCLUDE /usr/include/x86_64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl-toolchain.cmake)
