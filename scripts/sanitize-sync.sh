#!/usr/bin/env bash
# Builds the sync engine's tests and the sync bridge's tests with AddressSanitizer and with
# ThreadSanitizer, each in its own build tree (build-asan/, build-tsan/), and runs them.
# Exits non-zero on any report.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="${JOBS:-3}"
status=0
here="$PWD"
for kind in address thread; do
  dir="build-${kind/address/asan}"
  dir="${dir/thread/tsan}"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHARBELLE_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=$kind -fno-omit-frame-pointer -O1" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=$kind" >/dev/null
  cmake --build "$dir" -j"$jobs" --target harbelle_sync_engine_tests harbelle_syncbridge_tests
  # Reports from inside Qt and the system libraries, not built with the sanitizer, are listed
  # in the suppression files.
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export LSAN_OPTIONS="suppressions=$here/scripts/sanitize-sync.lsan.supp:print_suppressions=0"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$here/scripts/sanitize-sync.tsan.supp"
  export QT_QPA_PLATFORM=offscreen
  for tests in harbelle_sync_engine_tests harbelle_syncbridge_tests; do
    echo "== $kind sanitizer: $tests"
    "$dir/tests/$tests" || status=1
  done
done
exit $status
