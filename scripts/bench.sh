#!/usr/bin/env bash
# Builds in release mode and runs every benchmark program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build-release} BUILD_TYPE=Release bash scripts/build.sh
for b in "${BUILD_DIR:-build-release}"/bench/*; do
  [ -f "$b" ] && [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  QT_QPA_PLATFORM=offscreen "$b" "$@" 2> >(grep -v "This plugin does not support" >&2)
done
