# The hardening every Debian program carries (what `dpkg-buildflags` gives with
# hardening=+all), for every target of the project: the programs parse what a crate server
# sends over the network, the libraries too.
#
#   compile  -fstack-protector-strong -fstack-clash-protection -fcf-protection
#            -Wformat -Werror=format-security
#            -D_FORTIFY_SOURCE=2 in the optimising build types only (glibc ignores it, with a
#            warning, without optimisation)
#   link     -Wl,-z,relro -Wl,-z,now (full RELRO: the GOT is read-only after start-up)
#   PIE      CMAKE_POSITION_INDEPENDENT_CODE with -pie at the link (CheckPIESupported)
#
# A flag the compiler or linker does not know (-fcf-protection outside x86) is left out. The
# sanitizer builds keep only their own flags and PIE: the sanitizers intercept the functions
# FORTIFY replaces, and those builds never ship.
include(CheckCCompilerFlag)
include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)
include(CheckPIESupported)

option(QMX_HARDEN "Build with the Debian hardening flags (off in the sanitizer builds)" ON)
set(QMX_FORTIFY_LEVEL 2 CACHE STRING "_FORTIFY_SOURCE level of the optimising build types (2 or 3)")

check_pie_supported(LANGUAGES C CXX)

if(NOT QMX_HARDEN OR QMX_SANITIZE OR QMX_TSAN)
  return()
endif()

# The build types that optimise, and so the ones FORTIFY works in (and the ones that ship).
set(QMX_OPTIMISING_CONFIGS Release RelWithDebInfo MinSizeRel)

set(qmx_hardening_compile)
# Each entry is checked as a whole (-Werror=format-security means nothing without -Wformat).
foreach(flags -fstack-protector-strong -fstack-clash-protection -fcf-protection "-Wformat -Werror=format-security")
  string(MAKE_C_IDENTIFIER "QMX_HAVE${flags}" have)
  check_c_compiler_flag("${flags}" ${have}_C)
  check_cxx_compiler_flag("${flags}" ${have}_CXX)
  if(${have}_C AND ${have}_CXX)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(APPEND qmx_hardening_compile ${flags})
  endif()
endforeach()
add_compile_options(${qmx_hardening_compile})
unset(qmx_hardening_compile)
# -U first: some compilers predefine it, and a redefinition would warn.
list(JOIN QMX_OPTIMISING_CONFIGS "," configs)
add_compile_options("$<$<CONFIG:${configs}>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=${QMX_FORTIFY_LEVEL}>")

foreach(flag -Wl,-z,relro -Wl,-z,now)
  string(MAKE_C_IDENTIFIER "QMX_HAVE${flag}" have)
  check_linker_flag(CXX ${flag} ${have})
  if(${have})
    add_link_options(${flag})
  endif()
endforeach()
unset(configs)
