# Cross build for 32-bit little-endian MIPS against musl (the daemon alone: cmake/musl), with
# Debian's mipsel cross compiler and musl-dev:mipsel unpacked into WATCHD_SYSROOT, whose specs
# file scripts/test points at that directory. Programs run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WATCHD_SYSROOT)
if(NOT WATCHD_SYSROOT OR NOT EXISTS "${WATCHD_SYSROOT}/usr/lib/mipsel-linux-musl/libc.a")
  message(FATAL_ERROR "WATCHD_SYSROOT must name a directory with musl-dev:mipsel unpacked")
endif()
set(WATCHD_GNU_TRIPLE mipsel-linux-gnu)
set(WATCHD_MUSL_SPECS ${WATCHD_SYSROOT}/usr/lib/mipsel-linux-musl/musl-gcc.specs)
set(WATCHD_MUSL_INCLUDE ${WATCHD_SYSROOT}/usr/include/mipsel-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/musl-toolchain.cmake)
find_program(WATCHD_QEMU qemu-mipsel-static qemu-mipsel REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${WATCHD_QEMU};-L;${WATCHD_SYSROOT}")
