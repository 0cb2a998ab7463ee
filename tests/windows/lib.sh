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

# A program under Wine takes far longer to reach the tray.
tray_start_seconds=90
tray_icon_seconds=30

# As on Linux, with what Wine needs: its menu is a window of its own (named
# after the program), which takes keys only when it has the focus and, when
# the main window has been shown before, takes a click rather than keys. So
# each try opens the menu, clicks the last item ("Salir"), then, if the
# program still runs, opens it again and chooses the item by keys.
quit_through_tray_menu() {
  local pid=$1 log=$2 menu= try WIDTH HEIGHT
  # Wine may embed the icon anew (a new window) and may miss a click while
  # busy: the icon is looked up again before each click.
  open_menu() {
    local attempt
    menu=
    for attempt in 1 2 3 4 5 6; do
      icon=$(tray_icon_window) || true
      [[ -n $icon ]] && xdotool mousemove --window "$icon" 8 8 click 3 2>/dev/null || true
      wait_for 5 eval 'menu=$(xdotool search --onlyvisible --name "^Veltrane$" 2>/dev/null | head -n1); [[ -n $menu ]]' &&
        break
    done
    [[ -n $menu ]] || fail "the icon's menu did not open"
    sleep 2
  }
  for try in 1 2 3; do
    open_menu
    if eval "$(xdotool getwindowgeometry --shell "$menu" 2>/dev/null | grep -E '^(WIDTH|HEIGHT)=')"; then
      xdotool mousemove --window "$menu" $((WIDTH / 2)) $((HEIGHT - 10)) click 1 2>/dev/null || true
    fi
    wait_for 10 eval '! kill -0 "$pid" 2>/dev/null' && break
    xdotool key Escape
    open_menu
    xdotool key --clearmodifiers Up Return
    wait_for 10 eval '! kill -0 "$pid" 2>/dev/null' && break
    echo "the menu did not end the program (try $try)" >&2
    xdotool key Escape
  done
  expect_ended 30 "$pid" '"Salir"' "the program"
  expect_shutdown_lines "$log"
}
