# Debian package: `cpack -G DEB` in a build directory gives
# vxaccounts_<version>_<arch>.deb and its -dbgsym .ddeb.
#
# Depends comes from dpkg-shlibdeps; libvxclient.so gets an shlibs file and
# the ldconfig trigger; binaries are stripped, their debug information goes
# to the -dbgsym package. The documentation files Debian requires are
# installed from packaging/deb, compressed where policy wants them so.
set(vx_deb_dir "${PROJECT_SOURCE_DIR}/packaging/deb")
set(vx_doc_dir "${CMAKE_INSTALL_DOCDIR}")

vx_gzip_file(vx_deb_changelog "${vx_deb_dir}/changelog" "${PROJECT_BINARY_DIR}/changelog.Debian.gz")
install(FILES "${vx_deb_dir}/copyright" "${PROJECT_BINARY_DIR}/changelog.Debian.gz" DESTINATION "${vx_doc_dir}")

set(CPACK_PACKAGE_NAME "vxaccounts")
set(CPACK_PACKAGE_VERSION "5.3.1-398")
set(CPACK_PACKAGE_CONTACT "Vorlex packaging <packaging@vorlex.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "query and reload the directory agent's managed local accounts")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "On a host joined to Active Directory through the Vorlex agent suite, the
agent keeps a set of managed local users and groups that it writes into the
host's passwd and group files. vxaccounts, a command for root, tells whether
this management is enabled, makes the agent reload the accounts, and lists
the users or groups the agent holds, in the native passwd or group format.
.
The package also carries libvxclient, the client libraries the suite's
support library calls: the agent message protocol, the configuration-file
library, the client log, buffers and secure file opening.")
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Installed under /usr through DESTDIR, so that the command's run path, set
# at install time, names /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "/usr")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_GENERATOR "DEB")

set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds the private library there, and the public one beside it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    "${PROJECT_BINARY_DIR}/${VX_PRIVATE_LIBDIR}" "${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR}")
# Stripped in the package, the debug information in vxaccounts-dbgsym.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
# shlibs names the public library only: CPack's own would also offer the
# private libkest.so.5 to other packages. The ldconfig trigger goes with it.
file(WRITE "${PROJECT_BINARY_DIR}/deb/shlibs"
     "libvxclient ${PROJECT_VERSION_MAJOR} vxaccounts (>= ${PROJECT_VERSION})\n")
file(WRITE "${PROJECT_BINARY_DIR}/deb/triggers" "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${vx_deb_dir}/postinst" "${vx_deb_dir}/postrm"
    "${PROJECT_BINARY_DIR}/deb/shlibs" "${PROJECT_BINARY_DIR}/deb/triggers")
# libvxclient ships with its command instead of in a package named after
# it; the override says why.
install(FILES "${vx_deb_dir}/lintian-overrides" DESTINATION "${CMAKE_INSTALL_DATADIR}/lintian/overrides"
        RENAME vxaccounts)
include(CPack)
