#!/usr/bin/env bash
# Builds everything, then runs every robustness test (fuzz targets, sweeps,
# soaks: the CTest label "robustness") at full size, once per target, and
# prints one table of figures per target. Each test's command comes from
# CTest and runs directly, so that CTest's per-test timeout, meant for the
# short form of the ordinary test run, does not cut the campaign short.
#
#   bash scripts/robustness.sh [x86_64] [i686]     (default: both)
#
# QAR_FUZZ_INPUTS (default 100000) sets the size: inputs per fuzz target and
# sweep; soaks scale it down themselves (10000 rounds of a family's natives,
# 1000 runs of a program). QAR_FUZZ_SEED is passed on when set. Each test's
# output and figures are kept in build/<target>/robustness/. Exits non-zero if
# anything crashed, leaked or failed.
set -uo pipefail
cd "$(dirname "$0")/.."

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(x86_64 i686)
export QAR_FUZZ_INPUTS=${QAR_FUZZ_INPUTS:-100000}

bash scripts/build.sh || { echo "build failed"; exit 1; }

source scripts/wine-prefix.sh

prefixes=()
trap stop_servers EXIT
start_x_server build

US=$'\x1f'
RS=$'\x1e'
status=0
tables=()

# figures <report> <out> <err> <rc> <test name>: the table rows of one test,
# "target|kind|inputs|crashes|overreads|leaks|detail".
figures() {
  local report=$1 out=$2 err=$3 rc=$4 name=$5 lines crash leaked=0
  # The figures lines: the report file, or standard output when the program
  # could not write one.
  if [ -s "$report" ]; then lines=$(tr -d '\r' <"$report"); else lines=$(tr -d '\r' <"$out" | grep '^ROBUSTNESS '); fi
  while read -r _ target kind inputs crashes overreads leaks detail; do
    [ -n "${target:-}" ] || continue
    leaks=${leaks#leaks=}
    [ "${leaks:-0}" != 0 ] && leaked=1
    echo "$target|$kind|${inputs#inputs=}|${crashes#crashes=}|${overreads#overreads=}|$leaks|$detail"
  done <<<"$lines"
  # A crash: the campaign's crash line names the target, kind and input.
  crash=$(tr -d '\r' <"$err" | grep -m1 '^ROBUSTNESS .* CRASH ')
  if [ -n "$crash" ]; then
    read -r _ target kind _ reason <<<"$crash"
    local overread=0
    case $reason in "read fault"*) overread=1 ;; esac
    echo "$target|$kind|-|1|$overread|0|CRASH $reason"
  elif [ "$rc" = 0 ] && [ -z "$lines" ]; then
    # Ran without figures: a case that skipped itself says why.
    local why
    why=$(tr -d '\r' <"$out" | grep -m1 -A1 '^\[  SKIPPED \]\|Skipped$' | tr '\n' ' ')
    echo "$name|-|-|0|0|0|no figures${why:+: $why}"
  elif [ "$rc" != 0 ] && [ "$leaked" = 0 ]; then
    # Died or failed without saying why in a figures line: the exit code and
    # the first failure GoogleTest printed.
    local why
    why=$(tr -d '\r' <"$out" | grep -m1 -A2 ': Failure$' | tail -n +2 | tr '\n' ' ')
    echo "$name|-|-|1|0|0|exit code $rc${why:+: $why}"
  fi
}

target_prefixes wineprefix-robustness "${targets[@]}"

for t in "${targets[@]}"; do
  dir="$PWD/build/$t/robustness"
  rm -rf "$dir"
  mkdir -p "$dir"
  serve_prefix "$PWD/build/$t/wineprefix-robustness"
  if [ "$t" = i686 ]; then
    why=$(why_no_32bit)
    if [ -n "$why" ]; then
      tables+=("== $t: NOT RUN: $why")
      status=1
      "$WINESERVER" -k 2>/dev/null
      continue
    fi
  fi

  # The robustness tests and their command lines, as CTest would run them.
  ctest --test-dir "build/$t" -L robustness --show-only=json-v1 >"$dir/tests.json" 2>"$dir/ctest.err" &&
    cmake -DJSON="$dir/tests.json" -DOUT="$dir/tests.txt" -P scripts/robustness-tests.cmake ||
    { tables+=("== $t: could not list the robustness tests (see $dir/ctest.err)"); status=1; continue; }

  echo "=== $t: $(wc -l <"$dir/tests.txt") robustness tests, QAR_FUZZ_INPUTS=$QAR_FUZZ_INPUTS, prefix $WINEPREFIX"
  rows=()
  n=0
  start=$SECONDS
  while IFS="$US" read -r -a fields; do
    name=${fields[0]}
    cwd=${fields[1]:-$PWD}
    envs=()
    [ -n "${fields[2]}" ] && IFS="$RS" read -r -a envs <<<"${fields[2]}"
    cmd=("${fields[@]:3}")
    n=$((n + 1))
    base="$dir/$n"
    echo "$name" >"$base.name"
    echo "--- [$n] $name"
    t0=$SECONDS
    (cd "$cwd" && env "${envs[@]}" QAR_ROBUSTNESS_REPORT="Z:$base.report" "${cmd[@]}" \
      </dev/null >"$base.out" 2>"$base.err")
    rc=$?
    echo "    exit $rc, $((SECONDS - t0)) s"
    while IFS= read -r row; do rows+=("$row"); done < <(figures "$base.report" "$base.out" "$base.err" "$rc" "$name")
  done <"$dir/tests.txt"
  "$WINESERVER" -k 2>/dev/null

  table=$(
    echo "== $t: robustness figures (QAR_FUZZ_INPUTS=$QAR_FUZZ_INPUTS, $((SECONDS - start)) s; outputs in build/$t/robustness/)"
    printf '%-44s %-6s %9s %7s %9s %5s  %s\n' target kind inputs crashes overreads leaks detail
    for row in "${rows[@]}"; do
      IFS='|' read -r target kind inputs crashes overreads leaks detail <<<"$row"
      printf '%-44s %-6s %9s %7s %9s %5s  %s\n' "$target" "$kind" "$inputs" "$crashes" "$overreads" "$leaks" "$detail"
    done
    [ ${#rows[@]} -gt 0 ] || echo "(no robustness test)"
  )
  tables+=("$table")
  for row in "${rows[@]}"; do
    IFS='|' read -r _ _ _ crashes overreads leaks _ <<<"$row"
    [ "$crashes" = 0 ] && [ "$overreads" = 0 ] && [ "$leaks" = 0 ] || status=1
  done
done

echo
for table in "${tables[@]}"; do
  echo "$table"
  echo
done
[ "$status" = 0 ] && echo "robustness: no crash, no over-read, no leak" || echo "robustness: FAILED (see the rows above)"
exit $status
