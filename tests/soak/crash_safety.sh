#!/usr/bin/env bash
# Crash safety of the sale file: the real program records sales into a large
# sale file (100 000 rows to begin with) and is killed with SIGKILL at random
# moments, again and again: half of the kills at a random time, half a random
# few milliseconds after it has logged a new row, that is while it rewrites the
# file. After every kill check_sale_file.py asserts that the file is whole:
# the header, every row seen before still there in order, no partial row,
# CR LF after the last line, and no temporary file left in the data
# directory. At the end one more run must record a sale on top of it all.
#
# Usage: crash_safety.sh [--kills N] [--rows N] [--out DIR] [--seed N] VELTRANE FORECOURT_SIM
#   --seed  draws the kill moments (default: a random one); printed, so that a
#           run's draws can be repeated (the moments themselves follow the
#           machine's timing)
# Uses the controller's fixed port 127.0.0.1:3011: run it under
# scripts/private-network, as the suite does. Without a display it runs
# itself under tests/e2e/with-desktop.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

kills=30
rows=100000
out=
seed=$((RANDOM * 32768 + RANDOM))
while (($#)); do
  case $1 in
    --kills) kills=$2; shift 2 ;;
    --rows) rows=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    -*) echo "crash_safety.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
(($# == 2)) || { sed -n '2,/^set -euo/p' "$0" | sed '$d' >&2; exit 2; }
program=$(realpath "$1")
sim=$(realpath "$2")

if [[ -z ${CRASH_ON_DESKTOP:-} ]]; then
  export CRASH_ON_DESKTOP=1
  exec "$here/../e2e/with-desktop" "$0" --kills "$kills" --rows "$rows" --seed "$seed" \
    ${out:+--out "$out"} "$program" "$sim"
fi
echo "crash: $kills kills, seed $seed"
RANDOM=$seed

keep=1
if [[ -z $out ]]; then
  out=$(mktemp -d)
  keep=0
fi
mkdir -p "$out"
out=$(realpath "$out")
home=$out/home
data=$home/corvane
rm -rf "$home"
mkdir -p "$data"

program_pid=
sim_pid=
cleanup() {
  local status=$?
  [[ -n $program_pid ]] && kill -KILL "$program_pid" 2>/dev/null || true
  [[ -n $sim_pid ]] && kill -KILL "$sim_pid" 2>/dev/null || true
  if ((status == 0 && keep == 0)); then
    rm -rf "$out"
  elif ((status != 0)); then
    echo "crash_safety.sh: files kept in $out" >&2
  fi
}
trap cleanup EXIT

python3 "$here/check_sale_file.py" --make "$data/sale.txt" --rows "$rows"

# Pumps that call, are authorized and sell every couple of seconds, so that
# nearly every sales check of the program finds a new sale to record.
"$sim" --listen 127.0.0.1:3011 --seed 7 --speed 60 --mean-idle 20 --call-timeout 600 \
  --record "$out/record.jsonl" >"$out/sim.out" 2>"$out/sim.err" &
sim_pid=$!
for _ in $(seq 50); do
  grep -q '^LISTENING' "$out/sim.out" 2>/dev/null && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$out/sim.err" >&2; echo "crash: forecourt-sim did not start (port 3011 busy?)" >&2; exit 1; }
  sleep 0.1
done

# Rows the program has logged as added (the log is Windows-1252: match ASCII).
saved_lines() {
  local n
  n=$(LC_ALL=C grep -acF 'agregada (CON COMAS): ' "$data/debug.log" 2>/dev/null || true)
  echo "${n:-0}"
}

cp "$data/sale.txt" "$out/before.txt"
mid_write=0
before_rename=0
for ((k = 1; k <= kills; k++)); do
  HOME=$home "$program" >>"$out/program.out" 2>&1 &
  program_pid=$!
  if ((k % 2 == 0)); then
    # A random moment of the run: 1.5 s to connect, then polls and checks.
    sleep "$((1 + RANDOM % 5)).$((RANDOM % 1000))"
  else
    # While it writes: right after it logs the row it is about to save.
    before=$(saved_lines)
    deadline=$((SECONDS + 30))
    while (($(saved_lines) == before)); do
      ((SECONDS < deadline)) || { echo "crash: no sale recorded within 30 s" >&2; exit 1; }
      sleep 0.002
    done
    delay=$((RANDOM % 80))
    ((delay == 0)) || sleep "0.$(printf '%03d' "$delay")"
    mid_write=$((mid_write + 1))
  fi
  kill -KILL "$program_pid"
  wait "$program_pid" 2>/dev/null || true
  program_pid=
  # A kill while writing that left the file as it was came before the new
  # file was in place.
  if ((k % 2 == 1)) && cmp -s "$data/sale.txt" "$out/before.txt"; then
    before_rename=$((before_rename + 1))
  fi
  python3 "$here/check_sale_file.py" --check "$data/sale.txt" --previous "$out/before.txt" \
    --data "$data" --label "kill $k" || exit 1
  cp "$data/sale.txt" "$out/before.txt"
  # The single-instance lock of a killed process must not keep the next one out.
done

# A last run after all that: it must still record.
before=$(saved_lines)
HOME=$home "$program" >>"$out/program.out" 2>&1 &
program_pid=$!
deadline=$((SECONDS + 40))
until (($(saved_lines) > before)) &&
      LC_ALL=C grep -aq 'Archivo guardado exitosamente' <(tail -n 200 "$data/debug.log"); do
  ((SECONDS < deadline)) || { echo "crash: the run after the kills recorded nothing" >&2; exit 1; }
  sleep 0.2
done
sleep 1
kill -TERM "$program_pid"
wait "$program_pid" || { echo "crash: the last run ended with $?" >&2; exit 1; }
program_pid=
python3 "$here/check_sale_file.py" --check "$data/sale.txt" --previous "$out/before.txt" \
  --data "$data" --label "final run" || exit 1
echo "PASS: $kills kills ($mid_write while writing, $before_rename of those before the new file" \
  "was in place), sale file whole after each;" \
  "$(($(wc -l <"$data/sale.txt") - 1)) rows"
