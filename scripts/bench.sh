#!/usr/bin/env bash
# Builds everything, then runs the benchmarks of the x86_64 build under 64-bit
# Wine, in a prefix of their own, and prints one table of today's figures:
# each a ratio to a baseline measured in the same run. The benchmarks' own
# reports go to build/x86_64/bench-results/. Arguments go to every benchmark.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/build.sh >/dev/null || { echo "build failed"; exit 1; }

source scripts/wine-prefix.sh
trap stop_wine_prefix EXIT
start_wine_prefix "$PWD/build/x86_64/wineprefix-bench" || exit 1

results=build/x86_64/bench-results
rm -rf "$results"
mkdir -p "$results"
status=0
# run <benchmark> <report name> [arguments]
run() {
  local bench=$1 report=$2
  shift 2
  "$WINE" "build/x86_64/bench/$bench.exe" "$@" >"$results/$report.txt" 2>&1 || {
    status=1
    echo "$bench failed, see $results/$report.txt"
  }
}
run wbnative_channel_bench channel "$@"
run wbnative_wininet_bench wininet "$@"
# Three runs in a row: the CLI's ratio must agree with itself.
for i in 1 2 3; do run qar_client_cli_bench "cli-$i" "$@"; done

# field <report> <awk program>: one figure picked from a benchmark's report
# (written with Windows line ends).
field() { tr -d '\r' <"$results/$1.txt" 2>/dev/null | awk "$2"; }
channel() {  # <block, as "64 KiB">: the ratio, without the VM's time, VM share
  field channel "/^  $1 /{ printf \"%s (w/o VM %s, VM share %s)\", \$6, \$7, \$8 }"
}
list0=$(field channel '/^wbnative list0/ { on = 1 } on && $1 == 4000 { print $5 }')
wininet=$(field wininet '/KiB chunks/ { size = $1 } /ratio/ { printf "%s%s KiB %s", sep, size, $2; sep = ", " }')
cli=""
for i in 1 2 3; do
  cli+="${cli:+, }$(field "cli-$i" "/^  ratio/ { print \$NF; exit }")"
done
transaction=$(field cli-1 '/^  ratio/ { r = $NF } END { print r }')

row() { printf '| %-66s | %-36s | %-17s |\n' "$1" "$2" "$3"; }
echo
row "benchmark (x86_64 under Wine, ratios to a same-run baseline)" "today" "goal"
row "$(printf -- '-%.0s' {1..66})" "$(printf -- '-%.0s' {1..36})" "$(printf -- '-%.0s' {1..17})"
row "channel, 64 KiB blocks, natives / raw Read+Write+flush throughput" "$(channel '64 KiB')" ">= 0.9 (w/o VM)"
row "channel, 1 MiB blocks, same" "$(channel '1 MiB')" ">= 0.9 (w/o VM)"
row "list0 with 4,000 extra events, time / one raw table read" "$list0" "<= 10"
row "CLI whole run / trivial program start and exit (3 runs)" "$cli" "0.9-1.15, +-0.1"
row "CLI pipe transaction / raw CallNamedPipeW" "$transaction" "-"
row "read0 / raw InternetReadFile (8 KiB, 64 KiB chunks)" "$wininet" "<= 1.1"
echo
echo "Each benchmark's own report: $results/"
exit $status
