# The Debian package. It installs under /usr whatever prefix the build was
# configured with (a package under /usr/local would put its autostart entry
# where no session looks, and Debian keeps /usr/local for the administrator).
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the program links come from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its platform plugin (xcb) at run time, so dpkg-shlibdeps cannot see
# it; without it the program cannot open a window or a tray icon.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# The autostart entry lives in /etc, so it is a configuration file: an
# administrator who turns autostart off (Hidden=true) keeps that on upgrades.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/conffiles "/etc/xdg/autostart/veltrane.desktop\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/conffiles)
