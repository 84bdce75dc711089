#!/bin/sh
# Checks an installed tree (`cmake --install`, or the Debian package unpacked), builds this
# consumer against it in CONSUMER_BUILD (CMake package and pkg-config) and runs the consumers and
# the installed program against the installed simulated drive, making sure every library comes
# from PREFIX.
# Usage: check_tree.sh PREFIX CONSUMER_SOURCE CONSUMER_BUILD VERSION LIBDIR BINDIR
# Environment: CC, CMAKE_GENERATOR, ZORCOMM_SANITIZE (the flags the consumer must share), ZORCOMM_SHM.
set -eu
prefix=$1 source=$2 consumer=$3 version=$4 libdir=$5 bindir=$6
major=${version%%.*}
log=$(mktemp)
trap 'rm -f "$log" "$log.out"' EXIT
unset LD_LIBRARY_PATH LD_PRELOAD PKG_CONFIG_PATH ZORCOMM_SETTINGS

fail() { echo "check_tree: $*" >&2; exit 1; }
# run WHAT COMMAND...: runs the command, noting which shared objects the loader took, and checks
# that libzorcomm and the simulated drive's driver came from PREFIX. Its output stays in $out.
out=$log.out
run() {
    what=$1; shift
    LD_DEBUG=libs "$@" >"$out" 2>"$log" || { cat "$out" "$log" >&2; fail "$what failed"; }
    cat "$out"
    for object in libzorcomm.so.$major libzorcomm-simdriver.so; do
        loaded=$(sed -n "s/.*calling init: \(.*\/$object\)$/\1/p" "$log" | sort -u)
        [ -n "$loaded" ] || fail "$what did not load $object"
        case "$loaded" in
            "$prefix"/*) ;;
            *) fail "$what loaded $object from $loaded, not from $prefix" ;;
        esac
    done
}
# expect WHAT PATTERN...: each pattern matches a line of the last run's output.
expect() {
    what=$1; shift
    for pattern in "$@"; do
        grep -Eq "$pattern" "$out" || fail "$what: no line matching '$pattern'"
    done
}

rm -rf "$consumer"
echo "== the installed tree"
(cd "$prefix" && find . ! -type d | sort)
for file in include/zorcomm/zorcomm.h "$libdir/libzorcomm.so.$version" \
        "$libdir/cmake/zorcomm/zorcommConfig.cmake" "$libdir/cmake/zorcomm/zorcommConfigVersion.cmake" \
        "$libdir/cmake/zorcomm/zorcommTargets.cmake" "$libdir/pkgconfig/zorcomm.pc" \
        "$bindir/zorcomm" "$bindir/zorcomm-sim" "$bindir/libzorcomm-simdriver.so" \
        share/doc/zorcomm/settings.md share/doc/zorcomm/kernel.cfg; do
    [ -f "$prefix/$file" ] || fail "$file is not installed"
done
[ "$(readlink "$prefix/$libdir/libzorcomm.so")" = "libzorcomm.so.$major" ] || fail "libzorcomm.so link"
[ "$(readlink "$prefix/$libdir/libzorcomm.so.$major")" = "libzorcomm.so.$version" ] || fail "SONAME link"
readelf -d "$prefix/$libdir/libzorcomm.so.$version" | grep -q "(SONAME).*\[libzorcomm.so.$major\]" \
    || fail "the library's SONAME is not libzorcomm.so.$major"
readelf -d "$prefix/$bindir/zorcomm" | grep -Eq "R(UN)?PATH.*\[\\\$ORIGIN/\.\./$libdir\]" \
    || fail "the program's RUNPATH is not \$ORIGIN/../$libdir"

echo "== pkg-config"
pc_version=$(PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig pkg-config --modversion zorcomm)
[ "$pc_version" = "$version" ] || fail "pkg-config says version $pc_version"
PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig pkg-config --cflags --libs zorcomm

echo "== the consumer, built against the installed tree"
set -- -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=RelWithDebInfo
[ -n "${CC:-}" ] && set -- "$@" -DCMAKE_C_COMPILER="$CC"
[ -n "${CMAKE_GENERATOR:-}" ] && set -- "$@" -G "$CMAKE_GENERATOR"
if [ -n "${ZORCOMM_SANITIZE:-}" ]; then
    # An instrumented library needs the sanitizer runtime in the program that loads it.
    set -- "$@" -DCMAKE_C_FLAGS="-fsanitize=$ZORCOMM_SANITIZE" \
        -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=$ZORCOMM_SANITIZE"
fi
cmake -S "$source" -B "$consumer" "$@" >"$log" 2>&1 || { cat "$log" >&2; fail "configuring the consumer failed"; }
grep "zorcomm $version (CMake package), $version (pkg-config)" "$log" || fail "versions found: $(grep 'zorcomm' "$log")"
cmake --build "$consumer" >"$log" 2>&1 || { cat "$log" >&2; fail "building the consumer failed"; }

driver=$prefix/$bindir/libzorcomm-simdriver.so
export ZORCOMM_SIM_OPTIONS="--axes 5 --version F321A --baud 19200 --read-timeout 200"
for program in consumer_cmake consumer_pkgconfig; do
    echo "== $program"
    run "$program" "$consumer/$program" "$driver"
    expect "$program" '^host axis: 5$' '^firmware: +F321A$' '^baud rate: 19200$'
done

echo "== the installed program, with no options (the simulated drive beside it)"
run "zorcomm info" "$prefix/$bindir/zorcomm" info
expect "zorcomm info" '^host axis: +5$' '^firmware: +F321A$'
echo "check of $prefix passed"
