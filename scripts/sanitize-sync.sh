#!/usr/bin/env bash
# Builds the sync engine's tests with AddressSanitizer and with ThreadSanitizer, each in its
# own build tree (build-asan/, build-tsan/), and runs them. Exits non-zero on any report.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="${JOBS:-4}"
status=0
for kind in address thread; do
  dir="build-${kind/address/asan}"
  dir="${dir/thread/tsan}"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHARBELLE_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=$kind -fno-omit-frame-pointer -O1" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=$kind" >/dev/null
  cmake --build "$dir" -j"$jobs" --target harbelle_sync_engine_tests
  echo "== $kind sanitizer"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    "$dir/tests/harbelle_sync_engine_tests" || status=1
done
exit $status
