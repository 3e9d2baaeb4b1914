#!/usr/bin/env bash
# Tab to the next field and the hot key within a millisecond, in a GTK window, round after round:
# how many clips went into the field the user had left. 19 launches of the program, 8 rounds
# each (152 rounds); REPEATS=N changes the launches.
#   bash scripts/tab-race.sh [BUILD_DIR]
set -u
build=${1:-build}
repeats=${REPEATS:-19}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
bash "$(dirname "$0")/x11-session.sh" "$build/tests/harbelle_x11_tests" \
    --gtest_filter=TargetPasteX11.TabAndTheHotKeyAtOncePasteIntoTheFieldTabbedTo --gtest_repeat="$repeats" >"$log" 2>&1
# A failed round leaves the fields changed, so it can fail the later rounds of its launch too.
failed=$(grep -c 'TargetPasteX11Test.cpp:[0-9]*: Failure' "$log")
passed=$(grep -c '^\[       OK \] TargetPasteX11' "$log")
echo "tab then hot key: $failed failed rounds in $((repeats * 8)); $passed of $repeats launches passed"
[ "$failed" -eq 0 ] && [ "$passed" -eq "$repeats" ]
