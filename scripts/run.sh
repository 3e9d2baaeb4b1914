#!/usr/bin/env bash
# Installs what is missing, builds and starts Harbelle. Extra arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh --target harbelle
exec ./"${BUILD_DIR:-build}"/harbelle "$@"
