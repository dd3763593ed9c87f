#!/usr/bin/env bash
# Installs what the build and the tests need, from Debian's packages only.
# Cheap when everything is in place: it checks before it installs.
set -euo pipefail

PACKAGES=(
  cmake ninja-build
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  wine64 wine
  googletest libcli11-dev protobuf-compiler dpkg-dev
  openssl osslsigncode
  openjdk-17-jdk-headless
  xvfb xauth
)
# Cross-built from Debian's source package; must match the host protoc.
PROTOBUF_VERSION=3.21.12
DEPS_DIR=${QAR_DEPS_DIR:-/opt/qar-deps}

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

apt_updated=0
apt_update() {
  if [ "$apt_updated" = 0 ]; then
    apt-get update -qq
    apt_updated=1
  fi
}

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt_update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The protobuf lite runtime has no mingw package: fetch Debian's source package.
if [ ! -f "$DEPS_DIR/protobuf-$PROTOBUF_VERSION/CMakeLists.txt" ]; then
  echo "setup: fetching protobuf $PROTOBUF_VERSION source from Debian"
  if ! grep -rqs '^Types: deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    cat > /etc/apt/sources.list.d/qar-deb-src.sources <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    apt_updated=0
  fi
  apt_update
  work=$(mktemp -d); chmod 755 "$work"
  (cd "$work" && apt-get source --download-only -qq "protobuf=$(dpkg-query -W -f='${Version}' protobuf-compiler)" >/dev/null)
  mkdir -p "$DEPS_DIR"
  tar -xzf "$work"/protobuf_"$PROTOBUF_VERSION".orig.tar.gz -C "$DEPS_DIR"
  rm -rf "$work"
fi
