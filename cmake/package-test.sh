#!/usr/bin/env bash
# The Debian packages as a user gets them: built, checked by lintian,
# installed with apt-get (with their debug symbols), the installed programs,
# C, CMake and Python used from their installed places against the installed
# simulator, and `apt-get purge`, after which none of their files may be left.
#   package-test.sh             the packages of `make package`, in build/
#   package-test.sh BUILD_DIR   the packages of that configured build tree
# Installing needs root: run by `make test` on CI, which runs as root. Exits
# 77 with the reason when it cannot run here.
set -euo pipefail
given_build=${1:+$(realpath "$1")}
cd "$(dirname "$0")/.."
source=$PWD

packages="libvelmardll1 libvelmardll-dev velmar-dds python3-velmar-dds"
debug_packages="libvelmardll1-dbgsym velmar-dds-dbgsym"
if [ "$(id -u)" != 0 ]; then
    echo "NOT RUN, installing packages needs root"
    exit 77
fi
if dpkg-query -W -f '${Status}\n' $packages $debug_packages 2>/dev/null | grep -q "^install ok installed"; then
    echo "NOT RUN, the packages are already installed on this machine and are left alone"
    exit 77
fi
for tool in lintian dpkg-architecture; do
    command -v $tool >/dev/null || { echo "NOT RUN, $tool is missing (Debian: lintian, dpkg-dev)"; exit 77; }
done

