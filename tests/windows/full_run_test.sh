#!/usr/bin/env bash
# veltrane.exe against forecourt-sim.exe, both under Wine, checked like the
# Linux run (tests/e2e/check_run.py): every sale served recorded exactly once,
# the pump states, the authorizations. A back-office reader holds sale.txt
# and estsur.txt open with fopen for the first part of the run, as Windows
# programs do: the replace that Windows then refuses must give way to an
# in-place rewrite, logged, and no sale may be lost. Both programs are ended
# the way Windows asks a program to close (taskkill, WM_CLOSE).
# Usage (under tests/e2e/with-desktop): full_run_test.sh BIN_DIR
# BIN_DIR holds veltrane.exe, forecourt-sim.exe and hold_file.exe with Qt
# beside them. VELTRANE_E2E_SEED repeats the pump model of an earlier run.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
bin=$1
seed=${VELTRANE_E2E_SEED:-$((RANDOM * 32768 + RANDOM))}
sales_checks=25

work=$(mktemp -d)
record=$work/sim.jsonl
program_pid=
sim_pid=
holder_pid=
finish() {
  local status=$?
  ((status == 0)) || cp -r "$data_dir" "$work/corvane" 2>/dev/null || true
  end_run "$status" "$work" "seed $seed; " "$program_pid" "$sim_pid" "$holder_pid"
}
trap finish EXIT

count_sales_exchanges() {
  grep -F '"name":"REQ_GET_PUMP_SALES"' "$record" 2>/dev/null | grep -cF '"type":"exchange"' || true
}

fresh_data_dir
header="ID Venta,# de Venta,Fecha de Fin,Hora de Fin,Surtidor,Manguera,ID Producto,Combustible,Volumen,Vol Compensado,PPU,Monto,Totaliz. Inicial,TC Inicial,Volumen Final,TC Final,Temp media,Tipo de Venta,Tipo de Pago"
printf '%s\r\n' "$header" >"$data_dir/sale.txt"
: >"$data_dir/estsur.txt"

echo "forecourt-sim.exe seed $seed"
"$WINE" "$(windows_path "$bin/forecourt-sim.exe")" --listen 127.0.0.1:3011 --seed "$seed" --speed 10 \
  --mean-idle 30 --record "$(windows_path "$record")" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
wait_for 90 grep -qs '^LISTENING' "$work/sim.out" ||
  fail "forecourt-sim.exe is not listening: $(cat "$work/sim.err")"

"$WINE" "$(windows_path "$bin/hold_file.exe")" 'C:\corvane\sale.txt' 'C:\corvane\estsur.txt' \
  >"$work/holder.out" 2>&1 &
holder_pid=$!
wait_for 60 grep -qs '^HOLDING' "$work/holder.out" || fail "hold_file.exe: $(cat "$work/holder.out")"

"$WINE" "$(windows_path "$bin/veltrane.exe")" >"$work/program.out" 2>&1 &
program_pid=$!
wait_for 90 log_has "$log" "Monitoreo iniciado" ||
  fail "monitoring did not start (log: $(log_lines "$log" | tail -n 5))"

# Both files written in place while the reader holds them, then released.
for file in estsur.txt sale.txt; do
  wait_for 150 log_has "$log" "Archivo en uso por otro programa, reescrito en su lugar: C:\\corvane\\$file" ||
    fail "$file was not rewritten in place while held (log: $(log_lines "$log" | grep -i archivo | tail -n 3))"
done
echo "rewritten in place while held: $(log_lines "$log" | grep -c 'reescrito en su lugar') times"
close_program hold_file.exe || true
kill "$holder_pid" 2>/dev/null || true
wait "$holder_pid" 2>/dev/null || true
holder_pid=
held_until=$(log_lines "$log" | grep -c 'reescrito en su lugar')

wait_for 240 eval '(($(count_sales_exchanges) >= sales_checks))' ||
  fail "only $(count_sales_exchanges) sales checks reached the controller"
kill -0 "$program_pid" 2>/dev/null || fail "the program ended by itself"
# Once the reader has gone the files are replaced again.
(($(log_lines "$log" | grep -c 'reescrito en su lugar') <= held_until + 2)) ||
  fail "files still rewritten in place after the reader left"

close_program veltrane.exe || fail "taskkill found no veltrane.exe"
expect_ended 60 "$program_pid" WM_CLOSE "the program"
program_pid=
expect_shutdown_lines "$log" monitoring

close_program forecourt-sim.exe || fail "taskkill found no forecourt-sim.exe"
expect_ended 60 "$sim_pid" WM_CLOSE forecourt-sim.exe
sim_pid=

python3 "$windows_tests/../e2e/check_run.py" --record "$record" --data-dir "$data_dir" \
  --min-sales 3 --min-authorizations 3 || fail "the program's files disagree with the record"
echo "PASS: under Wine, sales, pump states and authorizations of a $SECONDS s run agree with the controller"
