# Helpers for the end-to-end tests, sourced by them.

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# wait_for SECONDS COMMAND...: retries COMMAND until it succeeds.
wait_for() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# The debug log as UTF-8 text with the time stamps removed.
log_lines() {
  [[ -f $1 ]] || return 0
  iconv -f CP1252 -t UTF-8 "$1" | tr -d '\r' | sed -E 's/^\[[0-9-]{10} [0-9:]{8}\] //'
}

log_has() {
  log_lines "$1" | grep -qxF -- "$2"
}

# The main window's X id, if it is mapped.
visible_window() {
  xdotool search --onlyvisible --name '^Veltrane V3 - Monitor de surtidores$' 2>/dev/null | head -n1
}

# The tray icon's X window: the window that icewm's tray embedded.
tray_icon_window() {
  local tray
  tray=$(xwininfo -root -tree | awk '/"SystemTray"/ { print $1; exit }')
  [[ -n $tray ]] || return 1
  xwininfo -children -id "$tray" | awk '/^ +0x/ { print $1; exit }'
}

# Waits until the program has started hidden with its icon in the tray, and
# sets `icon` to the icon's window. Usage: expect_started_in_tray LOG
# (tray_start_seconds and tray_icon_seconds give slower systems more time).
expect_started_in_tray() {
  local log=$1
  wait_for "${tray_start_seconds:-15}" log_has "$log" "Aplicación minimizada a bandeja del sistema" ||
    fail "the program did not reach the tray (log: $(log_lines "$log"))"
  [[ -z $(visible_window) ]] || fail "the window is visible at start-up"
  icon=
  wait_for "${tray_icon_seconds:-10}" eval 'icon=$(tray_icon_window)' ||
    fail "no icon in the notification area"
}

# The end of a run, called first thing by its EXIT trap: stops the processes
# it started and removes its work directory, or keeps it when the run failed.
# Usage: end_run STATUS WORK NOTE PID...   (empty PIDs are skipped)
end_run() {
  local status=$1 work=$2 note=$3 pid
  shift 3
  for pid in "$@"; do
    [[ -n $pid ]] && kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  if ((status == 0)); then
    rm -rf "$work"
  else
    echo "${note}the run's files are kept in $work" >&2
  fi
}

# Chooses "Salir", the last item of the icon's menu, and checks that the
# program ends with exit code 0 and its shutdown lines.
# Usage: quit_through_tray_menu PID LOG (after expect_started_in_tray)
quit_through_tray_menu() {
  local pid=$1 log=$2 menu=
  xdotool mousemove --window "$icon" 8 8 click 3
  wait_for 5 eval 'menu=$(xdotool search --onlyvisible --pid "$pid" --class "" 2>/dev/null | while read -r w; do [[ $w != $(visible_window) ]] && echo "$w"; done | head -n1); [[ -n $menu ]]' ||
    fail "the icon's menu did not open"
  sleep 0.3
  xdotool key --clearmodifiers Up Return
  expect_ended 10 "$pid" '"Salir"' "the program"
  expect_shutdown_lines "$log"
}

# Waits up to SECONDS for PID, asked to end by HOW, to end, and fails unless
# it ended with exit code 0. Usage: expect_ended SECONDS PID HOW NAME
expect_ended() {
  local pid=$2 status=0
  wait_for "$1" eval '! kill -0 "$pid" 2>/dev/null' || fail "$3 did not end $4"
  wait "$pid" || status=$?
  ((status == 0)) || fail "$4 exited with $status"
}

# The program's last lines: the closing banner, then the pool freed last;
# with "monitoring", "Monitoreo detenido" (pump states saved) between them.
# Usage: expect_shutdown_lines LOG [monitoring]
expect_shutdown_lines() {
  local shutdown
  if [[ ${2:-} == monitoring ]]; then
    shutdown=$(log_lines "$1" | sed -n '/^=== APLICACIÓN CERRANDO ===$/,$p')
    grep -qxF "Monitoreo detenido" <<<"$shutdown" &&
      [[ $(tail -n 1 <<<"$shutdown") == "Pool de clientes liberado" ]] ||
      fail "unexpected shutdown lines: $shutdown"
  else
    shutdown=$(log_lines "$1" | tail -n 2)
    [[ $shutdown == $'=== APLICACIÓN CERRANDO ===\nPool de clientes liberado' ]] ||
      fail "unexpected shutdown lines: $shutdown"
  fi
}
