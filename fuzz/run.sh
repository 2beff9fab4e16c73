#!/usr/bin/env bash
# Runs every libFuzzer harness of a fuzz build for SECONDS seconds each.
#
#   bash fuzz/run.sh BUILD_DIR SECONDS
#
# The committed corpus (fuzz/corpus/<harness>/) seeds each run and is only
# read; what a run adds goes to BUILD_DIR/corpus/<harness>/, and a crashing
# input to BUILD_DIR/findings/. A finding is kept by copying it into the
# committed corpus, where every later run replays it first.
set -uo pipefail
build=${1:?build directory}
seconds=${2:?seconds per harness}
list=$build/fuzz-harnesses.txt
if [ ! -s "$list" ]; then
    echo "no fuzz harnesses in $list" >&2
    exit 1
fi
failed=0
while read -r harness corpus; do
    name=$(basename "$harness")
    work=$build/corpus/$name
    mkdir -p "$work" "$build/findings"
    echo "== $name: $seconds s, seeds from $corpus"
    if "$harness" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build/findings/$name-" \
        "$work" "$corpus" 2>"$build/$name.log"; then
        # "#81723 DONE cov: 1234 ft: 5678 corp: 90/12Kb ...": runs and coverage.
        grep -E '^#[0-9]+[[:space:]]+DONE' "$build/$name.log" | sed "s/^/$name: /"
    else
        tail -n 40 "$build/$name.log"
        echo "$name: FAILED (input in $build/findings/)"
        failed=1
    fi
done <"$list"
exit $failed
