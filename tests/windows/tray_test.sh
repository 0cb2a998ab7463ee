#!/usr/bin/env bash
# veltrane.exe under Wine on a desktop with a notification area, as on Linux:
# it starts hidden with its icon in the tray, a double-click on the icon shows
# the window, a second start (which finds the first through a named pipe)
# brings the window forward and leaves, and "Salir" in the icon's menu ends
# it with exit code 0 and its shutdown lines.
# Usage (under tests/e2e/with-desktop): tray_test.sh DIR_WITH_VELTRANE_EXE
set -euo pipefail
source "$(dirname "$0")/lib.sh"
program=$(windows_path "$1/veltrane.exe")

fresh_data_dir
pid=
trap '[[ -n $pid ]] && kill "$pid" 2>/dev/null || true' EXIT
"$WINE" "$program" &
pid=$!

expect_started_in_tray "$log"
echo "tray icon window: $icon"

xdotool mousemove --window "$icon" 8 8 click --repeat 2 --delay 80 1
wait_for 30 eval '[[ -n $(visible_window) ]]' || fail "a double-click did not show the window"
wait_for 10 log_has "$log" "Aplicación restaurada desde bandeja del sistema" ||
  fail "the restore was not logged"

# Hidden again through the window's minimize, then a second start.
xdotool windowminimize "$(visible_window)"
wait_for 30 eval '[[ -z $(visible_window) ]]' || fail "the window did not hide"
timeout 120 "$WINE" "$program" || fail "a second start exited with $?"
wait_for 30 eval '[[ -n $(visible_window) ]]' || fail "a second start did not show the window"
kill -0 "$pid" || fail "the first instance ended on a second start"

quit_through_tray_menu "$pid" "$log"
pid=
echo "PASS: veltrane.exe under Wine: tray start, restore, second start shows the window, Salir"
