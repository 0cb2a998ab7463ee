#!/usr/bin/env bash
# The real program on a desktop with a notification area: it starts hidden
# with its icon in the tray, a double-click on the icon shows the window, and
# "Salir" in the icon's menu ends it with exit code 0 and its shutdown lines.
# Usage (under tests/e2e/with-desktop): tray_test.sh VELTRANE_EXECUTABLE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
program=$1

home=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$home"' EXIT
log=$home/corvane/debug.log

HOME=$home "$program" &
pid=$!

expect_started_in_tray "$log"
echo "tray icon window: $icon"

# A double-click on the icon restores the window.
xdotool mousemove --window "$icon" 8 8 click --repeat 2 --delay 80 1
wait_for 10 eval '[[ -n $(visible_window) ]]' || fail "a double-click did not show the window"
wait_for 5 log_has "$log" "Aplicación restaurada desde bandeja del sistema" ||
  fail "the restore was not logged"

# A second start brings the running window forward and leaves at once.
HOME=$home timeout 10 "$program" || fail "a second start exited with $?"
kill -0 "$pid" || fail "the first instance ended on a second start"

quit_through_tray_menu "$pid" "$log"
echo "PASS: tray start, restore, second start, Salir"
