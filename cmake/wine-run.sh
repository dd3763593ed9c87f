#!/bin/sh
# The emulator CTest runs every Windows program through: Wine, and on a
# non-zero exit its exit code on standard error. CTest reports only "Failed",
# and a program that ends before it has printed anything leaves no other trace.
/usr/lib/wine/wine64 "$@"
rc=$?
[ "$rc" = 0 ] || echo "wine-run: $1 ended with exit code $rc" >&2
exit $rc
