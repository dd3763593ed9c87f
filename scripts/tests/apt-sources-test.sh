#!/usr/bin/env bash
# The deb-src entries that setup.sh derives from a machine's apt sources, on
# sample source folders: one-line and deb822 files, mirrors and proxies,
# options, comments, disabled stanzas, and a machine with no deb entry.
# Host-side; run by CTest (setup.apt_sources).
set -uo pipefail
source "$(dirname "$0")/../apt-sources.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# check <name> <apt-dir> <expected output>
check() {
  local actual
  actual=$(deb_src_entries "$2")
  if [ "$actual" != "$3" ]; then
    echo "FAIL $1"; echo "--- expected"; echo "$3"; echo "--- actual"; echo "$actual"
    failures=$((failures + 1))
  else
    echo "ok   $1"
  fi
}

# A mirror in the one-line format, with options, comments and a deb-src line.
d=$work/one-line; mkdir -p "$d/sources.list.d"
cat > "$d/sources.list" <<'EOF'
# deb http://commented.example/debian bookworm main
deb [arch=amd64 signed-by=/usr/share/keyrings/mirror.gpg] http://mirror.example.org/debian bookworm main contrib
deb-src http://mirror.example.org/debian bookworm main
  deb http://mirror.example.org/debian-security bookworm-security main   # security
EOF
cat > "$d/sources.list.d/proxy.list" <<'EOF'
deb [ trusted=yes ] http://apt-proxy.example:3142/debian bookworm-updates main
EOF
check "one-line entries: URIs, suites, components, signed-by and trusted carried over" "$d" \
"Types: deb-src
URIs: http://mirror.example.org/debian
Suites: bookworm
Components: main contrib
Signed-By: /usr/share/keyrings/mirror.gpg

Types: deb-src
URIs: http://mirror.example.org/debian-security
Suites: bookworm-security
Components: main

Types: deb-src
URIs: http://apt-proxy.example:3142/debian
Suites: bookworm-updates
Components: main
Trusted: yes"

# deb822: several suites and URIs, comments inside a stanza, an inline key,
# a disabled stanza, a deb-src-only stanza, files that apt does not read.
d=$work/deb822; mkdir -p "$d/sources.list.d"
cat > "$d/sources.list.d/debian.sources" <<'EOF'
Types: deb
# the mirror nearest to us
URIs: http://mirror.example.org/debian http://mirror2.example.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
Enabled: no
URIs: http://disabled.example/debian
Suites: bookworm
Components: main

Types: deb-src
URIs: http://sources-only.example/debian
Suites: bookworm
Components: main
EOF
cat > "$d/sources.list.d/inline-key.sources" <<'EOF'
types: deb
uris: http://apt-proxy.example:3142/debian-security
suites: bookworm-security
components: main
signed-by:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 mQINBGPL0BUBEADmW5NdOOHwPIJlgPu6JDcKw/NZJPR8lsD3K87ZM18gzyQZJD+w
 -----END PGP PUBLIC KEY BLOCK-----
EOF
echo "deb http://ignored.example/debian bookworm main" > "$d/sources.list.d/old.list.disabled"
check "deb822 stanzas: every enabled deb stanza, continuation lines kept" "$d" \
"Types: deb-src
URIs: http://mirror.example.org/debian http://mirror2.example.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://apt-proxy.example:3142/debian-security
Suites: bookworm-security
Components: main
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 mQINBGPL0BUBEADmW5NdOOHwPIJlgPu6JDcKw/NZJPR8lsD3K87ZM18gzyQZJD+w
 -----END PGP PUBLIC KEY BLOCK-----"

# No deb entry at all: nothing derived, and setting up fails with a message.
d=$work/none; mkdir -p "$d/sources.list.d"
printf '# deb http://commented.example/debian bookworm main\ndeb-src http://mirror.example.org/debian bookworm main\n' > "$d/sources.list"
printf 'Types: deb\nEnabled: no\nURIs: http://disabled.example/debian\nSuites: bookworm\n' > "$d/sources.list.d/off.sources"
check "no deb entry: nothing derived" "$d" ""
if write_deb_src "$d" 2>"$work/err" || ! grep -q "no 'deb' entry in $d/sources.list" "$work/err" \
   || [ -e "$d/sources.list.d/qar-deb-src.sources" ]; then
  echo "FAIL no deb entry: write_deb_src must fail with its message and write nothing"; cat "$work/err"
  failures=$((failures + 1))
else
  echo "ok   no deb entry: write_deb_src fails with: $(cat "$work/err")"
fi

# What is written is what apt then finds: a deb-src entry.
d=$work/write; mkdir -p "$d/sources.list.d"
echo "deb http://mirror.example.org/debian bookworm main" > "$d/sources.list"
if has_deb_src "$d" || ! write_deb_src "$d" >/dev/null || ! has_deb_src "$d"; then
  echo "FAIL write_deb_src: a deb-src entry must exist afterwards, and none before"
  failures=$((failures + 1))
else
  echo "ok   write_deb_src writes an entry that has_deb_src finds"
fi

exit $((failures > 0))
