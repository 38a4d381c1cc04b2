# The Debian package: `cpack -G DEB` in the build directory (see the README's Install
# section). It holds what cmake/Install.cmake installs, under /usr, with the shared-library
# dependencies that dpkg-shlibdeps finds.
set(CPACK_PACKAGE_NAME pikora)
set(CPACK_PACKAGE_VENDOR "Pikora")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "one-press screen projection with a USB button")
set(CPACK_PACKAGE_DESCRIPTION
  "Pikora turns a small USB button into a one-press key for projecting the screen onto a
wireless-display receiver. It lives in the system tray, switches the button into network
mode, connects to the receiver the button is paired with and projects the main display.
It starts at login through a small helper and installs a udev rule that lets the user at
the seat use the button.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(PIKORA_PACKAGE_MAINTAINER "Pikora developers <pikora@example.org>" CACHE STRING
  "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PIKORA_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${PIKORA_BUILD_NUMBER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Our own libraries live in lib/pikora and come with the package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
# The SVG icon engine the tray icon needs comes with libqt6svg6, which Pikora links (so
# dpkg-shlibdeps lists it). udev applies the USB access rule; without it (a container, say)
# only root can open the button.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev, hicolor-icon-theme")
configure_file(${PROJECT_SOURCE_DIR}/Pikora/Resources/desktop/debian/postinst.in
  ${PROJECT_BINARY_DIR}/packaging/debian/postinst @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_BINARY_DIR}/packaging/debian/postinst
  ${PROJECT_SOURCE_DIR}/Pikora/Resources/desktop/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
