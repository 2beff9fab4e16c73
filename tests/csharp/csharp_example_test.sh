#!/usr/bin/env bash
# The C# example (examples/csharp) compiled with mcs and run with mono against simulated
# instruments: both faces play 1 kHz and read it back; the dllmap finds the libraries where
# only their versioned names are installed; failures come out in the library's words.
# Exits 77 (CTest's skip) where mono or its compiler is missing.
#   csharp_example_test.sh SIMULATOR EXAMPLE_DIR LIBRARY_DIR
set -euo pipefail
sim=$1 example=$2 libdir=$3
missing=""
command -v mcs >/dev/null || missing+=" mcs (Debian: mono-mcs)"
command -v mono >/dev/null || missing+=" mono (Debian: mono-runtime)"
if [ -n "$missing" ]; then
    echo "NOT RUN: missing$missing"
    exit 77
fi

work=$(mktemp -d)
sim_pid=""
stop_sim() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=""
    fi
}
trap 'stop_sim; rm -rf "$work"' EXIT
failures=0 case_name=""
problem() { echo "FAIL: $case_name: $*"; failures=$((failures + 1)); }

mcs -nologo -warnaserror+ -warn:4 -out:"$work/PlaySine.exe" "$example"/*.cs
cp "$example/PlaySine.exe.config" "$work/"

start_sim() {  # device directory, simulator options...
    local dir=$1
    shift
    "$sim" --dir "$dir" "$@" >"$work/sim.log" 2>&1 &
    sim_pid=$!
    for _ in $(seq 50); do [ -S "$dir/dds0" ] && return; sleep 0.1; done
    cat "$work/sim.log"
    echo "FAIL: the simulator did not come up in $dir"
    exit 1
}

status=0 failures_before=0
play() {  # case, library directory, device directory: runs the example into out/err
    case_name=$1 failures_before=$failures status=0
    shift
    LD_LIBRARY_PATH=$1 VELMAR_DDS_DEVICE_DIR=$2 VELMAR_DDS_STATE_DIR=$work/state \
        mono "$work/PlaySine.exe" >"$work/out" 2>"$work/err" || status=$?
}

expect_line() {  # exact line expected in the output
    grep -qxF -- "$1" "$work/out" || problem "no line '$1'"
}

expect_reading() {  # face: its meter reads 1000.16 Hz within 0.1 %
    local hz
    hz=$(sed -n "s/^$1: meter reads \([0-9.]*\) Hz\$/\1/p" "$work/out")
    if [ -z "$hz" ]; then
        problem "$1: no reading"
    elif ! awk -v hz="$hz" 'BEGIN { d = hz - 1000.16; exit !(d * d <= 1000.16 * 1000.16 * 1e-6) }'; then
        problem "$1: the meter reads $hz Hz, not 1000.16 Hz within 0.1 %"
    fi
}

show_if_failed() {
    [ "$failures" -eq "$failures_before" ] || { echo "--- $case_name"; cat "$work/out" "$work/err"; }
}

expect_played() {
    [ "$status" -eq 0 ] || problem "exit status $status"
    expect_line "legacy: 2083 samples holding 1 period(s) at divider 48"
    expect_line "session: 2083 samples holding 1 period(s) at divider 48, produces 1000.16 Hz"
    # The state's fields after three ushorts: a layout unlike C's shows here.
    expect_line "session: state divider 48, wave length 2112, sample clock 2083333.33 Hz"
    expect_reading legacy
    expect_reading session
    show_if_failed
}

# The build tree, where both link names exist; then only the versioned names, as the
# runtime package installs them: found through PlaySine.exe.config alone.
start_sim "$work/devices"
play "the build's libraries" "$libdir" "$work/devices"
expect_played
mkdir "$work/runtime"
ln -s "$libdir/libVelmarDll.so.1" "$libdir/libvelmardds.so.1" "$work/runtime/"
play "libVelmarDll.so.1 and libvelmardds.so.1 only" "$work/runtime" "$work/devices"
expect_played
stop_sim

# Failures: each face says what it met, the session face in the library's words.
expect_failure() {  # legacy's line, pattern of the session's line
    [ "$status" -eq 1 ] || problem "exit status $status, not 1"
    grep -qxF -- "$1" "$work/err" || problem "no line '$1'"
    grep -qx -- "$2" "$work/err" || problem "no line matching '$2'"
    show_if_failed
}
mkdir "$work/empty"
play "no instrument" "$libdir" "$work/empty"
expect_failure "legacy: DDSSearch found no instrument" \
    "session: velmar_dds_open_position: no instrument at position 0 .*(no such instrument)"
start_sim "$work/refusing" --refuse
play "refused" "$libdir" "$work/refusing"
expect_failure "legacy: DDSSetFrequency returned 0" \
    "session: velmar_dds_open_position: $work/refusing/dds0 did not open: .*(the instrument did not open)"
stop_sim

[ "$failures" -eq 0 ] || exit 1
echo "both faces play 1000.16 Hz from C#; failures are told in the library's words"