build=${given_build:-$source/build}
rm -f "$build"/*.deb "$build"/*.ddeb
if [ -n "$given_build" ]; then
    (cmake --build "$build" -j"${JOBS:-2}" && cd "$build" && cpack -G DEB) >"$build/package.log" 2>&1 ||
        { cat "$build/package.log"; echo "package test: the packages could not be built" >&2; exit 1; }
else
    "${MAKE:-make}" --no-print-directory package
fi
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
version=$(sed -n 's/^#define VELMAR_DLL_VERSION_STRING "\(.*\)"$/\1/p' include/VelmarDll.h)

work=$(mktemp -d)
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    apt-get purge -y -qq $packages $debug_packages >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "package test: $*" >&2; exit 1; }
has_file() { grep -qxF "$1" <<<"$files" || fail "$1 is not installed"; }

# ---- The packages as files ------------------------------------------------------

debs=("$build"/*.deb)
ddebs=("$build"/*.ddeb)
for package in $packages $debug_packages; do
    ls "$build/${package}_$version-1_"*.*deb >/dev/null 2>&1 || fail "no package $package $version-1 in $build"
done
[ ${#debs[@]} -eq 4 ] && [ ${#ddebs[@]} -eq 2 ] ||
    fail "expected 4 packages and 2 of debug symbols, found: $(cd "$build" && echo *.deb *.ddeb)"

# Lintian finds no error and no warning: what does not apply is overridden in
# contrib/debian with the reason. Its notes (I:) are printed.
status=0
lintian --fail-on error,warning "${debs[@]}" "${ddebs[@]}" >"$work/lintian.log" 2>&1 || status=$?
grep -v "running with root privileges" "$work/lintian.log" || true
[ $status = 0 ] || fail "lintian found errors or warnings in the packages (exit status $status)"

# Each package states what it needs: the system's libraries, and the library
# of this very version (the Python package, built for every architecture,
# any from this version on).
for package in velmar-dds libvelmardll-dev; do
    dpkg-deb -f "$build/${package}_"*.deb Depends | grep -q "libvelmardll1 (= $version-1)" ||
        fail "$package does not depend on libvelmardll1 $version-1"
done
dpkg-deb -f "$build"/python3-velmar-dds_*.deb Depends | grep -q "libvelmardll1 (>= $version-1)" ||
    fail "python3-velmar-dds does not depend on libvelmardll1 from $version-1 on"
for package in velmar-dds libvelmardll1; do
    dpkg-deb -f "$build/${package}_"*.deb Depends | grep -q "libc6" ||
        fail "$package names no system library it needs"
    [[ "$(dpkg-deb -f "$build/${package}_"*.deb Maintainer)" =~ \<.+@.+\> ]] ||
        fail "$package has no maintainer address"
done

# ---- Installed ------------------------------------------------------------------

apt-get install -y -qq "${debs[@]}" "${ddebs[@]}" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "apt-get install failed"; }
files=$(dpkg -L $packages $debug_packages | sort -u)

# The libraries and what is built against them in Debian's multiarch
# directory, nothing of them directly in /usr/lib.
lib=/usr/lib/$triplet
for file in $lib/libVelmarDll.so.1 $lib/libvelmardds.so.1 $lib/libVelmarDll.so $lib/libvelmardds.so \
    $lib/pkgconfig/velmardll.pc $lib/pkgconfig/velmardds.pc $lib/cmake/VelmarDll/VelmarDllConfig.cmake \
    /usr/include/VelmarDll.h /usr/include/velmar/dds.h \
    /usr/lib/python3/dist-packages/velmar_dds/__init__.py \
    /usr/bin/velmar-dds /usr/bin/velmar-dds-sim /usr/share/bash-completion/completions/velmar-dds; do
    has_file "$file"
done
misplaced=$(grep -E '^/usr/lib/(lib[^/]*|pkgconfig/.*|cmake/.*)$' <<<"$files" || true)
[ -z "$misplaced" ] || fail "outside the multiarch directory: $misplaced"

# A system cut down to no documentation (dpkg path-exclude) has none to check.
if grep -rqsE 'path-exclude[= ]+/usr/share/(man|doc)' /etc/dpkg/dpkg.cfg /etc/dpkg/dpkg.cfg.d; then
    echo "documentation not checked: dpkg leaves out /usr/share/man or /usr/share/doc here"
else
    for package in $packages; do
        for file in copyright changelog.Debian.gz changelog.gz; do
            has_file "/usr/share/doc/$package/$file"
        done
    done
    # Every function the installed headers declare opens, under its own name,
    # the page that describes it.
    for function in $(sed -nE 's/^VELMAR_EXPORT [^(]* VELMAR_CALL (DDS[A-Za-z]+)\(.*/\1/p;
        s/^VELMAR_DDS_API [^(]*[ *](velmar_dds_[a-z_]+)\(.*/\1/p' /usr/include/VelmarDll.h \
        /usr/include/velmar/dds.h); do
        has_file "/usr/share/man/man3/$function.3.gz"
        page=$(man -w "$function" 2>/dev/null) || fail "man $function finds no page"
        zcat "$page" | sed -n '/^\.SH NAME/,/^\.SH/p' | tr ',\n' '  ' | grep -qw -- "$function" ||
            fail "the man page of $function does not name it"
    done
    LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z \
        /usr/share/man/man3/VelmarDll.3.gz /usr/share/man/man3/velmar_dds.3.gz 2>"$work/man.log" >/dev/null
    [ ! -s "$work/man.log" ] || fail "the man pages have errors: $(cat "$work/man.log")"
    if [ -x "$build/scpi/velmar-dds-scpi" ]; then
        has_file /usr/share/man/man1/velmar-dds-scpi.1.gz
    fi
    for page in velmar-dds velmar-dds-sim; do
        has_file "/usr/share/man/man1/$page.1.gz"
    done
fi

# Stripped programs and libraries without a RUNPATH, whose debug information
# the -dbgsym packages hold under their build-id.
for binary in /usr/bin/velmar-dds /usr/bin/velmar-dds-sim "$(realpath $lib/libvelmardds.so.1)" \
    "$(realpath $lib/libVelmarDll.so.1)"; do
    file -L "$binary" | grep -q ", stripped" || fail "$binary is not stripped"
    ! readelf -d "$binary" | grep -qE 'RPATH|RUNPATH' || fail "$binary has a RUNPATH"
    id=$(readelf -n "$binary" | sed -n 's/.*Build ID: //p')
    [ -f "/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" ] || fail "no debug symbols for $binary"
done

# The SCPI server's unit, where this machine could build the server (it needs
# Asio): there, matching the installed program, and not enabled.
if [ -x "$build/scpi/velmar-dds-scpi" ]; then
    unit=/usr/lib/systemd/system/velmar-dds-scpi.service
    has_file /usr/bin/velmar-dds-scpi
    has_file $unit
    grep -qx "ExecStart=/usr/bin/velmar-dds-scpi" $unit || fail "$unit does not start /usr/bin/velmar-dds-scpi"
    enabled=$(find /etc/systemd/system -name velmar-dds-scpi.service 2>/dev/null)
    [ -z "$enabled" ] || fail "the unit was enabled: $enabled"
    if command -v systemd-analyze >/dev/null; then
        man_check=yes
        [ -e /usr/share/man/man1/velmar-dds-scpi.1.gz ] || man_check=no
        systemd-analyze verify --man=$man_check $unit || fail "systemd-analyze finds fault with $unit"
    fi
fi

# ---- Used -------------------------------------------------------------------------

[ "$(command -v velmar-dds)" = /usr/bin/velmar-dds ] || fail "velmar-dds is not /usr/bin/velmar-dds"
velmar-dds --version | tee "$work/version"
grep -qE "^library $lib/lib(VelmarDll|velmardds)\.so\.1\." "$work/version" ||
    fail "velmar-dds does not use the installed library"

export VELMAR_DDS_DEVICE_DIR=$work/devices VELMAR_DDS_STATE_DIR=$work/state
velmar-dds-sim --count 2 --dir "$VELMAR_DDS_DEVICE_DIR" 2>"$work/sim.log" &
sim_pid=$!
for _ in $(seq 100); do [ -S "$VELMAR_DDS_DEVICE_DIR/dds1" ] && break; sleep 0.05; done
velmar-dds freq 1000 + measure | tee "$work/freq.out"
grep -qx "frequency 1000.16 Hz" "$work/freq.out" || fail "the installed tool did not play 1 kHz"

# C through pkg-config, and through the CMake package as a user's project
# finds it.
cc -o "$work/play_sine" examples/play_sine.c $(pkg-config --cflags --libs velmardll)
"$work/play_sine" 1000 | tee "$work/play.out"
grep -q "^2083 samples holding 1 period(s) at divider 48$" "$work/play.out" || fail "play_sine failed"
mkdir "$work/consumer"
cat >"$work/consumer/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(VelmarDll $version REQUIRED)
add_executable(two_instruments $source/examples/two_instruments.c)
target_link_libraries(two_instruments PRIVATE VelmarDll::velmardds)
# Computes its samples with <math.h>: the target brings libm.
add_executable(play_sine $source/examples/play_sine.c)
target_link_libraries(play_sine PRIVATE VelmarDll::VelmarDll)
CMAKE
cmake -S "$work/consumer" -B "$work/consumer/build" >/dev/null && cmake --build "$work/consumer/build" >/dev/null ||
    fail "a CMake project could not build against the installed package"
"$work/consumer/build/two_instruments" | tee "$work/two.out"
[ "$(grep -c "meter reads" "$work/two.out")" = 2 ] || fail "two_instruments failed"
kill "$sim_pid"
wait "$sim_pid" || true
sim_pid=""

# Python: the installed package, outside this checkout, with the installed
# simulator from PATH and the installed session library.
(cd "$work" && env -u PYTHONPATH -u VELMAR_DDS_LIBRARY -u VELMAR_DDS_SIM /usr/bin/python3 - "$version" <<'PYTHON'
import sys
import velmar_dds

assert velmar_dds.__file__.startswith("/usr/lib/python3/dist-packages/"), velmar_dds.__file__
assert velmar_dds.__version__ == sys.argv[1], velmar_dds.__version__
with velmar_dds.Simulator():
    with velmar_dds.Generator(0) as gen:
        plan = gen.play(1000.0)
        measured = gen.measure_frequency()
        print(f"python: plays {plan.produced_hz:.2f} Hz, meter reads {measured:.2f} Hz")
        assert round(plan.produced_hz, 2) == 1000.16 and round(measured, 2) == 1000.16
        with open("/proc/self/maps") as maps:
            loaded = {line.split()[-1] for line in maps if "libvelmardds" in line}
        assert all(path.startswith("/usr/lib/") for path in loaded) and loaded, loaded
PYTHON
) || fail "the installed Python package did not drive the simulated instrument"
[ -n "$(find /usr/lib/python3/dist-packages/velmar_dds -name '*.pyc')" ] ||
    fail "the Python package was not compiled when installed"

# ---- Removed ------------------------------------------------------------------------

apt-get purge -y -qq $packages $debug_packages >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "apt-get purge failed"; }
left=""
while read -r file; do
    [ -e "$file" ] && [ ! -d "$file" ] && left="$left $file"
done <<<"$files"
for dir in /usr/lib/python3/dist-packages/velmar_dds $lib/cmake/VelmarDll /usr/include/velmar; do
    [ ! -e "$dir" ] || left="$left $dir"
done
[ -z "$left" ] || fail "left behind after purge:$left"
echo "packages: lintian-clean, installed, used from PATH, C, CMake and Python, and removed cleanly"
