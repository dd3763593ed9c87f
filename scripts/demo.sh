#!/usr/bin/env bash
# Sets up, builds, and runs one whole update under Wine in a prefix of its own:
# the service installed, software-update with a signed demo installer, the
# installer's commit-installation, and the application restarted for the user.
# Prints every step and the service's log; leaves nothing running, removes
# the prefix.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/build.sh >/dev/null || { echo "build failed"; exit 1; }

source scripts/wine-prefix.sh
prefix="$PWD/build/x86_64/wineprefix-demo"
trap 'stop_wine_prefix; rm -rf "$prefix"' EXIT
start_wine_prefix "$prefix" || exit 1

"$WINE" build/x86_64/update-service/tests/qarupdateservice_demo.exe > build/x86_64/demo.log 2>&1
status=$?
tr -d '\r' < build/x86_64/demo.log
exit $status
