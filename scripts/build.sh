#!/usr/bin/env bash
# Sets up the machine (Debian packages only) and builds every deliverable for
# both targets: build/x86_64 and build/i686.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
for preset in x86_64 i686; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
