#!/usr/bin/env bash
# The program as installed by its package, started the way a desktop session
# starts it: the command of the autostart entry, found on PATH. It must reach
# the notification area hidden, and "Salir" in the icon's menu must end it with
# exit code 0 and its shutdown lines.
# Usage (under tests/e2e/with-desktop): installed_test.sh ROOT
# ROOT is the unpacked package (dpkg-deb -x), holding usr/ and etc/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
root=$(cd "$1" && pwd)

entry=$root/etc/xdg/autostart/veltrane.desktop
[[ -f $entry ]] || fail "no autostart entry at $entry"
command=$(sed -n 's/^Exec=//p' "$entry")
[[ -n $command ]] || fail "the autostart entry has no Exec line"
menu_command=$(sed -n 's/^Exec=//p' "$root/usr/share/applications/veltrane.desktop")
[[ $menu_command == "$command" ]] ||
  fail "the menu entry runs '$menu_command', the autostart entry '$command'"

export PATH=$root/usr/bin:$PATH
resolved=$(command -v "${command%% *}") || fail "'$command' is not on PATH"
[[ $resolved == "$root/usr/bin/veltrane" ]] || fail "'$command' resolves to $resolved"

home=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$home"' EXIT
log=$home/corvane/debug.log

# shellcheck disable=SC2086 # the Exec value is a command line
HOME=$home $command &
pid=$!

expect_started_in_tray "$log"

quit_through_tray_menu "$pid" "$log"
echo "PASS: installed program from its autostart entry: tray start, Salir"
