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
