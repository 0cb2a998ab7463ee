#!/usr/bin/env bash
# The NSIS installer under Wine: a silent install (/S) puts the program, Qt
# and the run-time in Program Files\Veltrane\bin with an uninstaller, the
# Start-menu and Startup shortcuts and the entry in the list of installed
# programs; the installed program starts hidden in the tray and "Salir" ends
# it; the silent uninstall removes all of that again and leaves C:\corvane.
# Usage (under tests/e2e/with-desktop): installer_test.sh INSTALLER.exe
set -euo pipefail
source "$(dirname "$0")/lib.sh"
installer=$1

root="$WINEPREFIX/drive_c/Program Files/Veltrane"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Veltrane'
startup_links() {
  find "$WINEPREFIX/drive_c" -ipath '*Start Menu/Programs/Startup/Veltrane.lnk' 2>/dev/null
}
menu_links() {
  find "$WINEPREFIX/drive_c" -ipath '*Start Menu/Programs/Veltrane/Veltrane.lnk' 2>/dev/null
}
registered() {
  "$WINE" reg query "$uninstall_key" >/dev/null 2>&1
}

[[ ! -e $root ]] || fail "Veltrane is installed already in $root"
fresh_data_dir
echo "installing $(basename "$installer") silently"
"$WINE" "$(windows_path "$installer")" /S || fail "the installer exited with $?"
# The installer may hand over to a child; wait for its last file.
wait_for 120 test -f "$root/Uninstall.exe" || fail "no uninstaller in $root"

expected=(
  bin/veltrane.exe bin/Qt6Core.dll bin/Qt6Gui.dll bin/Qt6Widgets.dll bin/Qt6Network.dll
  bin/libstdc++-6.dll bin/libgcc_s_seh-1.dll bin/libwinpthread-1.dll
  bin/platforms/qwindows.dll bin/styles/qwindowsvistastyle.dll Uninstall.exe
)
for file in "${expected[@]}"; do
  [[ -f $root/$file ]] || fail "not installed: $file"
done
(cd "$root" && find . -type f -iname '*forecourt*' -o -type f -iname 'test_*' | grep -q .) &&
  fail "a developer tool or test was installed"
[[ -n $(menu_links) ]] || fail "no Start-menu shortcut"
[[ -n $(startup_links) ]] || fail "no Startup shortcut (the silent install adds it)"
registered || fail "no entry in the list of installed programs ($uninstall_key)"
echo "installed: $(cd "$root" && find . -type f | wc -l) files, $(du -sh "$root" | cut -f1)"

echo "the installed program"
"$WINE" 'C:\Program Files\Veltrane\bin\veltrane.exe' &
pid=$!
trap 'kill "$pid" 2>/dev/null || true' EXIT
expect_started_in_tray "$log"
quit_through_tray_menu "$pid" "$log"
trap - EXIT

echo "uninstalling silently"
"$WINE" 'C:\Program Files\Veltrane\Uninstall.exe' /S || fail "the uninstaller exited with $?"
# The uninstaller runs a copy of itself from the temporary folder.
wait_for 120 eval '[[ ! -e $root ]]' || fail "left behind: $(cd "$root" && find . | head)"
[[ -z $(menu_links) ]] || fail "the Start-menu shortcut is left"
[[ -z $(startup_links) ]] || fail "the Startup shortcut is left"
! registered || fail "still in the list of installed programs"
[[ -f $log ]] || fail "the uninstaller removed the data folder"
echo "PASS: the installer installs, the installed program runs, the uninstaller removes it"
