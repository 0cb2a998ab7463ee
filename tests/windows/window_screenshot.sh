#!/usr/bin/env bash
# Screenshot of the whole screen with veltrane.exe's window up under Wine, for
# docs/: against the Linux forecourt-sim with pumps in several statuses, one
# of them closed from the window ("Cerrar surtidor"). Not a test: it makes a
# picture, like tests/e2e/window_screenshot.sh on Linux.
# Usage (under tests/e2e/with-desktop; VELTRANE_SCREEN sets the screen size):
#   window_screenshot.sh DIR_WITH_VELTRANE_EXE FORECOURT_SIM_EXECUTABLE OUT.png
set -euo pipefail
source "$(dirname "$0")/lib.sh"
program=$(windows_path "$1/veltrane.exe")
sim=$2
out=$3

work=$(mktemp -d)
states=$data_dir/estsur.txt
trap 'kill "${pid:-}" "${sim_pid:-}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

fresh_data_dir
"$sim" --listen 127.0.0.1:3011 --seed "${VELTRANE_SCREENSHOT_SEED:-5}" --speed 2 --mean-idle 20 \
  >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
wait_for 10 grep -qs '^LISTENING' "$work/sim.out" || fail "forecourt-sim: $(cat "$work/sim.err")"
"$WINE" "$program" 2>/dev/null &
pid=$!
wait_for 90 log_has "$log" "Monitoreo iniciado" || fail "monitoring did not start"
sleep 15 # pumps call, are authorized and fuel

# A second start shows the window; pump 7 is closed through its keyboard
# shortcuts (Surtidor: Alt+S, Cerrar surtidor: Alt+E).
"$WINE" "$program" 2>/dev/null
window=
wait_for 30 eval 'window=$(visible_window); [[ -n $window ]]' || fail "the window did not show"
xdotool windowactivate --sync "$window" 2>/dev/null || true
sleep 1
xdotool key --clearmodifiers alt+s ctrl+a
xdotool type 7
xdotool key --clearmodifiers alt+e
wait_for 20 log_has "$log" "Cerrar surtidor 007" || echo "the close command was not sent: no closed pump"

best=0
deadline=$((SECONDS + 60))
while ((SECONDS < deadline && best < 5)); do
  count=$(tr -d '\r' <"$states" 2>/dev/null | cut -d= -f2 | sort -u | grep -c . || true)
  if ((count > best)); then
    sleep 0.5 # painted
    import -window root "$out"
    best=$count
    echo "$count statuses: $(tr -d '\r' <"$states" | cut -d= -f2 | sort | uniq -c | xargs)"
  fi
  sleep 0.2
done
close_program veltrane.exe
wait "$pid" || true
echo "screenshot: $out"
