#!/usr/bin/env bash
# Builds everything, then runs the benchmarks of the x86_64 build under 64-bit
# Wine, in a prefix of their own. Each prints its costs and their ratios to a
# baseline measured in the same run. Arguments go to every benchmark.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/build.sh >/dev/null || { echo "build failed"; exit 1; }

source scripts/wine-prefix.sh
start_wine_prefix "$PWD/build/x86_64/wineprefix-bench"

status=0
for bench in build/x86_64/bench/*_bench.exe; do
  "$WINE" "$bench" "$@" || status=1
done
exit $status
