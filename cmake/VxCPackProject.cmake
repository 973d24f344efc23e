# Read by cpack for each generator: the .rpm holds the RPM layout (install
# component rpm, see cmake/VxPackage.cmake) instead of the default one, and
# its binaries stripped.
if(CPACK_GENERATOR STREQUAL "RPM")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_VX_RPM_PROJECT}")
  set(CPACK_STRIP_FILES ON)
endif()
