#!/usr/bin/env bash
# The Debian packages as a user gets them: `make package`, then
# `apt-get install ./build/*.deb`, the installed programs from PATH against
# the installed simulator, a C program built with the installed pkg-config
# file, and `apt-get purge`, after which none of their files may be left.
# Installing needs root: run by `make test` on CI, which runs as root. Exits
# 77 with the reason when it cannot run here.
set -euo pipefail
cd "$(dirname "$0")/.."

packages="libvelmardll1 libvelmardll-dev velmar-dds"
if [ "$(id -u)" != 0 ]; then
    echo "NOT RUN, installing packages needs root"
    exit 77
fi
if dpkg-query -W -f '${Status}\n' $packages 2>/dev/null | grep -q "^install ok installed"; then
    echo "NOT RUN, the packages are already installed on this machine and are left alone"
    exit 77
fi

"${MAKE:-make}" --no-print-directory package
work=$(mktemp -d)
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    apt-get purge -y -qq $packages >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "package test: $*" >&2; exit 1; }

# Each package states what it needs: the system's libraries, and the library
# of this very version.
for deb in build/velmar-dds_*.deb build/libvelmardll-dev_*.deb; do
    dpkg-deb -f "$deb" Depends | grep -q "libvelmardll1 (= " || fail "$deb does not depend on libvelmardll1"
done
for deb in build/velmar-dds_*.deb build/libvelmardll1_*.deb; do
    dpkg-deb -f "$deb" Depends | grep -q "libc6" || fail "$deb names no system library it needs"
done

apt-get install -y -qq ./build/*.deb >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get install failed"; }
files=$(dpkg -L $packages | sort -u)

[ "$(command -v velmar-dds)" = /usr/bin/velmar-dds ] || fail "velmar-dds is not /usr/bin/velmar-dds"
version=$(velmar-dds --version)
echo "$version"
grep -qx "library /usr/lib/libVelmarDll.so.1.*" <<<"$version" || fail "velmar-dds does not use the installed library"
for file in /usr/share/man/man1/velmar-dds.1 /usr/share/man/man1/velmar-dds-sim.1 \
    /usr/share/bash-completion/completions/velmar-dds /usr/lib/pkgconfig/velmardll.pc; do
    grep -qx "$file" <<<"$files" || fail "$file is not installed"
done
# The SCPI server, where this machine could build it (it needs Asio).
if [ -x build/scpi/velmar-dds-scpi ]; then
    for file in /usr/bin/velmar-dds-scpi /usr/share/man/man1/velmar-dds-scpi.1; do
        grep -qx "$file" <<<"$files" || fail "$file is not installed"
    done
fi

# The installed programs, the installed library and a program built against it.
export VELMAR_DDS_DEVICE_DIR=$work/devices
velmar-dds-sim --dir "$VELMAR_DDS_DEVICE_DIR" 2>"$work/sim.log" &
sim_pid=$!
for _ in $(seq 100); do [ -S "$VELMAR_DDS_DEVICE_DIR/dds0" ] && break; sleep 0.05; done
velmar-dds freq 1000 + measure | tee "$work/freq.out"
grep -qx "frequency 1000.16 Hz" "$work/freq.out" || fail "the installed tool did not play 1 kHz"
cc -o "$work/play_sine" examples/play_sine.c $(pkg-config --cflags --libs velmardll)
"$work/play_sine" 1000 | tee "$work/play.out"
grep -q "^2083 samples holding 1 period(s) at divider 48$" "$work/play.out" || fail "play_sine failed"
kill "$sim_pid"
wait "$sim_pid" || true
sim_pid=""

apt-get purge -y -qq $packages >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get purge failed"; }
left=""
while read -r file; do
    [ -e "$file" ] && [ ! -d "$file" ] && left="$left $file"
done <<<"$files"
[ -z "$left" ] || fail "left behind after purge:$left"
echo "packages: installed, used from PATH and removed cleanly"
