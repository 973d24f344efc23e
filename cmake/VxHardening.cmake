# Hardening of everything the project builds: stack protector, stack clash
# and control-flow protection, fortified libc calls where optimisation allows
# them, full RELRO with immediate binding, a non-executable stack and PIE.
#
# The flags go in front of CMAKE_<LANG>_FLAGS and CMAKE_*_LINKER_FLAGS, so
# whatever the user or dpkg-buildflags passes in CFLAGS, CXXFLAGS, LDFLAGS
# and CPPFLAGS comes later on the command line and wins. CMake itself ignores
# CPPFLAGS; it is read here into VX_CPPFLAGS at the first configure.
include(CheckCXXCompilerFlag)
include(CheckPIESupported)

option(VX_HARDENING "Build with the hardening flags" ON)
set(VX_CPPFLAGS "$ENV{CPPFLAGS}" CACHE STRING "Preprocessor flags for C and C++ (CPPFLAGS at first configure)")

# Properties a built artefact must show; tests/hardening checks them.
set(VX_HARDENING_PROPERTIES pie relro bindnow nxstack stackprotector stackclash cfprotection)

function(vx_prepend_flags var)
  string(JOIN " " joined ${ARGN})
  set(${var} "${joined} ${${var}}" PARENT_SCOPE)
endfunction()

if(VX_HARDENING)
  check_pie_supported(LANGUAGES C CXX)

  # Each compile flag with the property it gives; a compiler without the
  # flag (clang has no stack clash protection before 11) drops the property.
  set(vx_compile_hardening "")
  foreach(pair stackprotector=-fstack-protector-strong stackclash=-fstack-clash-protection
               cfprotection=-fcf-protection)
    string(REPLACE "=" ";" pair "${pair}")
    list(GET pair 0 property)
    list(GET pair 1 flag)
    check_cxx_compiler_flag(${flag} VX_HAVE_${property})
    if(VX_HAVE_${property})
      list(APPEND vx_compile_hardening ${flag})
    else()
      list(REMOVE_ITEM VX_HARDENING_PROPERTIES ${property})
    endif()
  endforeach()
  vx_prepend_flags(CMAKE_C_FLAGS ${vx_compile_hardening})
  vx_prepend_flags(CMAKE_CXX_FLAGS ${vx_compile_hardening})

  set(vx_link_hardening -Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack)
  foreach(kind EXE SHARED MODULE)
    vx_prepend_flags(CMAKE_${kind}_LINKER_FLAGS ${vx_link_hardening})
  endforeach()

  # Fortified calls need optimisation and do not mix with the sanitizers;
  # a _FORTIFY_SOURCE given by the user is left alone.
  set(vx_user_flags "${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS} ${VX_CPPFLAGS}")
  if(NOT VX_SANITIZE AND NOT VX_FUZZ AND NOT vx_user_flags MATCHES "_FORTIFY_SOURCE")
    foreach(lang C CXX)
      foreach(config RELEASE RELWITHDEBINFO MINSIZEREL)
        vx_prepend_flags(CMAKE_${lang}_FLAGS_${config} -D_FORTIFY_SOURCE=2)
      endforeach()
    endforeach()
  endif()
endif()

if(VX_CPPFLAGS)
  string(APPEND CMAKE_C_FLAGS " ${VX_CPPFLAGS}")
  string(APPEND CMAKE_CXX_FLAGS " ${VX_CPPFLAGS}")
endif()

# Fortified calls are expected only where the build adds or is given them
# with optimisation.
get_property(vx_multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
if(NOT vx_multi_config)
  string(TOUPPER "${CMAKE_BUILD_TYPE}" vx_config)
  set(vx_all_flags "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${vx_config}}")
  if(vx_all_flags MATCHES "-D_FORTIFY_SOURCE=[1-3]" AND vx_all_flags MATCHES "-O[123s]")
    list(APPEND VX_HARDENING_PROPERTIES fortify)
  endif()
endif()
if(NOT VX_HARDENING)
  set(VX_HARDENING_PROPERTIES "")
endif()
# Whatever the flags, the run path names absolute directories only.
list(APPEND VX_HARDENING_PROPERTIES runpath)
