/* Included ahead of every C++ source built against musl: libstdc++'s configuration header
   tests the C library's version with this glibc macro; musl is no glibc of any version. */
#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(major, minor) 0
#endif
