#!/usr/bin/env bash
# The installed tree as a user gets it: `cmake --install` to a temporary
# prefix, examples/play_sine.c built against it with pkg-config and with
# find_package, both run against the installed simulator; the installed tool
# finds the installed library, man pages and bash completion are there.
#   install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER
set -euo pipefail
build=$1 source=$2 cc=$3
command -v pkg-config >/dev/null || { echo "pkg-config is missing (Debian: pkgconf)"; exit 77; }

work=$(mktemp -d)
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "install test: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

# pkg-config: the flags point into this prefix, wherever it is.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
flags=$(pkg-config --cflags --libs velmardll)
include_dir=$(pkg-config --variable=includedir velmardll)
[ "$(realpath "$include_dir")" = "$(realpath "$prefix/include")" ] ||
    fail "pkg-config's includedir $include_dir is not in $prefix ($flags)"
"$cc" -o "$work/play_sine_pkgconfig" "$source/examples/play_sine.c" $flags \
    -Wl,-rpath,"$prefix/lib"

# find_package: a project of its own, as a user writes it.
mkdir "$work/consumer"
cat >"$work/consumer/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(VelmarDll 1.0 REQUIRED)
add_executable(play_sine_cmake $source/examples/play_sine.c)
target_link_libraries(play_sine_cmake PRIVATE VelmarDll::VelmarDll)
CMAKE
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_COMPILER="$cc" >/dev/null
cmake --build "$work/consumer/build" >/dev/null

# Both against the installed simulator, with the installed tool beside them.
export VELMAR_DDS_DEVICE_DIR=$work/devices
"$prefix/bin/velmar-dds-sim" --dir "$VELMAR_DDS_DEVICE_DIR" 2>/dev/null &
sim_pid=$!
for _ in $(seq 100); do [ -S "$VELMAR_DDS_DEVICE_DIR/dds0" ] && break; sleep 0.05; done
for program in "$work/play_sine_pkgconfig" "$work/consumer/build/play_sine_cmake"; do
    out=$("$program" 1000)
    [ "$out" = "2083 samples holding 1 period(s) at divider 48
frequency meter reads 1000.160 Hz" ] || fail "$program printed: $out"
done
"$prefix/bin/velmar-dds" --version | grep -qx "library $(realpath "$prefix/lib")/libvelmardds.so.1.*" ||
    fail "the installed velmar-dds does not load the installed library"

# The man pages and the completion: one command list for the tool and the completion.
for page in velmar-dds velmar-dds-sim; do
    [ -s "$prefix/share/man/man1/$page.1" ] || fail "no man page for $page"
    [ -s "$prefix/share/bash-completion/completions/$page" ] || fail "no completion for $page"
done
commands=$("$prefix/bin/velmar-dds" --help | sed -n '/^Commands/,/^$/p' | awk '/^  / {print $1}')
completed=$(bash -c 'source "$1"; COMP_WORDS=(velmar-dds ""); COMP_CWORD=1; _velmar_dds;
    printf "%s\n" "${COMPREPLY[@]}"' _ "$prefix/share/bash-completion/completions/velmar-dds" |
    grep -v '^-')
[ "$commands" = "$completed" ] || fail "completion offers $(echo $completed), the tool has $(echo $commands)"
echo "installed to a temporary prefix: pkg-config, find_package, tools, man pages, completion"
