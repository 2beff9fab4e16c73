#!/usr/bin/env bash
# Cross-builds the Windows DLLs (32-bit and 64-bit), checks their export and
# import tables, and runs the Windows suites under Wine for every width this
# machine can run. A width out of reach of the machine (no cross-compiler,
# no Wine of that width, a kernel without 32-bit execution) is reported as
# NOT RUN with the reason and does not fail the run; a build, a table check,
# a broken Wine or a suite that fails does.
#
#   bash cmake/test-windows.sh        (what `make test-windows` runs)
#
# Environment: JOBS (default 2); CMAKE_FLAGS (passed to both configures);
# VELMAR_WINEPREFIX (default $HOME/.wine-velmar; each width gets its own
# prefix, <that>-32 and <that>-64, set up once and reused); VELMAR_WINE32 /
# VELMAR_WINE64 (the Wine loader of a width, instead of the installed one);
# VELMAR_WINDOWS_WIDTHS (default "32 64"); VELMAR_TEST_SUMMARY (a file the
# one-line verdicts are appended to, for the summary of `make test`).
set -uo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=wine-probe.sh
source cmake/wine-probe.sh

JOBS=${JOBS:-2}
CMAKE_FLAGS=${CMAKE_FLAGS:-}
PREFIX_BASE=${VELMAR_WINEPREFIX:-${HOME:-/tmp}/.wine-velmar}

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export DISPLAY=

verdicts=()
any_failed=0
any_ran=0
verdict() {  # verdict <width> <text>
    local line="Windows $1-bit: $2"
    verdicts+=("$line")
    echo "$line"
    case $2 in FAILED*) any_failed=1 ;; passed*) any_ran=1 ;; esac
    if [ -n "${VELMAR_TEST_SUMMARY:-}" ]; then echo "$line" >>"$VELMAR_TEST_SUMMARY"; fi
}

build() {  # build <dir> <triple> [cmake args...]
    local dir=$1 triple=$2
    shift 2
    # The toolchain is given once: a configured build directory keeps it.
    [ -f "$dir/CMakeCache.txt" ] || set -- -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$triple.cmake" "$@"
    # shellcheck disable=SC2086
    cmake -S . -B "$dir" "$@" $CMAKE_FLAGS >/dev/null &&
        cmake --build "$dir" -j"$JOBS"
}

# The export table holds exactly the names of the DLL's module-definition
# file, undecorated, and the DLL imports nothing but Windows system DLLs.
system_dlls="^(kernel32|msvcrt|setupapi|advapi32|user32|ntdll|ucrtbase|api-ms-win-.*)\.dll$"
check_dll() {  # check_dll <objdump> <dll> <def file>
    local objdump=$1 dll=$2 def=$3 dump exports imports stray expected_exports
    expected_exports=$(sed -n 's/^[[:space:]]\{1,\}\([A-Za-z_][A-Za-z0-9_]*\)[[:space:]]*$/\1/p' "$def")
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
    echo "ok   $dll: exports the $(echo $expected_exports | wc -w) names of $(basename "$def"); imports only $(echo $imports | tr ' ' ',')"
}

# run_suites <width> <loader> <prefix> <build dir>
run_suites() {
    local width=$1 loader=$2 prefix=$3 dir=$4 keeper_pid result=0
    export WINEPREFIX=$prefix
    # One server for the width's run; it ends by itself a minute after the
    # last test, so no test pays Wine's start-up.
    wineserver -p60
    # Wine's services stop whenever no Windows program runs, and the program
    # that starts them again lends them its output: under CTest that test
    # would seem to run until the services stop. A command prompt started
    # here, waiting for a key on a pipe we hold, keeps them up; closing the
    # pipe ends it.
    coproc WINE_KEEPER { exec "$loader" cmd /c pause >/dev/null 2>&1; }
    keeper_pid=$WINE_KEEPER_PID
    # The loader CTest runs the tests with is the one the probe accepted.
    cmake -S . -B "$dir" -DVELMAR_WINE="$loader" >/dev/null &&
        ctest --test-dir "$dir" --output-on-failure --no-tests=error -j"$JOBS" || result=1
    if [ -n "${WINE_KEEPER[1]:-}" ]; then exec {WINE_KEEPER[1]}>&-; fi
    for _ in $(seq 50); do
        kill -0 "$keeper_pid" 2>/dev/null || break
        sleep 0.2
    done
    kill "$keeper_pid" 2>/dev/null || true
    wait "$keeper_pid" 2>/dev/null
    return $result
}

# test_width <width> <triple>
test_width() {
    local width=$1 triple=$2 dir=build-win$1 loader prefix probe status line
    if ! command -v "$triple-g++-posix" >/dev/null 2>&1 ||
       ! command -v "$triple-objdump" >/dev/null 2>&1; then
        verdict "$width" "NOT RUN, the mingw-w64 cross-compiler is not installed (Debian package g++-mingw-w64-${triple%%-*})"
        return
    fi
    if ! build "$dir" "$triple"; then
        verdict "$width" "FAILED, the build failed"
        return
    fi
    if ! check_dll "$triple-objdump" "$dir/src/VelmarDll.dll" src/VelmarDll.def ||
       ! check_dll "$triple-objdump" "$dir/src/velmardds.dll" src/velmardds.def; then
        verdict "$width" "FAILED, a DLL's export or import table is wrong"
        return
    fi
    if [ ! -f "$dir/tests/CTestTestfile.cmake" ] ||
       ! grep -q windows "$dir/tests/CTestTestfile.cmake" 2>/dev/null; then
        verdict "$width" "NOT RUN, GoogleTest sources are not installed (Debian package googletest); the DLL was built and checked"
        return
    fi

    loader=$(wine_loader "$width")
    prefix=$PREFIX_BASE-$width
    probe=$dir/velmar-wine-probe.exe
    printf 'int main(void) { return 0; }\n' >"$dir/velmar-wine-probe.c"
    if ! "$triple-gcc-posix" -o "$probe" "$dir/velmar-wine-probe.c"; then
        verdict "$width" "FAILED, the probe program did not build"
        return
    fi
    echo "Windows $width-bit: Wine loader ${loader:-(none)}, prefix $prefix"
    line=$(probe_wine "$width" "$loader" "$prefix" "$probe")
    status=$?
    case $status in
        0) ;;
        2) verdict "$width" "$line; the DLL was built and checked"; return ;;
        *) verdict "$width" "$line"; return ;;
    esac
    if run_suites "$width" "$loader" "$prefix" "$dir"; then
        verdict "$width" "passed, under $("$loader" --version 2>/dev/null)"
    else
        verdict "$width" "FAILED, suites failed under $loader"
    fi
}

for width in ${VELMAR_WINDOWS_WIDTHS:-32 64}; do
    case $width in
        32) test_width 32 i686-w64-mingw32 ;;
        64) test_width 64 x86_64-w64-mingw32 ;;
        *) echo "unknown width $width" >&2; exit 2 ;;
    esac
done

echo
printf '%s\n' "${verdicts[@]}"
if [ "$any_ran" = 0 ] && [ "$any_failed" = 0 ]; then
    echo "Windows suites: none could run on this machine; see the reasons above."
fi
exit $any_failed
