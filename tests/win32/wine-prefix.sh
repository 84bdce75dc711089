#!/bin/sh
# The Wine prefix of one run of the Windows tests: `setup PREFIX ARCH WINE HARNESS SIMULATOR`
# makes a fresh headless prefix of ARCH (win32 or win64) for the loader WINE and starts its
# server; `cleanup PREFIX` ends the server and removes the prefix.
# Exit 77 (the tests' skip code): this machine runs no 32-bit programs or has no 32-bit Wine, so a win32 prefix cannot
# be made; the reason is left in PREFIX/unrunnable, where the harness finds it and skips too.
set -eu
action=$1
prefix=$2
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY || true
case "$action" in
setup)
    [ $# -eq 6 ] || { echo "usage: $0 setup PREFIX ARCH WINE HARNESS SIMULATOR" >&2; exit 2; }
    export WINEARCH=$3
    wine=$4
    harness=$5
    simulator=$6
    # Programs this loader starts use the same loader, not the wrapper on the path.
    [ "$wine" = wine ] || export WINELOADER="$wine"
    for tool in "$wine" wineserver; do
        command -v "$tool" >/dev/null || { echo "$tool is missing: run scripts/install-dependencies"; exit 1; }
    done
    for built in "$harness" "$simulator"; do
        [ -x "$built" ] || { echo "$built is missing: build the default preset first"; exit 1; }
    done
    wineserver -k 2>/dev/null || true # left from an interrupted run
    rm -rf "$prefix"
    mkdir -p "$prefix"
    # Debian's wrapper falls back on the 64-bit loader when the i386 one is missing, which
    # cannot make a win32 prefix (install-dependencies goes on without wine32:i386 when the
    # mirror's i386 side is broken).
    if [ "$WINEARCH" = win32 ] && [ "$wine" = wine ] && [ -e /usr/lib/wine/wine64 ] && [ ! -x /usr/lib/wine/wine ]; then
        reason="the 32-bit Wine (wine32:i386) is not installed: the 32-bit Windows tests cannot run here (the win64 preset runs them as 64-bit)"
        echo "$reason" >"$prefix/unrunnable"
        echo "$reason"
        exit 77
    fi
    if ! started=$("$wine" --version 2>&1); then
        echo "$wine does not start: $started"
        # A kernel that runs no i386 programs (IA-32 emulation off) refuses the 32-bit loader.
        if [ "$WINEARCH" = win32 ] && echo "$started" | grep -q "Exec format error"; then
            reason="this machine runs no 32-bit programs: the 32-bit Windows tests cannot run here (the win64 preset runs them as 64-bit)"
            echo "$reason" >"$prefix/unrunnable"
            echo "$reason"
            exit 77
        fi
        exit 1
    fi
    # A server that stays until cleanup, started here so that it holds none of ctest's pipes.
    wineserver -p </dev/null >/dev/null 2>&1
    timeout 300 "$wine" wineboot -i </dev/null >/dev/null 2>&1
    # COM ports are the links the tests make; none leads to a real port.
    rm -f "$prefix"/dosdevices/com*
    echo "Wine prefix ready ($WINEARCH, $("$wine" --version)): $prefix"
    ;;
cleanup)
    wineserver -k 2>/dev/null || true
    rm -rf "$prefix"
    ;;
*)
    echo "usage: $0 setup PREFIX ARCH WINE HARNESS SIMULATOR | cleanup PREFIX" >&2
    exit 2
    ;;
esac
