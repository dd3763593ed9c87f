# Sourced by test.sh and bench.sh. Sets WINE and WINESERVER and exports
# WINEDEBUG; prefixes are always made by these scripts, never the user's ~/.wine.
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINEDEBUG=-all

# new_prefix <dir>: a new prefix in <dir>, its wineserver gone. Wine fills an
# empty prefix on its first start: a trivial program does that (an explicit
# "wineboot -i" on top would start a second service control manager, and
# clients would reach either one). That first process also starts background
# services that keep its output open, so it writes to /dev/null rather than
# into a pipe.
new_prefix() {
  WINEPREFIX="$1" "$WINESERVER" -k 2>/dev/null
  rm -rf "$1"
  mkdir -p "$1"
  WINEPREFIX="$1" "$WINE" cmd /c exit >/dev/null 2>&1
  WINEPREFIX="$1" timeout 300 "$WINESERVER" -w || WINEPREFIX="$1" "$WINESERVER" -k 2>/dev/null
}

# start_wine_prefix <dir>: a fresh prefix in <dir>, exported as WINEPREFIX and
# served by one persistent wineserver that stops when the calling script exits.
start_wine_prefix() {
  export WINEPREFIX="$1"
  new_prefix "$1"
  "$WINESERVER" -p
  trap '"$WINESERVER" -k 2>/dev/null || true' EXIT
  "$WINE" cmd /c exit >/dev/null 2>&1
}

# start_x_server <dir>: one virtual X server for the rest of the calling
# script, exported as DISPLAY; windows need one, and Wine's desktop process
# keeps the display it started with for as long as the wineserver lives, so it
# must outlast every test. Stopped by stop_x_server.
start_x_server() {
  rm -f "$1/xvfb.display"
  Xvfb -displayfd 9 -nolisten tcp -screen 0 1280x1024x24 9>"$1/xvfb.display" >/dev/null 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 100); do
    [ -s "$1/xvfb.display" ] && break
    sleep 0.1
  done
  export DISPLAY=":$(head -n1 "$1/xvfb.display")"
}

stop_x_server() {
  [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null
  XVFB_PID=""
}
