#!/usr/bin/env bash
# The real program against forecourt-sim (sped up, pumps calling at random)
# for about a minute: afterwards its sale file, pump state file and the
# authorizations it sent must agree with the stand-in's record of the run
# (check_run.py). The run lasts until the sales poll has gone past a whole
# cycle of the twenty pumps, however fast or slow the machine is.
# Usage (under tests/e2e/with-desktop):
#   full_run_test.sh VELTRANE_EXECUTABLE FORECOURT_SIM_EXECUTABLE [PORT]
#                    [--sales-checks N] [--speed F] [--min-sales N] [-- SIM_OPTIONS...]
# SIM_OPTIONS go to forecourt-sim as they are (a reply layout such as
# --reply-length message --no-caret). VELTRANE_E2E_SEED repeats the pump
# model of an earlier run.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
program=$1
sim=$2
port=${3:-3011}
shift $(($# < 3 ? $# : 3))
seed=${VELTRANE_E2E_SEED:-$((RANDOM * 32768 + RANDOM))}
# 25 sales checks, one every 2 s: every pump asked at least once after the
# pumps have had time to sell.
sales_checks=25
speed=10
min_sales=3
sim_options=()
while (($#)); do
  case $1 in
    --sales-checks) sales_checks=$2; shift 2 ;;
    --speed) speed=$2; shift 2 ;;
    --min-sales) min_sales=$2; shift 2 ;;
    --) shift; sim_options=("$@"); break ;;
    *) fail "unknown option $1" ;;
  esac
done

work=$(mktemp -d)
home=$work/home
mkdir -p "$home"
log=$home/corvane/debug.log
record=$work/sim.jsonl
program_pid=
sim_pid=
finish() {
  end_run "$?" "$work" "seed $seed; " "$program_pid" "$sim_pid"
}
trap finish EXIT

# Sales checks answered: runs of sales exchanges for the same pump (a check
# may make two attempts).
count_sales_checks() {
  grep -F '"name":"REQ_GET_PUMP_SALES"' "$record" 2>/dev/null | grep -F '"type":"exchange"' |
    grep -o '"pump":[0-9]*' | uniq | wc -l || true
}

echo "forecourt-sim seed $seed${sim_options[*]:+, ${sim_options[*]}}"
"$sim" --listen "127.0.0.1:$port" --seed "$seed" --speed "$speed" --mean-idle 30 \
  --record "$record" "${sim_options[@]}" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
wait_for 10 grep -q '^LISTENING' "$work/sim.out" ||
  fail "forecourt-sim is not listening on port $port: $(cat "$work/sim.err")"

HOME=$home "$program" >"$work/program.out" 2>&1 &
program_pid=$!
wait_for 20 log_has "$log" "Monitoreo iniciado" ||
  fail "monitoring did not start (log: $(log_lines "$log" | tail -n 5))"

wait_for 150 eval '(($(count_sales_checks) >= sales_checks))' ||
  fail "only $(count_sales_checks) sales checks reached the controller"
kill -0 "$program_pid" 2>/dev/null || fail "the program ended by itself"

kill -TERM "$program_pid"
expect_ended 15 "$program_pid" SIGTERM "the program"
program_pid=
expect_shutdown_lines "$log" monitoring

kill -TERM "$sim_pid"
expect_ended 15 "$sim_pid" SIGTERM forecourt-sim
sim_pid=

python3 "$here/check_run.py" --record "$record" --data-dir "$home/corvane" \
  --min-sales "$min_sales" --min-authorizations 3 || fail "the program's files disagree with the record"
echo "PASS: sales, pump states and authorizations of a $((SECONDS)) s run agree with the controller"
