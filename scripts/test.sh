#!/usr/bin/env bash
# Builds everything, then runs the whole test suite once per target, one after
# the other: the x86_64 build under 64-bit Wine, then the i686 build under
# 32-bit Wine through qemu's user-mode emulation (registered by setup.sh).
# Each target has a Wine prefix of its own, served by one persistent wineserver
# for the whole of its run. Ends with one summary per target (result, time,
# skipped tests with their reasons); exits non-zero if either run failed.
#
# Where the emulation is missing, the i686 run is reported as skipped with the
# reason, only the host-side checks of the i686 build run (CTest label
# "host"), and the x86_64 run decides the exit code.
#
#   bash scripts/test.sh [x86_64] [i686]     (default: both)
set -uo pipefail
cd "$(dirname "$0")/.."

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(x86_64 i686)

bash scripts/build.sh || { echo "build failed"; exit 1; }

source scripts/wine-prefix.sh

prefixes=()
trap stop_servers EXIT
start_x_server build

# Why the i686 build cannot run on this machine; nothing when it can.
emulation_missing() {
  local entry=/proc/sys/fs/binfmt_misc/qemu-i386-wine
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    echo "binfmt_misc is not available on this machine, so 32-bit Wine cannot start its 32-bit processes"
  elif ! grep -qx enabled "$entry" 2>/dev/null; then
    echo "binfmt_misc has no enabled qemu-i386-wine entry (scripts/setup.sh could not register the emulation)"
  elif [ ! -x /usr/lib/wine/wine ]; then
    echo "32-bit Wine (wine32:i386) is not installed"
  fi
}

# The XML escapes of a JUnit report undone, for the awk programs below.
UNXML='function unxml(s) {
  gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s); gsub(/&quot;/, "\"", s); gsub(/&apos;/, "\047", s)
  gsub(/&amp;/, "\\&", s)
  return s
}'

# "name<TAB>reason" for every test that CTest's JUnit report $1 gives as
# skipped: what a GoogleTest case printed between its "Skipped" line and
# "[  SKIPPED ]", else CTest's own reason.
skip_reasons() {
  awk "$UNXML"'
    /<testcase / { name = $0; sub(/.*<testcase name="/, "", name); sub(/".*/, "", name); skipped = grab = 0; reason = ""; next }
    /<skipped message="/ { skipped = 1; why = $0; sub(/.*<skipped message="/, "", why); sub(/".*/, "", why); next }
    skipped && /: Skipped$/ { grab = 1; next }
    grab && /^\[  SKIPPED \]/ { grab = 0; next }
    grab { reason = reason (reason == "" ? "" : " ") $0; next }
    /<\/testcase>/ && skipped { print unxml(name) "\t" unxml(reason == "" ? why : reason); skipped = 0 }
  ' "$1" 2>/dev/null
}

# Every test that CTest's JUnit report $1 gives as failed, with how it ended
# (CTest's word for it in its log $2: Failed, Timeout, SEGFAULT...) and the
# last lines of its output, so that the end of the run (all a short log
# keeps) says which test failed and how.
failures() {
  awk "$UNXML"'
    FILENAME == ARGV[1] {
      if ($0 ~ /^The following tests FAILED:/) listing = 1
      else if (listing && match($0, /^\t *[0-9]+ - .* \([^()]*\)$/)) {
        line = $0; sub(/^\t *[0-9]+ - /, "", line)
        how = line; sub(/.* \(/, "", how); sub(/\)$/, "", how); sub(/ \([^()]*\)$/, "", line)
        ended[line] = how
      }
      next
    }
    function flush(   i, from) {
      if (!failed) return
      print "  FAILED " unxml(name) " (" (unxml(name) in ended ? ended[unxml(name)] : "failed") ", " time " s); its last output lines:"
      from = n > 12 ? n - 11 : 1
      for (i = from; i <= n; i++) print "    | " unxml(out[i])
      failed = 0
    }
    /<testcase / {
      name = $0; sub(/.*<testcase name="/, "", name); sub(/".*/, "", name)
      time = $0; sub(/.*time="/, "", time); sub(/".*/, "", time)
      failed = ($0 ~ /status="fail"/); n = 0; inout = 0; next
    }
    /<system-out>/ { inout = 1; sub(/.*<system-out>/, "") }
    inout && /<\/system-out>/ { sub(/<\/system-out>.*/, ""); if ($0 != "") out[++n] = $0; inout = 0; next }
    inout { out[++n] = $0; next }
    /<\/testcase>/ { flush() }
  ' "$2" "$1" 2>/dev/null
}

declare -A summary skipped_why
status=0

# The i686 run needs the emulation; find out before any prefix is made.
for t in "${targets[@]}"; do
  [ "$t" = i686 ] && skipped_why[i686]=$(emulation_missing)
done

runnable=()
for t in "${targets[@]}"; do
  [ -n "${skipped_why[$t]:-}" ] || runnable+=("$t")
done
target_prefixes wineprefix "${runnable[@]}"

for t in "${targets[@]}"; do
  log="build/$t/ctest.log"
  junit="$PWD/build/$t/ctest-junit.xml"
  rm -f "$junit"
  start=$SECONDS
  if [ -z "${skipped_why[$t]:-}" ]; then
    serve_prefix "$PWD/build/$t/wineprefix"
    if [ "$t" = i686 ]; then
      skipped_why[$t]=$(why_no_32bit)
      [ -z "${skipped_why[$t]}" ] || "$WINESERVER" -k 2>/dev/null
    fi
    [ -n "${skipped_why[$t]:-}" ] || keep_desktop "build/$t/testing/qar_desktop_keeper.exe"
  fi
  if [ -n "${skipped_why[$t]:-}" ]; then
    echo "=== $t: SKIPPED under Wine: ${skipped_why[$t]}"
    # The host-side checks alone; QAR_WITHOUT_WINE keeps CTest from listing
    # the Wine tests, which it does by running the test programs.
    QAR_WITHOUT_WINE=1 ctest --preset "$t" -L host -j2 --timeout 600 --output-junit "$junit" 2>&1 | tee "$log"
  else
    echo "=== $t: under Wine in $WINEPREFIX"
    ctest --preset "$t" -j2 --timeout 600 --output-junit "$junit" 2>&1 | tee "$log"
  fi
  rc=${PIPESTATUS[0]}
  [ -n "${skipped_why[$t]:-}" ] || "$WINESERVER" -k 2>/dev/null
  line=$(grep -E '^[0-9]+% tests passed' "$log" | tail -1)
  summary[$t]="${line:-no tests ran} ($((SECONDS - start)) s)"
  [ "$rc" = 0 ] || status=1
done

echo
echo "== summary =="
for t in "${targets[@]}"; do
  if [ -n "${skipped_why[$t]:-}" ]; then
    echo "$t: SKIPPED under Wine: ${skipped_why[$t]}"
    echo "$t:   only the host-side checks ran: ${summary[$t]}"
  else
    echo "$t: ${summary[$t]}"
  fi
  failures "build/$t/ctest-junit.xml" "build/$t/ctest.log" | sed "s/^/$t: /"
  skip_reasons "build/$t/ctest-junit.xml" | while IFS=$'\t' read -r name reason; do
    echo "$t:   skipped $name: ${reason:-no reason printed}"
  done
done
for t in "${targets[@]}"; do
  if [ -n "${skipped_why[$t]:-}" ]; then
    echo
    echo "!!! The $t tests did NOT run under Wine: ${skipped_why[$t]}."
    echo "!!! Run scripts/setup.sh as root on a machine with binfmt_misc to run them."
  fi
done
exit $status
