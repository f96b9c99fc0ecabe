# Cross build for 32-bit little-endian MIPS with Debian's cross compiler (g++-mipsel-linux-gnu).
# The target's libraries come from WATCHD_SYSROOT, a directory into which Debian's mipsel
# packages were unpacked (scripts/test --target mipsel makes one); the target's programs,
# test discovery included, run under qemu-user with that directory as library prefix.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake -DWATCHD_SYSROOT=DIR ...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

# try_compile reads this file again in a project of its own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WATCHD_SYSROOT)
if(NOT WATCHD_SYSROOT OR NOT IS_DIRECTORY "${WATCHD_SYSROOT}/usr/lib/mipsel-linux-gnu")
  message(FATAL_ERROR "WATCHD_SYSROOT must name a directory with the target's unpacked packages")
endif()

# Headers, libraries and CMake packages of the target from the sysroot only; programs from
# the host. The C library and the compiler's own libraries come with the cross compiler.
set(CMAKE_FIND_ROOT_PATH "${WATCHD_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The libraries that the sysroot's libraries need in turn are found at link time here; more
# flags for a build belong in CMAKE_EXE_LINKER_FLAGS_<CONFIG>, which leave these in place.
set(WATCHD_SYSROOT_LINK
    "-Wl,-rpath-link,${WATCHD_SYSROOT}/usr/lib/mipsel-linux-gnu:${WATCHD_SYSROOT}/lib/mipsel-linux-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${WATCHD_SYSROOT_LINK}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${WATCHD_SYSROOT_LINK}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${WATCHD_SYSROOT_LINK}")

find_program(WATCHD_QEMU qemu-mipsel-static qemu-mipsel REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${WATCHD_QEMU};-L;${WATCHD_SYSROOT}")
