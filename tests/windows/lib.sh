# Helpers for the Windows end-to-end tests under Wine, sourced by them: those
# of tests/e2e/lib.sh, the Wine prefix of scripts/windows-env.sh, the Windows
# program's data folder, and waits long enough for Wine, which takes seconds
# where Linux takes milliseconds to start a program.
windows_tests=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$windows_tests/../e2e/lib.sh"
source "$windows_tests/../../scripts/windows-env.sh"

# C:\corvane, the Windows program's data folder, as Linux sees it.
data_dir=$WINEPREFIX/drive_c/corvane
log=$data_dir/debug.log

# A Linux path as Windows programs under Wine name it (drive Z: is /).
windows_path() {
  local path
  path=$(realpath -m "$1")
  printf 'Z:%s' "${path//\//\\}"
}

# An empty data folder, and no lock left by an earlier run's instance.
fresh_data_dir() {
  rm -rf "$data_dir"
  mkdir -p "$data_dir"
  rm -f "$WINEPREFIX"/drive_c/users/*/Temp/veltrane-*.lock
}

# Ends the processes of one program name the way Windows asks a program to
# close (WM_CLOSE), as the session's end or taskkill do.
close_program() {
  "$WINE" taskkill /im "$1" >/dev/null 2>&1
}

expect_started_in_tray() {
  local log=$1
  wait_for 90 log_has "$log" "Aplicación minimizada a bandeja del sistema" ||
    fail "the program did not reach the tray (log: $(log_lines "$log"))"
  [[ -z $(visible_window) ]] || fail "the window is visible at start-up"
  icon=
  wait_for 30 eval 'icon=$(tray_icon_window)' || fail "no icon in the notification area"
}

# As on Linux, but the item is clicked: under Wine the menu is a window of
# its own (named after the program) that keys sent to the desktop may miss.
quit_through_tray_menu() {
  local pid=$1 log=$2 menu= status=0
  xdotool mousemove --window "$icon" 8 8 click 3
  wait_for 30 eval 'menu=$(xdotool search --onlyvisible --name "^Veltrane$" 2>/dev/null | head -n1); [[ -n $menu ]]' ||
    fail "the icon's menu did not open"
  sleep 1
  local WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$menu" | grep -E '^(WIDTH|HEIGHT)=')"
  # "Salir" is the last item.
  xdotool mousemove --window "$menu" $((WIDTH / 2)) $((HEIGHT - 10)) click 1
  wait_for 60 eval '! kill -0 "$pid" 2>/dev/null' || fail "\"Salir\" did not end the program"
  wait "$pid" || status=$?
  [[ $status -eq 0 ]] || fail "exit code $status"
  local tail expected
  tail=$(log_lines "$log" | tail -n 2)
  expected=$'=== APLICACIÓN CERRANDO ===\nPool de clientes liberado'
  [[ $tail == "$expected" ]] || fail "unexpected shutdown lines: $tail"
}
