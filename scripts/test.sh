#!/usr/bin/env bash
# Builds everything, then runs the test suite: the x86_64 build under 64-bit
# Wine in a prefix of its own, and the host-side checks of the i686 build.
# Ends with one summary line per target; exits non-zero if anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/build.sh || { echo "build failed"; exit 1; }

# A fresh prefix per run, served by one persistent wineserver.
source scripts/wine-prefix.sh
start_wine_prefix "$PWD/build/x86_64/wineprefix"

declare -A summary
status=0
for preset in x86_64 i686; do
  log="build/$preset/ctest.log"
  ctest --preset "$preset" -j2 --timeout 600 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  line=$(grep -E '^[0-9]+% tests passed' "$log" | tail -1)
  summary[$preset]="${line:-no tests ran}"
  [ "$rc" = 0 ] || status=1
done

echo
echo "== summary =="
for preset in x86_64 i686; do
  echo "$preset: ${summary[$preset]}"
done
exit $status
