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

wait_for 15 log_has "$log" "Aplicación minimizada a bandeja del sistema" ||
  fail "the program did not reach the tray (log: $(log_lines "$log"))"
[[ -z $(visible_window) ]] || fail "the window is visible at start-up"
icon=
wait_for 10 eval 'icon=$(tray_icon_window)' || fail "no icon in the notification area"

# Right-click opens the menu; "Salir" is its last item.
xdotool mousemove --window "$icon" 8 8 click 3
menu=
wait_for 5 eval 'menu=$(xdotool search --onlyvisible --pid "$pid" --class "" 2>/dev/null | head -n1); [[ -n $menu ]]' ||
  fail "the icon's menu did not open"
sleep 0.3
xdotool key --clearmodifiers Up Return

status=0
wait_for 10 eval '! kill -0 "$pid" 2>/dev/null' || fail "\"Salir\" did not end the program"
wait "$pid" || status=$?
[[ $status -eq 0 ]] || fail "exit code $status"

tail=$(log_lines "$log" | tail -n 2)
expected=$'=== APLICACIÓN CERRANDO ===\nPool de clientes liberado'
[[ $tail == "$expected" ]] || fail "unexpected shutdown lines: $tail"
echo "PASS: installed program from its autostart entry: tray start, Salir"
