#!/usr/bin/env bash
# What the window adds for the operator, in the real program against
# forecourt-sim: each pump's last sale on its tile, the stand-in stopped for
# a few seconds and started again (stale tiles, banner, one log line at each
# end of the outage), then "Detener todos" and "Abrir todos" through the
# keyboard and their confirmation. With SCREENSHOT_DIR it saves a picture of
# each state there (window.png, window-outage.png, ...).
# Usage (under tests/e2e/with-desktop):
#   operator_test.sh VELTRANE_EXECUTABLE FORECOURT_SIM_EXECUTABLE [PORT] [SCREENSHOT_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
program=$1
sim=$2
port=${3:-3011}
shots=${4:-}
seed=${VELTRANE_E2E_SEED:-5}

work=$(mktemp -d)
home=$work/home
mkdir -p "$home"
log=$home/corvane/debug.log
states=$home/corvane/estsur.txt
sales=$home/corvane/sale.txt
program_pid=
sim_pid=
finish() {
  end_run "$?" "$work" "" "$program_pid" "$sim_pid"
}
trap finish EXIT

# start_sim RECORD FIRST_SALE_ID
start_sim() {
  "$sim" --listen "127.0.0.1:$port" --seed "$seed" --speed 6 --mean-idle 10 \
    --first-sale-id "$2" --record "$1" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  wait_for 10 grep -q '^LISTENING' "$work/sim.out" ||
    fail "forecourt-sim is not listening on port $port: $(cat "$work/sim.err")"
}

stop_sim() {
  kill -TERM "$sim_pid"
  wait "$sim_pid" || true
  sim_pid=
}

shot() {
  if [[ -n $shots ]]; then
    mkdir -p "$shots"
    sleep 0.5 # the window repaints
    import -window root "$shots/$1"
    echo "screenshot: $shots/$1"
  fi
}

count_lines() { log_lines "$log" | grep -c -- "$1" || true; }
sale_rows() { [[ -f $sales ]] && echo $(($(wc -l <"$sales") - 1)) || echo 0; }
all_states() { [[ -f $states ]] && tr -d '\r' <"$states" | cut -d= -f2 | sort -u | xargs; }

# The main window's modal question, by its title.
dialog_window() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1; }

# run_series KEY TITLE ACCEPT_KEY REQUEST LOG_PREFIX RECORD
run_series() {
  local key=$1 title=$2 accept=$3 request=$4 prefix=$5 record=$6 dialog=
  local before
  before=$(count_lines "^$prefix")
  xdotool windowactivate --sync "$window" 2>/dev/null || true
  xdotool key --window "$window" "$key"
  wait_for 10 eval 'dialog=$(dialog_window "$title"); [[ -n $dialog ]]' ||
    fail "no confirmation for \"$title\""
  [[ $(count_lines "^$prefix") == "$before" ]] || fail "\"$title\" sent orders before the confirmation"
  shot "$7"
  xdotool key --window "$dialog" "$accept"
  wait_for 20 eval '(($(count_lines "^$prefix") >= before + 20))' ||
    fail "\"$title\": only $(($(count_lines "^$prefix") - before)) orders logged"
  # The log: the orders to pumps 001 to 020, in order.
  local expected logged
  expected=$(for n in $(seq 1 20); do printf '%s%03d\n' "$prefix" "$n"; done)
  logged=$(log_lines "$log" | grep -- "^$prefix" | tail -n 20)
  [[ $logged == "$expected" ]] || fail "\"$title\" logged: $logged"
  # The controller: twenty orders in a row, nothing else between them on the
  # main connection's side.
  python3 - "$record" "$request" <<'PY' || fail "\"$title\": the controller's record disagrees"
import json, sys
record, request = sys.argv[1], sys.argv[2]
commands = [json.loads(line) for line in open(record, encoding="utf-8")]
commands = [c for c in commands if c.get("type") == "command"]
series = [i for i, c in enumerate(commands) if c["name"] == request]
assert len(series) >= 20, f"{len(series)} {request}"
last = series[-20:]
assert last == list(range(last[0], last[0] + 20)), "another command came between the orders"
pumps = [commands[i]["pm"] for i in last]
assert pumps == [f"{n:03d}" for n in range(1, 21)], pumps
PY
}

# 1. Sales reach the tiles.
start_sim "$work/sim1.jsonl" 100001
HOME=$home "$program" >"$work/program.out" 2>&1 &
program_pid=$!
wait_for 20 log_has "$log" "Monitoreo iniciado" ||
  fail "monitoring did not start (log: $(log_lines "$log" | tail -n 5))"
HOME=$home "$program" # a second start shows the window
window=
wait_for 10 eval 'window=$(visible_window); [[ -n $window ]]' || fail "the window did not show"
wait_for 150 eval '(($(sale_rows) >= 8))' || fail "only $(sale_rows) sales recorded"
shot window.png

# 2. The stand-in stops for a few seconds: one line when the silence has
# lasted, one when it answers again.
[[ $(count_lines '^Sin respuesta del controlador desde las ') == 0 ]] ||
  fail "an outage was logged while the controller answered"
stop_sim
wait_for 15 eval '(($(count_lines "^Sin respuesta del controlador desde las ") == 1))' ||
  fail "the outage was not logged"
sleep 4
shot window-outage.png
[[ $(count_lines '^Sin respuesta del controlador desde las ') == 1 ]] ||
  fail "the outage was logged more than once"
[[ $(count_lines '^El controlador responde de nuevo tras ') == 0 ]] || fail "an end before the restart"
start_sim "$work/sim2.jsonl" 500001
wait_for 15 eval '(($(count_lines "^El controlador responde de nuevo tras [0-9].* sin respuesta$") == 1))' ||
  fail "the end of the outage was not logged: $(log_lines "$log" | tail -n 3)"
sleep 2
[[ $(count_lines '^Sin respuesta del controlador desde las ') == 1 &&
  $(count_lines '^El controlador responde de nuevo tras ') == 1 ]] ||
  fail "outage lines: $(log_lines "$log" | grep -E '^(Sin respuesta del|El controlador responde)')"
shot window-restored.png

# 3. Every pump stopped, then resumed (Alt+N: "Detener todos", Alt+I: "Abrir
# todos"; in the question, Alt+D / Alt+A accept).
run_series alt+n "Detener todos" alt+d REQ_STOP "Cerrar surtidor " "$work/sim2.jsonl" confirm-close-all.png
wait_for 10 eval '[[ $(all_states) == CLOSED ]]' || fail "not every pump closed: $(all_states)"
shot window-all-closed.png
run_series alt+i "Abrir todos" alt+a REQ_RESUME "Abrir surtidor " "$work/sim2.jsonl" confirm-open-all.png
wait_for 10 eval '[[ $(all_states) != *CLOSED* ]]' || fail "pumps still closed: $(all_states)"
shot window-reopened.png

kill -TERM "$program_pid"
expect_ended 15 "$program_pid" SIGTERM "the program"
program_pid=
stop_sim
echo "PASS: last sales on the tiles, an outage seen and logged once each way, all pumps stopped and resumed"
