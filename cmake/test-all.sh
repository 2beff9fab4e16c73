#!/usr/bin/env bash
# What `make test` runs: every suite in turn, each to its end whatever the
# others did, then one line per suite. Exits non-zero when a suite that ran
# failed; a suite this machine cannot run is reported with the reason.
set -uo pipefail
cd "$(dirname "$0")/.."

MAKE=${MAKE:-make}
summary=$(mktemp)
# The sessions' state records of every test run go here, not among the
# user's own (each simulated instrument of a test leaves one).
state=$(mktemp -d)
export VELMAR_DDS_STATE_DIR=$state
trap 'rm -f "$summary" "$summary.package"; rm -rf "$state"' EXIT
failed=0

suite() {  # suite <name> <make target>
    local name=$1 target=$2 started=$SECONDS
    echo "== $name ($target)"
    if "$MAKE" --no-print-directory "$target"; then
        echo "$name: passed ($((SECONDS - started)) s)" >>"$summary"
    else
        echo "$name: FAILED ($((SECONDS - started)) s)" >>"$summary"
        failed=1
    fi
}

suite "native" test-native
suite "ASan+UBSan" test-asan
suite "TSan (threads)" test-tsan
suite "fuzz (5 s per harness)" test-fuzz

# The Debian packages: installed, used from PATH and removed. Installing
# needs root, as on CI; elsewhere the reason is reported instead.
echo "== packages (test-package)"
started=$SECONDS
MAKE=$MAKE bash cmake/package-test.sh | tee "$summary.package"
case ${PIPESTATUS[0]} in
    0) echo "packages: passed ($((SECONDS - started)) s)" >>"$summary" ;;
    77) echo "packages: $(grep '^NOT RUN' "$summary.package" | head -1)" >>"$summary" ;;
    *) echo "packages: FAILED ($((SECONDS - started)) s)" >>"$summary"; failed=1 ;;
esac
rm -f "$summary.package"
# The Windows script reports each width itself, passed, FAILED or NOT RUN.
echo "== Windows (test-windows)"
before=$(wc -l <"$summary")
VELMAR_TEST_SUMMARY=$summary "$MAKE" --no-print-directory test-windows || failed=1
if [ "$(wc -l <"$summary")" = "$before" ]; then
    echo "Windows: FAILED (the Windows script stopped before its verdicts)" >>"$summary"
    failed=1
fi

echo
echo "== Summary"
cat "$summary"
exit $failed
