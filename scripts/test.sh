#!/usr/bin/env bash
# Builds everything, then runs the whole test suite once per target, one after
# the other: the x86_64 build under 64-bit Wine, then the i686 build under
# 32-bit Wine through qemu's user-mode emulation (registered by setup.sh).
# Each target has a Wine prefix of its own, served by one persistent wineserver
# for the whole of its run. Ends with one summary per target (result, time,
# skipped tests with their reasons); exits non-zero if either run failed.
#
# Where the emulation is missing, the i686 run is reported as skipped with the
# reason, only the host-side PE checks of the i686 build run, and the x86_64
# run decides the exit code.
#
#   bash scripts/test.sh [x86_64] [i686]     (default: both)
set -uo pipefail
cd "$(dirname "$0")/.."

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(x86_64 i686)

bash scripts/build.sh || { echo "build failed"; exit 1; }

source scripts/wine-prefix.sh

prefixes=()
stop_servers() {
  for p in "${prefixes[@]}"; do WINEPREFIX="$p" "$WINESERVER" -k 2>/dev/null; done
  stop_x_server
}
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

# "name<TAB>reason" for every GoogleTest case that skipped itself in the last
# CTest run of build folder $1.
skip_reasons() {
  awk '
    /^[0-9]+\/[0-9]+ Test: / { name = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", name); grab = 0; next }
    /: Skipped$/ { grab = 1; reason = ""; next }
    grab && /^\[  SKIPPED \]/ { print name "\t" reason; grab = 0; next }
    grab { reason = reason (reason == "" ? "" : " ") $0 }
  ' "$1/Testing/Temporary/LastTest.log" 2>/dev/null
}

declare -A summary skipped_why
status=0

# The i686 run needs the emulation; find out before any prefix is made.
for t in "${targets[@]}"; do
  [ "$t" = i686 ] && skipped_why[i686]=$(emulation_missing)
done

# One fresh prefix; the other target starts from a copy of it (a copy takes a
# few seconds, making a prefix with its 32-bit half about fifteen).
first=""
for t in "${targets[@]}"; do
  [ -n "${skipped_why[$t]:-}" ] && continue
  prefix="$PWD/build/$t/wineprefix"
  prefixes+=("$prefix")
  if [ -z "$first" ]; then
    new_prefix "$prefix"
    first=$prefix
  else
    WINEPREFIX="$prefix" "$WINESERVER" -k 2>/dev/null
    rm -rf "$prefix"
    cp -a "$first" "$prefix"
  fi
done

for t in "${targets[@]}"; do
  log="build/$t/ctest.log"
  start=$SECONDS
  if [ -z "${skipped_why[$t]:-}" ]; then
    export WINEPREFIX="$PWD/build/$t/wineprefix"
    "$WINESERVER" -p
    "$WINE" cmd /c exit >/dev/null 2>&1
    if [ "$t" = i686 ]; then
      "$WINE" 'C:\windows\syswow64\cmd.exe' /c exit 7 >/dev/null 2>&1
      probe=$?
      if [ "$probe" != 7 ]; then
        skipped_why[$t]="a 32-bit program does not run under Wine here (cmd.exe /c exit 7 gave $probe)"
        "$WINESERVER" -k 2>/dev/null
      fi
    fi
  fi
  if [ -n "${skipped_why[$t]:-}" ]; then
    echo "=== $t: SKIPPED under Wine: ${skipped_why[$t]}"
    # Without Wine tests registered only the host-side checks remain; the next
    # configure through the preset registers them again.
    cmake --preset "$t" -DQAR_RUN_WINE_TESTS=OFF >/dev/null
  else
    echo "=== $t: under Wine in $WINEPREFIX"
  fi
  ctest --preset "$t" -j2 --timeout 600 2>&1 | tee "$log"
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
    echo "$t:   only the host-side PE checks ran: ${summary[$t]}"
  else
    echo "$t: ${summary[$t]}"
  fi
  skip_reasons "build/$t" | while IFS=$'\t' read -r name reason; do
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
