#!/usr/bin/env bash
# The session example against two simulated instruments: every control packet
# each instrument receives carries its own fields only, never the other's.
#   two_instruments_test.sh SIMULATOR EXAMPLE
set -euo pipefail
sim=$1 example=$2
dir=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$dir"' EXIT
"$sim" --dir "$dir/devices" --count 2 --trace >"$dir/trace" 2>&1 &
pid=$!
for _ in $(seq 50); do [ -S "$dir/devices/dds1" ] && break; sleep 0.1; done
VELMAR_DDS_DEVICE_DIR="$dir/devices" VELMAR_DDS_STATE_DIR="$dir/state" "$example"
kill "$pid"
wait "$pid" || true

fail=0
expect_none() {  # instrument, pattern that must not appear in its packets
    if grep "^$1: control:" "$dir/trace" | grep -E "$2"; then
        echo "FAIL: $1 received a packet matching '$2'"
        fail=1
    fi
}
expect_count() {  # instrument, number of control packets
    local n
    n=$(grep -c "^$1: control:" "$dir/trace" || true)
    [ "$n" -eq "$2" ] || { echo "FAIL: $1 received $n control packets, not $2"; fail=1; }
}
expect_none dds1 'dio-out 0x0005|divider 48|trigger'
expect_none dds0 'dio-out 0x00A0|divider 7|single wave'
expect_count dds0 6  # divider, output, pulse up, pulse down, trigger, measure
expect_count dds1 4  # single wave, output, divider, measure
[ "$fail" -eq 0 ] || { cat "$dir/trace"; exit 1; }
echo "each instrument received only its own fields"
