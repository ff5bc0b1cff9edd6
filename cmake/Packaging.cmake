# The Debian package, installed under /usr: `cpack -G DEB` in a build folder.
#
# A copy installed by the package carries a marker beside the program: the
# auto-updater then leaves the program's own update to the package manager
# (plug-ins and the radio are still updated). The marker is not part of a
# plain `cmake --install`, whose copy updates itself where it may write.
file(WRITE ${CMAKE_BINARY_DIR}/package-managed
     "This copy of Vortlebox was installed by the package manager, which also updates it.\n")
install(FILES ${CMAKE_BINARY_DIR}/package-managed
        DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/vortlebox
        COMPONENT packaged EXCLUDE_FROM_ALL)

# Where a lintian rule does not apply to this package, and why.
install(FILES ${CMAKE_SOURCE_DIR}/cmake/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME vortlebox COMPONENT packaged EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vortlebox)
# The program's four-field version, and the package's first revision of it.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGE_VENDOR "Vortlebox")
set(CPACK_PACKAGE_CONTACT "Vortlebox maintainers <maintainers@vortlebox.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "listening tracker for the Fenwave service")
set(CPACK_PACKAGE_DESCRIPTION
    "Vortlebox keeps track of the music you play and submits it to your Fenwave\n"
    "profile. It lives in the system tray, hears every desktop player through\n"
    "MPRIS, and keeps what cannot be sent yet on disk until it can.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://vortlebox.invalid/")
# Dependencies are computed from the libraries the binaries link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "dbus-user-session, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mpv-mpris")
# Everything in one package, including the marker above.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified packaged)
# The autostart entry in /etc is a configuration file: an administrator's
# change of it survives an upgrade.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/cmake/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/debian/normalize-modes.cmake)
include(CPack)
