# Sourced by test.sh and bench.sh: start_wine_prefix <dir> makes <dir> a fresh
# Wine prefix, never the user's ~/.wine, served by one persistent wineserver
# that stops when the calling script exits. Exports WINEPREFIX and WINEDEBUG
# and sets WINE to the 64-bit loader.
#
# Wine fills an empty prefix on its first start: a trivial program does that
# (an explicit "wineboot -i" on top would start a second service control
# manager, and clients would reach either one). That first process also starts
# background services that keep its output open, so it writes to /dev/null
# rather than into a pipe.
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver

start_wine_prefix() {
  export WINEDEBUG=-all
  export WINEPREFIX="$1"
  "$WINESERVER" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  "$WINESERVER" -p
  trap '"$WINESERVER" -k 2>/dev/null || true' EXIT
  "$WINE" cmd /c exit >/dev/null 2>&1
}
