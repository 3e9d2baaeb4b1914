#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test (unit tests offscreen,
# integration tests inside a private X server, window manager and D-Bus session).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
BUILD_DIR=${BUILD_DIR:-build}
exec bash scripts/x11-session.sh ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$(nproc)" "$@"
