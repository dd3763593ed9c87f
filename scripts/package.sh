#!/usr/bin/env bash
# Sets up, builds and packages the release of both targets into dist/:
# qar-native-<version>-<target>.zip (the five deliverables, stripped),
# qar-native-<version>-<target>-debug.zip (their debug information) and
# SHA256SUMS. The packaging itself is the CMake target "dist" (release/).
#
# Signing is off unless a certificate chain and its key are given, in the
# environment or as CMake cache settings of the build folders:
#   QAR_SIGN_CHAIN=chain.pem QAR_SIGN_KEY=key.pem [QAR_SIGN_TIMESTAMP_URL=url]
#   [QAR_SIGN_PASSWORD_FILE=file] bash scripts/package.sh
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."

# The packaging runs in the build folders: make relative paths absolute.
for setting in QAR_SIGN_CHAIN QAR_SIGN_KEY QAR_SIGN_PASSWORD_FILE; do
  value=${!setting:-}
  if [ -n "$value" ] && [ "${value#/}" = "$value" ]; then
    export "$setting=$caller/$value"
  fi
done

bash scripts/setup.sh
for preset in i686 x86_64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target dist
done
echo
(cd dist && ls -l qar-native-*.zip && cat SHA256SUMS)
