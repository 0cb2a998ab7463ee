# The Windows installer (NSIS). Included from packaging/CMakeLists.txt on
# Windows only; makensis must be on PATH for `cpack -G NSIS`.
set(CPACK_GENERATOR NSIS)
set(CPACK_NSIS_PACKAGE_NAME "Veltrane")
set(CPACK_NSIS_DISPLAY_NAME "Veltrane ${PROJECT_VERSION}")
set(CPACK_NSIS_CONTACT "veltrane@example.invalid")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# A 64-bit installer, like the program: it installs into the 64-bit
# Program Files and registry view, and runs where only 64-bit programs do
# (Debian's wine64). CPack puts CPACK_NSIS_DEFINES at the head of the script,
# where the target must be set; makensis's own option for it cannot be
# passed through CPack as one argument.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Veltrane")
# An older version is removed first, so no stale Qt files are left behind.
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)

# The program's icon on the installer, the uninstaller and the entry in the
# list of installed programs.
set(CPACK_NSIS_MUI_ICON ${CMAKE_CURRENT_LIST_DIR}/veltrane.ico)
set(CPACK_NSIS_MUI_UNIICON ${CMAKE_CURRENT_LIST_DIR}/veltrane.ico)
set(CPACK_NSIS_INSTALLED_ICON_NAME "bin\\veltrane.exe")

# Start-menu shortcut: program file name (in bin\), then the shortcut's text.
set(CPACK_PACKAGE_EXECUTABLES "veltrane" "Veltrane")

# "Start with Windows": a check box on the installer's last page, checked by
# default, that puts a shortcut in the Startup folder (the all-users one when
# the installer runs as an administrator, as it normally does). A silent
# install (/S) shows no pages and adds the shortcut as well. The uninstaller
# removes it.
#
# The installer has no other hook for code outside its sections, so the
# finish-page settings and the function go in through the variable CPack
# fills from CPACK_NSIS_MUI_FINISHPAGE_RUN (which stays unset here: the
# installer runs elevated, and so would a program it starts).
set(CPACK_NSIS_INSTALLER_MUI_FINISHPAGE_RUN_CODE [=[
!define MUI_FINISHPAGE_SHOWREADME ""
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Iniciar Veltrane con Windows"
!define MUI_FINISHPAGE_SHOWREADME_FUNCTION VeltraneStartWithWindows
Function VeltraneStartWithWindows
  CreateShortCut "$SMSTARTUP\Veltrane.lnk" "$INSTDIR\bin\veltrane.exe"
FunctionEnd
]=])
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS [=[
  IfSilent 0 +2
    Call VeltraneStartWithWindows
]=])
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS [=[
  Delete "$SMSTARTUP\Veltrane.lnk"
]=])
