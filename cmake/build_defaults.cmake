# What every build of watchd starts from, the whole project's and the musl daemon's alike: the
# language, the default build type, the warnings, large-file offsets, the firmware flags and
# the flags that keep the C++ runtime out of the daemon.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()

option(WATCHD_WERROR "Treat compiler warnings as errors" OFF)
option(WATCHD_HARDEN
       "Fortified calls where the C library has them, stack protector and full RELRO, as firmware builds default to"
       ON)
option(WATCHD_SMALL "Optimise for flash size in optimised builds" ON)

add_compile_options(-Wall -Wextra)
if(WATCHD_WERROR)
  add_compile_options(-Werror)
endif()
# Large-file offsets on 32-bit targets; harmless elsewhere.
add_compile_definitions(_FILE_OFFSET_BITS=64)

include(${CMAKE_CURRENT_LIST_DIR}/firmware_flags.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/no_runtime.cmake)
