# Sourced by test.sh, bench.sh and demo.sh. Sets WINE and WINESERVER and
# exports WINEDEBUG; prefixes are always made by these scripts, never the
# user's ~/.wine. It sets no trap (a caller's own trap would silently replace
# it): each caller's EXIT trap stops what it started here.
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
# served by one persistent wineserver. The caller's EXIT trap must call
# stop_wine_prefix, and be set first: a persistent wineserver never ends by
# itself.
start_wine_prefix() {
  if [[ "$(trap -p EXIT)" != *stop_wine_prefix* ]]; then
    echo "start_wine_prefix: set an EXIT trap that calls stop_wine_prefix first" >&2
    return 1
  fi
  new_prefix "$1"
  serve_prefix "$1"
}

# serve_prefix <dir>: the prefix in <dir>, exported as WINEPREFIX and served
# by one persistent wineserver until the caller stops it.
serve_prefix() {
  export WINEPREFIX="$1"
  "$WINESERVER" -p
  "$WINE" cmd /c exit >/dev/null 2>&1
}

# keep_desktop <keeper program>: Wine's desktop process started in the served
# prefix by a program whose output goes nowhere, kept running until the
# wineserver ends. Otherwise the first test that needs the desktop starts it,
# and it keeps that test's output pipe open for as long as other tests keep
# the desktop in use (testing/desktop_keeper.cpp). Waits until the desktop
# exists.
keep_desktop() {
  local ready="$WINEPREFIX/desktop-kept"
  rm -f "$ready"
  "$WINE" "$1" "Z:$ready" </dev/null >/dev/null 2>&1 &
  for _ in $(seq 300); do
    [ -e "$ready" ] && return 0
    sleep 0.1
  done
  echo "keep_desktop: $1 did not report Wine's desktop within 30 s" >&2
  return 1
}

# target_prefixes <name> <target>...: one prefix per target, each in
# build/<target>/<name>, their wineservers gone, listed in the array
# "prefixes" for stop_prefixes. The first is new; the others start as copies
# of it, made before any test has run in it (a copy takes a few seconds,
# making a prefix with its 32-bit half about fifteen).
target_prefixes() {
  local name=$1 t prefix
  shift
  for t in "$@"; do
    prefix="$PWD/build/$t/$name"
    if [ ${#prefixes[@]} = 0 ]; then
      new_prefix "$prefix"
    else
      WINEPREFIX="$prefix" "$WINESERVER" -k 2>/dev/null
      rm -rf "$prefix"
      cp -a "${prefixes[0]}" "$prefix"
    fi
    prefixes+=("$prefix")
  done
}

# stop_prefixes: ends the wineserver of each prefix in the array "prefixes".
stop_prefixes() {
  local p
  for p in "${prefixes[@]}"; do WINEPREFIX="$p" "$WINESERVER" -k 2>/dev/null; done
}

# why_no_32bit: why a 32-bit program does not run in the served prefix;
# nothing when it does.
why_no_32bit() {
  "$WINE" 'C:\windows\syswow64\cmd.exe' /c exit 7 >/dev/null 2>&1
  local probe=$?
  [ "$probe" = 7 ] || echo "a 32-bit program does not run under Wine here (cmd.exe /c exit 7 gave $probe)"
}

# stop_wine_prefix: ends the wineserver of the exported WINEPREFIX, if any.
stop_wine_prefix() {
  [ -z "${WINEPREFIX:-}" ] || "$WINESERVER" -k 2>/dev/null || true
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

# stop_servers: what target_prefixes and start_x_server started, for a
# caller's EXIT trap.
stop_servers() {
  stop_prefixes
  stop_x_server
}
