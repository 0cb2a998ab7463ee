# The Debian package. Build it from a tree configured with
# -DCMAKE_INSTALL_PREFIX=/usr: the package installs under the same prefix the
# install rules were laid out for.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
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
set(_autostart_entry ${_autostart_dir}/veltrane.desktop)
if(_autostart_entry MATCHES "^/etc/")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/conffiles "${_autostart_entry}\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/conffiles)
endif()
