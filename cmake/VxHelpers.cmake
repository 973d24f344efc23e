# Adds a subdirectory only when it already holds a CMakeLists.txt, so the
# tree builds while modules are still being added.
function(vx_add_optional_subdirectory dir)
  if(EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt")
    add_subdirectory(${dir})
  endif()
endfunction()

# Adds every immediate subdirectory of `parent` that holds a CMakeLists.txt.
function(vx_add_all_subdirectories parent)
  file(GLOB children LIST_DIRECTORIES true "${CMAKE_CURRENT_SOURCE_DIR}/${parent}/*")
  list(SORT children)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY "${child}" AND EXISTS "${child}/CMakeLists.txt")
      add_subdirectory("${child}")
    endif()
  endforeach()
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
