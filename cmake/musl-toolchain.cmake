# Shared part of the musl toolchain files: GCC driven by musl's specs file for C, and for C++
# (a language only, no C++ library) libstdc++'s headers in front of musl's. Expects
# WATCHD_GNU_TRIPLE (the GCC to use), WATCHD_MUSL_SPECS and WATCHD_MUSL_INCLUDE.
set(CMAKE_C_COMPILER ${WATCHD_GNU_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${WATCHD_GNU_TRIPLE}-g++)
set(CMAKE_C_FLAGS_INIT "-specs ${WATCHD_MUSL_SPECS}")

# libstdc++'s own header directories, as this g++ searches them.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -xc++ -E -v /dev/null
                OUTPUT_QUIET ERROR_VARIABLE search RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${CMAKE_CXX_COMPILER} did not run")
endif()
string(REGEX REPLACE ".*#include <...> search starts here:\n(.*)End of search list.*" "\\1"
       search "${search}")
string(REPLACE "\n" ";" search "${search}")
set(cxx_includes "")
foreach(dir IN LISTS search)
  string(STRIP "${dir}" dir)
  if(dir MATCHES "c\\+\\+")
    string(APPEND cxx_includes " -isystem ${dir}")
  endif()
endforeach()
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
# libstdc++'s configuration header asks the C library's version through a glibc macro.
set(CMAKE_CXX_FLAGS_INIT
    "-nostdinc${cxx_includes} -isystem ${WATCHD_MUSL_INCLUDE} -isystem ${gcc_include} -include ${CMAKE_CURRENT_LIST_DIR}/musl/glibc_prereq.h")
