#!/usr/bin/env bash
# Installs what the build and the tests need, from Debian's packages only, and
# registers the 32-bit emulation that runs the i686 build (see README).
# Cheap when everything is in place: it checks before it installs.
set -euo pipefail
REPO=$(cd "$(dirname "$0")/.." && pwd)

PACKAGES=(
  cmake ninja-build
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  wine64 wine
  googletest libcli11-dev protobuf-compiler dpkg-dev
  openssl osslsigncode
  openjdk-17-jdk-headless
  xvfb xauth
  # Native libFuzzer builds of the portable parsers (ASan, UBSan) on the host.
  clang libclang-rt-dev libprotobuf-dev
  # 32-bit Wine under qemu's user-mode emulation, for the i686 run; the
  # emulation's set-up script also wants the plain mingw compiler packages.
  wine32:i386 qemu-user gcc file gcc-mingw-w64-i686 gcc-mingw-w64-x86-64
)
# Cross-built from Debian's source package; must match the host protoc.
PROTOBUF_VERSION=3.21.12
DEPS_DIR=${QAR_DEPS_DIR:-/opt/qar-deps}
# The emulation's set-up script lives beside the repository; the interpreter it
# registers must stay in a writable folder.
PE32_SETUP=${QAR_PE32_SETUP:-$REPO/../shared/tools/pe32/setup-pe32.sh}
PE32_HOME=${QAR_PE32_HOME:-/opt/pe32}
APT_DIR=/etc/apt
source "$REPO/scripts/apt-sources.sh"

apt_updated=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: adding the i386 architecture (32-bit Wine)"
  dpkg --add-architecture i386
  apt_updated=-1   # the package lists must be fetched again
fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

apt_update() {
  if [ "$apt_updated" != 1 ]; then
    apt-get update -qq
    apt_updated=1
  fi
}

if [ "$apt_updated" = -1 ]; then apt_update; fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt_update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The protobuf lite runtime has no mingw package: fetch Debian's source package.
if [ ! -f "$DEPS_DIR/protobuf-$PROTOBUF_VERSION/CMakeLists.txt" ]; then
  echo "setup: fetching protobuf $PROTOBUF_VERSION source from Debian"
  if ! has_deb_src "$APT_DIR"; then
    # The source package comes from wherever this machine gets its binary
    # packages (a mirror or a proxy included).
    write_deb_src "$APT_DIR" || exit 1
    apt_updated=0
  fi
  apt_update
  work=$(mktemp -d); chmod 755 "$work"
  (cd "$work" && apt-get source --download-only -qq "protobuf=$(dpkg-query -W -f='${Version}' protobuf-compiler)" >/dev/null)
  mkdir -p "$DEPS_DIR"
  tar -xzf "$work"/protobuf_"$PROTOBUF_VERSION".orig.tar.gz -C "$DEPS_DIR"
  rm -rf "$work"
fi

# 32-bit programs: the kernel cannot run them, so i386 ELF files (32-bit Wine)
# are registered with binfmt_misc to run under qemu-i386 with a small shim.
# Failure here is not fatal: scripts/test.sh then reports the i686 run skipped.
pe32_ready() {
  local entry=/proc/sys/fs/binfmt_misc/qemu-i386-wine
  grep -qx enabled "$entry" 2>/dev/null || return 1
  [ -x "$(sed -n 's/^interpreter //p' "$entry")" ] || return 1
  /usr/lib/wine/wineserver32 --version >/dev/null 2>&1
}
if ! pe32_ready; then
  echo "setup: registering the 32-bit emulation ($PE32_SETUP, interpreter in $PE32_HOME)"
  if [ ! -f "$PE32_SETUP" ]; then
    echo "setup: WARNING: $PE32_SETUP not found; the i686 tests cannot run on this machine" >&2
  else
    log=${TMPDIR:-/tmp}/qar-pe32-setup.log
    if ! PE32_HOME="$PE32_HOME" PE32_SELFTEST=0 bash "$PE32_SETUP" >"$log" 2>&1 || ! pe32_ready; then
      echo "setup: WARNING: the 32-bit emulation could not be set up (log: $log):" >&2
      tail -n 5 "$log" >&2
    fi
  fi
fi
