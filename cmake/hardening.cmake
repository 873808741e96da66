# Compiler and linker hardening for everything the project builds, whatever
# the build type: the programs run set-user-id root. Each flag is added only
# where the toolchain accepts it. Included from the top level before any
# target is defined.
#
# Optimisation: -O2 for every build type but Debug (CMake's Release default,
# -O3, is overridden, since the flag given last wins); a Debug build gets -Og,
# which keeps it debuggable and still lets _FORTIFY_SOURCE work, as that
# needs an optimising build. The sanitizer build keeps its build type's own
# optimisation and has no _FORTIFY_SOURCE: the sanitizers do not support
# source fortification (glibc's checking wrappers replace calls they would
# intercept), and with it they miss faults or report false ones. All other
# flags go into the sanitizer build too.

include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)
include(CheckLinkerFlag)
include(CheckPIESupported)

set(ZUN_HARDENING_CFLAGS)
set(ZUN_HARDENING_LDFLAGS)

# Adds each compiler flag that the compiler accepts, tried together with
# those accepted before it (-Werror=format-security needs -Wformat); reports
# the others.
function(zun_harden_cxx)
  foreach(flag IN LISTS ARGN)
    string(MAKE_C_IDENTIFIER "ZUN_CXX_HAS${flag}" var)
    list(JOIN ZUN_HARDENING_CFLAGS " " CMAKE_REQUIRED_FLAGS)
    check_cxx_compiler_flag("${flag}" ${var})
    if(${var})
      list(APPEND ZUN_HARDENING_CFLAGS "${flag}")
    else()
      message(STATUS "Hardening: the compiler does not support ${flag}")
    endif()
  endforeach()
  set(ZUN_HARDENING_CFLAGS "${ZUN_HARDENING_CFLAGS}" PARENT_SCOPE)
endfunction()

# The same for linker flags.
function(zun_harden_link)
  foreach(flag IN LISTS ARGN)
    string(MAKE_C_IDENTIFIER "ZUN_LD_HAS${flag}" var)
    check_linker_flag(CXX "${flag}" ${var})
    if(${var})
      list(APPEND ZUN_HARDENING_LDFLAGS "${flag}")
    else()
      message(STATUS "Hardening: the linker does not support ${flag}")
    endif()
  endforeach()
  set(ZUN_HARDENING_LDFLAGS "${ZUN_HARDENING_LDFLAGS}" PARENT_SCOPE)
endfunction()

if(NOT ZUN_SANITIZE)
  add_compile_options($<IF:$<CONFIG:Debug>,-Og,-O2>)
  # Level 3 needs both the compiler's dynamic object sizes and a C library
  # that uses them; the check fails where either one is missing.
  set(CMAKE_REQUIRED_FLAGS "-O2 -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3")
  check_cxx_source_compiles([[
#include <cstdio>
#if !defined(__USE_FORTIFY_LEVEL) || __USE_FORTIFY_LEVEL < 3
#error level 3 not in force
#endif
int main() { return 0; }]] ZUN_HAS_FORTIFY_3)
  unset(CMAKE_REQUIRED_FLAGS)
  if(ZUN_HAS_FORTIFY_3)
    add_compile_options(-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3)
  else()
    add_compile_options(-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2)
  endif()
endif()

add_compile_definitions(_GLIBCXX_ASSERTIONS)
zun_harden_cxx(-Wformat -Werror=format-security
               -fstack-protector-strong -fstack-clash-protection
               -ftrivial-auto-var-init=zero)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i[3-6]86|x86)$")
  zun_harden_cxx(-fcf-protection=full)
endif()
zun_harden_link(-Wl,-z,relro,-z,now -Wl,-z,noexecstack)
add_compile_options(${ZUN_HARDENING_CFLAGS})
add_link_options(${ZUN_HARDENING_LDFLAGS})

# -fPIE for the programs (-fPIC for the library linked into them) and -pie
# at link time.
check_pie_supported(OUTPUT_VARIABLE zun_pie_message LANGUAGES CXX)
if(CMAKE_CXX_LINK_PIE_SUPPORTED)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
else()
  message(STATUS "Hardening: no position-independent executables: ${zun_pie_message}")
endif()
