# Shared by scripts/setup-windows, build-windows and test-windows (sourced):
# where Qt for Windows and the Wine prefix live, and how Qt is configured.
#
# Both live outside the tree, in VELTRANE_WINDOWS_CACHE (default
# ~/.cache/veltrane), keyed on what makes them: Qt on its version and the
# hash of its configure flags, patch and toolchain; the prefix on Wine's
# version.

windows_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
windows_cache=${VELTRANE_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/veltrane}
# Kept for the scripts this one starts, which may run with another HOME.
export VELTRANE_WINDOWS_CACHE=$windows_cache

# Qt for Windows: Debian's qt6-base source of the same version as the host
# tools (moc, rcc, uic) in qt6-base-dev-tools, built with mingw-w64.
qt_version=6.4.2
qt_name=qt$qt_version-mingw-x86_64
qt_toolchain=$windows_root/cmake/mingw-w64-x86_64.cmake
qt_patch=$windows_root/cmake/qt-windows-directwrite3-needs-direct2d.patch
# Core, Gui, Widgets, Network, Test only. freetype stays on: the offscreen
# platform plugin, which the window tests use, needs it. The source package
# lacks the third-party files of SQL and tablet events.
qt_flags=(
  -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
  -DFEATURE_pkg_config=OFF
  -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_dbus=OFF -DFEATURE_sql=OFF
  -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF
  -DFEATURE_tabletevent=OFF -DFEATURE_vulkan=OFF -DFEATURE_direct2d=OFF
  -DFEATURE_freetype=ON -DFEATURE_system_freetype=OFF -DFEATURE_jpeg=OFF -DFEATURE_openssl=OFF
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF
  -DFEATURE_system_png=OFF -DFEATURE_system_doubleconversion=OFF
)
qt_key=$qt_name-$( (printf '%s\n' "${qt_flags[@]}"; cat "$qt_patch" "$qt_toolchain") | sha256sum | cut -c1-12)
qt_prefix=$windows_cache/$qt_key/$qt_name

# The MinGW run-time that every program built with it needs beside it.
mingw_runtime=(
  /usr/lib/gcc/x86_64-w64-mingw32/12-posix/libstdc++-6.dll
  /usr/lib/gcc/x86_64-w64-mingw32/12-posix/libgcc_s_seh-1.dll
  /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll
)

# Wine: Debian's wine64 runs 64-bit programs only. No Mono or Gecko prompts;
# Wine's own chatter off (VELTRANE_WINEDEBUG to see it).
export WINE=/usr/lib/wine/wine64
export WINESERVER=/usr/lib/wine/wineserver
export WINEARCH=win64
export WINEDEBUG=${VELTRANE_WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
wine_version() { "$WINE" --version 2>/dev/null | cut -d" " -f1; }
export WINEPREFIX=${VELTRANE_WINEPREFIX:-$windows_cache/prefix-$(wine_version)}
