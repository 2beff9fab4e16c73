#!/usr/bin/env bash
# Cross-builds the Windows DLLs (32-bit and 64-bit) and runs the Windows
# suites under Wine. Without mingw-w64 or Wine it says so and skips.
#
#   bash cmake/test-windows.sh        (what `make test-windows` runs)
#
# Environment: JOBS (default 2), VELMAR_WINEPREFIX (default
# $HOME/.wine-velmar), CMAKE_FLAGS (passed to both configures).
set -uo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-2}
CMAKE_FLAGS=${CMAKE_FLAGS:-}

skip() {
    echo "Windows suites: SKIPPED, $1."
    echo "  (install g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 and googletest)"
    exit 0
}

missing=()
for tool in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix \
            i686-w64-mingw32-objdump x86_64-w64-mingw32-objdump wine wineboot wineserver; do
    command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
# The 32-bit suites need Wine's 32-bit loader (package wine32:i386).
[ -x /usr/lib/wine/wine ] || [ -x /usr/lib/i386-linux-gnu/wine/wine ] || missing+=("wine32")
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=("googletest sources")
if [ ${#missing[@]} -gt 0 ]; then
    skip "not found: ${missing[*]}"
fi

# Wine's own start-up (creating the prefix, its services) must be over
# before CTest times anything: otherwise the first test can hang for
# minutes, and without a lasting server every test pays seconds of start-up.
export WINEDEBUG=-all
export WINEPREFIX=${VELMAR_WINEPREFIX:-${HOME:-/tmp}/.wine-velmar}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export DISPLAY=
mkdir -p "$WINEPREFIX"
echo "Windows suites: Wine prefix $WINEPREFIX"
if ! timeout 300 wineboot --init >/dev/null 2>&1; then
    echo "Windows suites: FAILED, wineboot --init did not set up $WINEPREFIX"
    exit 1
fi
# One server for the whole run; it ends by itself a minute after the last test.
wineserver -p60
# Wine's services stop whenever no Windows program runs, and the program
# that starts them again lends them its output: under CTest that test would
# seem to run until the services stop. A command prompt started here,
# waiting for a key on a pipe we hold, keeps them up; closing the pipe ends it.
coproc WINE_KEEPER { exec wine cmd /c pause >/dev/null 2>&1; }
keeper_pid=$WINE_KEEPER_PID
release_keeper() {
    if [ -n "${WINE_KEEPER[1]:-}" ]; then exec {WINE_KEEPER[1]}>&-; fi
    for _ in $(seq 50); do
        kill -0 "$keeper_pid" 2>/dev/null || return 0
        sleep 0.2
    done
    kill "$keeper_pid" 2>/dev/null || true
}
trap release_keeper EXIT

failed=()
build() {  # build <dir> <toolchain> [cmake args...]
    local dir=$1 toolchain=$2
    shift 2
    # The toolchain is given once: a configured build directory keeps it.
    [ -f "$dir/CMakeCache.txt" ] || set -- -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$toolchain.cmake" "$@"
    # shellcheck disable=SC2086
    cmake -S . -B "$dir" "$@" $CMAKE_FLAGS >/dev/null &&
        cmake --build "$dir" -j"$JOBS"
}

if ! build build-win32 i686-w64-mingw32; then
    echo "Windows suites: the 32-bit build failed"
    exit 1
fi
# The 64-bit DLL, and the suites that load it by name.
if ! build build-win64 x86_64-w64-mingw32; then
    echo "Windows suites: the 64-bit build failed"
    exit 1
fi

# The export table holds exactly the fifteen names, undecorated, and the
# DLL imports nothing but Windows system DLLs.
expected_exports="DDSCheck DDSDownload DDSGetCLK DDSGetDigitalIn DDSGetDivNum DDSGetMeasure \
DDSResetCounter DDSSearch DDSSetDIOMode DDSSetDigitalOut DDSSetDivNum DDSSetFrequency \
DDSSetPowerOnOutput DDSSetSingleWave DDSSetTrigger"
system_dlls="^(kernel32|msvcrt|setupapi|advapi32|user32|ntdll|ucrtbase|api-ms-win-.*)\.dll$"
check_dll() {  # check_dll <objdump> <dll>
    local objdump=$1 dll=$2 dump exports imports stray
    if ! dump=$("$objdump" -p "$dll"); then
        echo "FAIL $dll: objdump could not read it"
        return 1
    fi
    exports=$(printf '%s\n' "$dump" |
        sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        sed -n 's/^[[:space:]]*\[ *[0-9]*\] \(.*\)$/\1/p' | sort | tr '\n' ' ' | sed 's/ $//')
    imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u)
    stray=$(printf '%s\n' "$imports" | tr 'A-Z' 'a-z' | grep -Ev "$system_dlls" || true)
    if [ "$exports" != "$(echo $expected_exports | tr ' ' '\n' | sort | tr '\n' ' ' | sed 's/ $//')" ]; then
        echo "FAIL $dll exports: $exports"
        return 1
    fi
    if [ -n "$stray" ]; then
        echo "FAIL $dll imports non-system DLLs: $stray"
        return 1
    fi
    echo "ok   $dll: exports the fifteen names; imports only $(echo $imports | tr ' ' ',')"
}
check_dll i686-w64-mingw32-objdump build-win32/src/VelmarDll.dll || failed+=("32-bit exports/imports")
check_dll x86_64-w64-mingw32-objdump build-win64/src/VelmarDll.dll || failed+=("64-bit exports/imports")

ctest --test-dir build-win64 --output-on-failure -j"$JOBS" || failed+=("64-bit suites")
ctest --test-dir build-win32 --output-on-failure -j"$JOBS" || failed+=("32-bit suites")

if [ ${#failed[@]} -gt 0 ]; then
    echo "Windows suites: FAILED: ${failed[*]}"
    exit 1
fi
echo "Windows suites: passed (32-bit and 64-bit DLL under $(wine --version))"
