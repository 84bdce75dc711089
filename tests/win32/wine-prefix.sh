#!/bin/sh
# The Wine prefix of one run of the Windows tests: `setup PREFIX HARNESS SIMULATOR` makes a fresh
# headless prefix and starts its server; `cleanup PREFIX` ends the server and removes the prefix.
set -eu
action=$1
prefix=$2
export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY || true
case "$action" in
setup)
    harness=$3
    simulator=$4
    for tool in wine wineserver wineboot; do
        command -v "$tool" >/dev/null || { echo "$tool is missing: run scripts/install-dependencies"; exit 1; }
    done
    # The DLL is 32-bit, so is the Wine that loads it: a kernel that runs no i386 programs
    # (IA-32 emulation off) refuses its loader with "Exec format error".
    if ! started=$(wine --version 2>&1); then
        echo "wine does not start: $started"
        echo "this machine runs no 32-bit programs: the Windows tests cannot run here"
        exit 1
    fi
    for built in "$harness" "$simulator"; do
        [ -x "$built" ] || { echo "$built is missing: build the default preset first"; exit 1; }
    done
    wineserver -k 2>/dev/null || true # left from an interrupted run
    rm -rf "$prefix"
    mkdir -p "$prefix"
    # A server that stays until cleanup, started here so that it holds none of ctest's pipes.
    wineserver -p </dev/null >/dev/null 2>&1
    timeout 300 wineboot -i </dev/null >/dev/null 2>&1
    # COM ports are the links the tests make; none leads to a real port.
    rm -f "$prefix"/dosdevices/com*
    echo "Wine prefix ready: $prefix"
    ;;
cleanup)
    wineserver -k 2>/dev/null || true
    rm -rf "$prefix"
    ;;
*)
    echo "usage: $0 setup PREFIX HARNESS SIMULATOR | cleanup PREFIX" >&2
    exit 2
    ;;
esac
