# Compiler and linker flags that a firmware build of watchd gets on every target, native or
# cross (a toolchain file sets only the compiler and the sysroot): hardening as firmware build
# systems apply it by default, and flash-size flags that change the layout, never behaviour.
include(CheckCXXSourceCompiles)

# Adds a linker option when the linker accepts it (check_linker_flag needs CMake 3.18).
function(watchd_add_link_option_if_supported option)
  string(MAKE_C_IDENTIFIER "WATCHD_LINKER_HAS${option}" result)
  set(CMAKE_REQUIRED_LINK_OPTIONS ${option})
  check_cxx_source_compiles("int main() { return 0; }" ${result})
  if(${result})
    add_link_options(${option})
  endif()
endfunction()

# Only the libraries that a binary uses are loaded: CMake names the C++ runtime for C++
# objects that the C driver links, which Debian's GCC drops by default and Clang does not.
watchd_add_link_option_if_supported(-Wl,--as-needed)

if(WATCHD_HARDEN)
  add_compile_options(-fstack-protector-strong)
  # Fortified calls need an optimising build (glibc warns otherwise), and the sanitizers
  # check the same calls themselves.
  if(NOT WATCHD_SANITIZE)
    add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>
                        $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
  endif()
  # Full RELRO: relocations resolved at start, then the table is made read-only.
  add_link_options(-Wl,-z,relro,-z,now)
  # With every symbol bound at start, calls go straight through the read-only GOT: no lazy
  # binding stubs (a PLT of 16 bytes per imported function) in flash.
  if(WATCHD_SMALL AND NOT WATCHD_SANITIZE AND CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|i.86")
    add_compile_options(-fno-plt)
  endif()
endif()

if(WATCHD_SMALL AND NOT WATCHD_SANITIZE)
  # -Os after the build type's -O2. No asynchronous unwind tables: the daemon and the tool are
  # built without exceptions and unwind nothing; code with exceptions keeps its tables.
  add_compile_options($<$<NOT:$<CONFIG:Debug>>:-Os> -ffunction-sections -fdata-sections
                      -fno-asynchronous-unwind-tables)
  watchd_add_link_option_if_supported(-Wl,--gc-sections)
  # Link-time optimisation where the compiler and the linker offer it: the program is optimised
  # as a whole, so a function called once from another file is inlined and its copy dropped.
  # Code is generated at the link then, so the link gets the flags that shape code. Native
  # builds only: the check's test project cannot see a cross toolchain's sysroot.
  if(NOT CMAKE_CROSSCOMPILING)
    include(CheckIPOSupported)
    check_ipo_supported(RESULT WATCHD_HAS_IPO LANGUAGES C CXX)
  endif()
  if(WATCHD_HAS_IPO)
    set(CMAKE_INTERPROCEDURAL_OPTIMIZATION ON)
    add_link_options($<$<NOT:$<CONFIG:Debug>>:-Os> -fno-asynchronous-unwind-tables)
  endif()
  # One read-only and executable segment instead of separate pages for headers, code and
  # constants: several KiB of page padding less in every executable.
  watchd_add_link_option_if_supported(-Wl,-z,noseparate-code)
endif()

# MIPS linkers align segments in the file to 64 KiB, the largest page a MIPS kernel may use,
# and with full RELRO that pads a small executable with tens of KiB of zeros. A 32-bit MIPS
# router's kernel uses 4 KiB pages; set WATCHD_TARGET_PAGE_SIZE for one built with larger pages.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^mips")
  set(WATCHD_TARGET_PAGE_SIZE 4096 CACHE STRING "Largest page size of the target's kernel")
  if(WATCHD_SMALL)
    add_link_options(-Wl,-z,max-page-size=${WATCHD_TARGET_PAGE_SIZE})
  endif()
endif()
