# vx_lean_link(<target>): the link options of every shipped artefact. Only
# needed libraries, sections that nothing reaches dropped, a compact hash
# table and relocations. The C++ runtime is linked in and its symbols kept
# hidden, so that the loader binds no libstdc++ symbols at start-up (most of
# a small program's start-up otherwise); the unwinder stays shared, so that
# exceptions cross from libkest.so into the command. Sanitizer and fuzz builds
# keep the shared runtime, so that the sanitizer sees every new and delete.
# Shared libraries must resolve every symbol at link time, except in the fuzz
# build, where clang links its sanitizer runtime into executables only.
function(vx_lean_link target)
  target_link_options(${target} PRIVATE -Wl,--as-needed -Wl,-O1 -Wl,--hash-style=gnu
    -Wl,-z,pack-relative-relocs -Wl,--gc-sections)
  if(NOT VX_SANITIZE AND NOT VX_FUZZ)
    target_link_options(${target} PRIVATE -static-libstdc++ -Wl,--exclude-libs,libstdc++.a)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY" AND NOT VX_FUZZ)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
  # A library's calls of its own functions bind inside it at link time, so
  # the loader resolves only what comes from elsewhere: with immediate
  # binding every symbol lookup is paid at start-up.
  if(type STREQUAL "SHARED_LIBRARY")
    target_link_options(${target} PRIVATE -Wl,-Bsymbolic-functions)
  endif()
endfunction()

# vx_add_unit_test(NAME SOURCES a.cc b.cc LIBS vx_util ... [LABELS l1 ...])
# One GoogleTest executable; every TEST becomes a CTest test.
function(vx_add_unit_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} vx_test_support GTest::gtest GTest::gtest_main)
  set(labels unit ${ARG_LABELS})
  string(REPLACE ";" "\\;" labels "${labels}")
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${labels}" TIMEOUT 120)
endfunction()

# vx_gzip_file(target source output): `output` is `source` compressed with
# gzip -9n (no name or time stamp in the header, so the bytes are
# reproducible), made by the build target `target`.
function(vx_gzip_file target source output)
  add_custom_command(OUTPUT "${output}"
    COMMAND gzip -9nc "${source}" > "${output}"
    DEPENDS "${source}" VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${output}")
endfunction()

# vx_install_command(<target> <libdir> <private libdir> [<install options>...]):
# installs the command into sbin and gives it, at install time, the run path
# of the prefix installed into: <prefix>/<private libdir>, then
# <prefix>/<libdir> unless the prefix is /usr, whose library directory the
# loader searches anyway. The run path is rewritten in place, so it must fit
# in the build tree's: it does while the build directory's path is at least
# as long as the prefix.
function(vx_install_command target libdir private_libdir)
  install(TARGETS ${target} RUNTIME DESTINATION "${CMAKE_INSTALL_SBINDIR}" ${ARGN})
  install(CODE "
    set(vx_run_path \"\${CMAKE_INSTALL_PREFIX}/${private_libdir}\")
    if(NOT CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      string(APPEND vx_run_path \":\${CMAKE_INSTALL_PREFIX}/${libdir}\")
    endif()
    file(RPATH_SET FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/$<TARGET_FILE_NAME:${target}>\"
         NEW_RPATH \"\${vx_run_path}\")"
    ${ARGN})
endfunction()

# vx_install_files(<install(FILES) arguments>): files whose place is the same
# in every layout, installed by default and in the RPM layout (component rpm,
# see cmake/VxPackage.cmake).
function(vx_install_files)
  install(FILES ${ARGN})
  install(FILES ${ARGN} COMPONENT rpm EXCLUDE_FROM_ALL)
endfunction()
