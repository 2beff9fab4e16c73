#!/usr/bin/env bash
# The Wine probe of cmake/test-windows.sh against stand-in loaders: each
# kind of machine gets its verdict, and only a broken Wine is a failure.
set -uo pipefail
source "$(dirname "$0")/../../cmake/wine-probe.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A loader the kernel refuses, as a 32-bit one is refused where 32-bit
# execution is off: ELF magic with a class no kernel accepts.
printf '\177ELF\011\011\011' >"$work/refused" && chmod +x "$work/refused"
# Loaders that start, then fail at one step ($1 is what they are asked to run).
loader() {  # loader <name> <step that fails: none|wineboot|probe>
    cat >"$work/$1" <<SH
#!/bin/sh
case "\$1" in
  --version) echo wine-9.0 ;;
  wineboot.exe) [ "$2" = wineboot ] && { echo "wine: could not load kernel32.dll" >&2; exit 1; }
                mkdir -p "\$WINEPREFIX" && touch "\$WINEPREFIX/system.reg" ;;
  *) [ "$2" = probe ] && { echo "wine: Bad EXE format" >&2; exit 1; } ;;
esac
exit 0
SH
    chmod +x "$work/$1"
}
loader good none
loader noprefix wineboot
loader noprobe probe

failures=0
check() {  # check <width> <loader> <expected status> <expected text>
    local line status
    line=$(probe_wine "$1" "$2" "$work/prefix-$RANDOM" /dev/null)
    status=$?
    if [ "$status" != "$3" ] || [[ "$line" != *"$4"* ]]; then
        echo "FAIL probe_wine $1 $2: status $status, '$line'; wanted $3, '*$4*'"
        failures=$((failures + 1))
    else
        echo "ok   probe_wine $1 $(basename "$2"): $line"
    fi
}

#     width loader              status  verdict
check 32    "$work/absent"      2       "NOT RUN, the 32-bit Wine loader is not installed (Debian package wine32:i386)"
check 64    ""                  2       "NOT RUN, the 64-bit Wine loader is not installed (Debian package wine64)"
check 32    "$work/refused"     2       "NOT RUN, this kernel cannot execute 32-bit programs"
check 64    "$work/noprefix"    1       "FAILED, Wine runs but could not set up its 64-bit prefix"
check 32    "$work/noprobe"     1       "FAILED, a trivial 32-bit program did not run"
check 64    "$work/good"        0       "ready"

# A prefix is set up once: the second probe finds it ready without wineboot.
prefix=$work/kept
probe_wine 64 "$work/good" "$prefix" /dev/null >/dev/null
rm "$prefix/system.reg"
line=$(probe_wine 64 "$work/noprefix" "$prefix" /dev/null)
[ "$line" = ready ] || { echo "FAIL a ready prefix was set up again: $line"; failures=$((failures + 1)); }

# An explicit loader wins, even one that is not there.
[ "$(VELMAR_WINE32=/nowhere wine_loader 32)" = /nowhere ] ||
    { echo "FAIL VELMAR_WINE32 is not the loader"; failures=$((failures + 1)); }

exit $((failures > 0))
