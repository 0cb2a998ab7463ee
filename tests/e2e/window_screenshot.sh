#!/usr/bin/env bash
# Screenshot of the whole screen with the main window up, for docs/: the real
# program against forecourt-sim with pumps in several statuses, one of them
# closed from the window ("Cerrar surtidor"). Not a test: it makes a picture.
# Usage (under tests/e2e/with-desktop; VELTRANE_SCREEN sets the screen size):
#   window_screenshot.sh VELTRANE_EXECUTABLE FORECOURT_SIM_EXECUTABLE OUT.png [PORT]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
program=$1
sim=$2
out=$3
port=${4:-3011}

work=$(mktemp -d)
home=$work/home
mkdir -p "$home"
log=$home/corvane/debug.log
states=$home/corvane/estsur.txt
trap 'kill "${pid:-}" "${sim_pid:-}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

"$sim" --listen "127.0.0.1:$port" --seed "${VELTRANE_SCREENSHOT_SEED:-5}" --speed 2 --mean-idle 20 \
  >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
wait_for 10 grep -q '^LISTENING' "$work/sim.out" || fail "forecourt-sim: $(cat "$work/sim.err")"
HOME=$home "$program" &
pid=$!
wait_for 20 log_has "$log" "Monitoreo iniciado" || fail "monitoring did not start"
sleep 15 # pumps call, are authorized and fuel

# A second start shows the window; pump 7 is closed through its keyboard
# shortcuts (Surtidor: Alt+S, Cerrar surtidor: Alt+E).
HOME=$home "$program"
window=
wait_for 10 eval 'window=$(visible_window); [[ -n $window ]]' || fail "the window did not show"
xdotool windowactivate --sync "$window" 2>/dev/null || true
xdotool key --window "$window" alt+s ctrl+a
xdotool type --window "$window" 7
xdotool key --window "$window" alt+e
wait_for 10 log_has "$log" "Cerrar surtidor 007" || fail "the close command was not sent"

# The picture is taken when the most different statuses are on screen.
best=0
deadline=$((SECONDS + 60))
while ((SECONDS < deadline && best < 5)); do
  count=$(tr -d '\r' <"$states" 2>/dev/null | cut -d= -f2 | sort -u | grep -c . || true)
  if ((count > best)); then
    import -window root "$out"
    best=$count
    echo "$count statuses: $(tr -d '\r' <"$states" | cut -d= -f2 | sort | uniq -c | xargs)"
  fi
  sleep 0.2
done
kill -TERM "$pid"
wait "$pid"
echo "screenshot: $out"
