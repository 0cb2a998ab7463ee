# What a Windows program of the project needs beside it, by rule (a cross
# build from Linux has no windeployqt): Qt's DLLs and plugins and, for MinGW,
# its C++ run-time. Included by packaging/ (the installer) and tests/windows
# (the test programs' folder).

# veltrane.exe: Qt Core, Gui, Widgets, Network; the windows platform plugin;
# the native style. It reads no image format beyond PNG, which Gui holds.
set(VELTRANE_QT_DLLS Qt6::Core Qt6::Gui Qt6::Widgets Qt6::Network)
set(VELTRANE_QT_PLATFORM_PLUGINS Qt6::QWindowsIntegrationPlugin)
set(VELTRANE_QT_STYLE_PLUGINS Qt6::QWindowsVistaStylePlugin)

set(VELTRANE_RUNTIME_DLLS)
if(MINGW)
  foreach(dll IN ITEMS libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${_path}" OR NOT EXISTS "${_path}")
      message(FATAL_ERROR "the MinGW run-time ${dll} was not found by ${CMAKE_CXX_COMPILER}")
    endif()
    file(REAL_PATH "${_path}" _path)
    list(APPEND VELTRANE_RUNTIME_DLLS "${_path}")
  endforeach()
endif()

# $<TARGET_FILE:...> of each target in the list.
function(veltrane_target_files out)
  set(files)
  foreach(target IN LISTS ARGN)
    list(APPEND files "$<TARGET_FILE:${target}>")
  endforeach()
  set(${out} ${files} PARENT_SCOPE)
endfunction()
