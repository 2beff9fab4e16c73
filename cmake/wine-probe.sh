# Sourced by cmake/test-windows.sh: finds the Wine loader of one width and
# finds out whether this machine can run Windows programs of that width.
#
# A width can be out of reach because of the machine (no Wine of that
# width, a kernel that refuses 32-bit programs): that is "not run", not a
# failure. A Wine that starts but cannot set up its prefix or run a trivial
# program is broken, and that is a failure.

# wine_loader <32|64>: the loader to use for that width, or nothing.
# VELMAR_WINE32 / VELMAR_WINE64 name one explicitly (a path, possibly of a
# loader that is not there).
wine_loader() {
    local width=$1 override candidate
    override=VELMAR_WINE$width
    if [ -n "${!override+set}" ]; then
        printf '%s\n' "${!override}"
        return
    fi
    # Debian's `wine` script execs the 32-bit loader whenever it is
    # installed, so each width names its own loader.
    if [ "$width" = 32 ]; then
        set -- /usr/lib/wine/wine /usr/lib/i386-linux-gnu/wine/wine
    else
        set -- /usr/lib/wine/wine64 /usr/lib/x86_64-linux-gnu/wine/wine64 \
               "$(command -v wine64 2>/dev/null)"
    fi
    for candidate in "$@"; do
        if [ -n "$candidate" ] && [ -x "$candidate" ]; then
            printf '%s\n' "$candidate"
            return
        fi
    done
    # Where one `wine` runs both widths (no separate loaders installed).
    if [ "$width" = 64 ] && command -v wine >/dev/null 2>&1 &&
       [ ! -x /usr/lib/wine/wine ]; then
        command -v wine
    fi
}

# probe_wine <width> <loader> <prefix> <probe.exe>
# Prints one verdict line and returns 0 (ready), 2 (not run) or 1 (failed):
#   ready
#   NOT RUN, <why>
#   FAILED, <why>
# Sets up the prefix once: a prefix that was set up before is reused.
probe_wine() {
    local width=$1 loader=$2 prefix=$3 probe=$4 out
    local package=wine64
    [ "$width" = 32 ] && package="wine32:i386"
    if [ -z "$loader" ] || [ ! -e "$loader" ]; then
        echo "NOT RUN, the ${width}-bit Wine loader is not installed (Debian package $package)"
        return 2
    fi
    local rc=0
    out=$("$loader" --version 2>&1) || rc=$?
    if [ "$rc" != 0 ]; then
        # 126: the kernel would not execute the loader at all.
        if [ "$rc" = 126 ] || printf '%s' "$out" | grep -qi 'exec format error'; then
            echo "NOT RUN, this kernel cannot execute ${width}-bit programs ($loader: ${out##*: })"
            return 2
        fi
        echo "FAILED, $loader --version did not run: $(printf '%s' "$out" | tail -n 1)"
        return 1
    fi
    local arch=win64
    [ "$width" = 32 ] && arch=win32
    if [ ! -f "$prefix/.velmar-ready" ]; then
        # Wine refuses to reuse a half-made prefix of another width.
        rm -rf "$prefix"
        mkdir -p "$(dirname "$prefix")"
        if ! out=$(WINEPREFIX=$prefix WINEARCH=$arch timeout 300 "$loader" wineboot.exe --init 2>&1) ||
           [ ! -f "$prefix/system.reg" ]; then
            echo "FAILED, Wine runs but could not set up its ${width}-bit prefix $prefix: $(printf '%s' "$out" | tail -n 1)"
            return 1
        fi
        touch "$prefix/.velmar-ready"
    fi
    if ! out=$(WINEPREFIX=$prefix timeout 120 "$loader" "$probe" 2>&1); then
        echo "FAILED, a trivial ${width}-bit program did not run under $loader: $(printf '%s' "$out" | tail -n 1)"
        return 1
    fi
    echo ready
}
