# Packages of one build: `cpack -G DEB` in a build directory gives
# vxaccounts_<version>_<arch>.deb and its -dbgsym .ddeb, `cpack -G RPM`
# vxaccounts-<version>-<release>.<arch>.rpm.
#
# The .deb holds the default installation (GNUInstallDirs: libraries in the
# multiarch directory). RPM-based distributions keep libraries in lib64: that
# layout is the install component rpm, left out of a plain `cmake --install`
# and the only one the .rpm holds (cmake/VxCPackProject.cmake). Both are
# installed under /usr through DESTDIR, so that the command's run path, set
# at install time, names /usr.
#
# Debian: Depends comes from dpkg-shlibdeps; libvxclient.so gets an shlibs
# file and the ldconfig trigger; binaries are stripped, their debug
# information goes to the -dbgsym package. The documentation files Debian
# requires are installed from packaging/deb, compressed where policy wants
# them so.
set(vx_deb_dir "${PROJECT_SOURCE_DIR}/packaging/deb")
set(vx_doc_dir "${CMAKE_INSTALL_DOCDIR}")

vx_gzip_file(vx_deb_changelog "${vx_deb_dir}/changelog" "${PROJECT_BINARY_DIR}/changelog.Debian.gz")
install(FILES "${vx_deb_dir}/copyright" "${PROJECT_BINARY_DIR}/changelog.Debian.gz" DESTINATION "${vx_doc_dir}")

set(vx_release 398)
set(CPACK_PACKAGE_NAME "vxaccounts")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}-${vx_release}")
set(CPACK_PACKAGE_CONTACT "Vorlex packaging <packaging@vorlex.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "query and reload the directory agent's managed local accounts")
set(vx_description "On a host joined to Active Directory through the Vorlex agent suite, the
agent keeps a set of managed local users and groups that it writes into the
host's passwd and group files. vxaccounts, a command for root, tells whether
this management is enabled, makes the agent reload the accounts, and lists
the users or groups the agent holds, in the native passwd or group format.
.
The package also carries libvxclient, the client libraries the suite's
support library calls: the agent message protocol, the configuration-file
library, the client log, buffers and secure file opening.")
set(CPACK_PACKAGE_VENDOR "Vorlex")
set(CPACK_PACKAGE_RELOCATABLE OFF)
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "/usr")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/cmake/VxCPackProject.cmake")
set(CPACK_GENERATOR "DEB")

set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${vx_description}")
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
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

# RPM: the command in sbin, libvxclient in lib64, libkest in lib64/vxaccounts
# named by the command's run path, the documentation files as in the .deb and
# the licence in the licences directory; no Debian files.
set(vx_rpm_dir "${PROJECT_SOURCE_DIR}/packaging/rpm")
set(vx_rpm_libdir lib64)
set(vx_rpm_private_libdir ${vx_rpm_libdir}/vxaccounts)
set(vx_rpm COMPONENT rpm EXCLUDE_FROM_ALL)
# Shared libraries are executable there.
set(vx_rpm_lib_mode PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
install(TARGETS vxclient LIBRARY DESTINATION ${vx_rpm_libdir} NAMELINK_SKIP ${vx_rpm_lib_mode} ${vx_rpm})
install(TARGETS kest LIBRARY DESTINATION ${vx_rpm_private_libdir} NAMELINK_SKIP ${vx_rpm_lib_mode} ${vx_rpm})
vx_install_command(vxaccounts ${vx_rpm_libdir} ${vx_rpm_private_libdir} ${vx_rpm})
install(FILES "${vx_deb_dir}/copyright" DESTINATION "${CMAKE_INSTALL_DATADIR}/licenses/vxaccounts" ${vx_rpm})
set(CPACK_VX_RPM_PROJECT "${PROJECT_BINARY_DIR};${PROJECT_NAME};rpm;/")

set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_RPM_PACKAGE_RELEASE "${vx_release}")
set(CPACK_RPM_PACKAGE_SUMMARY "Query and reload the directory agent's managed local accounts")
set(CPACK_RPM_PACKAGE_LICENSE "LicenseRef-Vorlex-proprietary")
set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
string(REPLACE "\n.\n" "\n\n" CPACK_RPM_PACKAGE_DESCRIPTION "${vx_description}")
set(CPACK_RPM_USER_FILELIST "%license ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/licenses/vxaccounts/copyright")
# Directories of the system, owned by its own packages.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/sbin /usr/share/man /usr/share/man/man8
    /usr/share/bash-completion /usr/share/bash-completion/completions /usr/share/licenses)
# Requires and Provides come from rpmbuild, except that the private
# libkest.so.5 is offered to no other package. The libraries keep their
# execute bit (rpm's brp-elfperms, where present, would clear it); no
# build-id links, as there is no debuginfo package for them to serve.
set(CPACK_RPM_PACKAGE_AUTOREQPROV ON)
set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${CPACK_PACKAGE_CONTACT}
%global __provides_exclude_from ^${CPACK_PACKAGING_INSTALL_PREFIX}/${vx_rpm_private_libdir}/
%global __requires_exclude ^libkest[.]so
%define __brp_elfperms %{nil}
%define _build_id_links none")
set(CPACK_RPM_POST_INSTALL_SCRIPT_FILE "${vx_rpm_dir}/post.sh")
set(CPACK_RPM_POST_UNINSTALL_SCRIPT_FILE "${vx_rpm_dir}/postun.sh")
include(CPack)
