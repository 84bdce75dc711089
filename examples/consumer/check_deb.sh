#!/bin/sh
# Makes the Debian package of a build with cpack, checks its control fields and contents, unpacks
# it with dpkg-deb into a temporary root and checks that tree with check_tree.sh: the unpacked
# program and this consumer, built against the unpacked tree, run against the unpacked simulated
# drive with the unpacked library.
# Usage: check_deb.sh BUILD_DIR CONSUMER_SOURCE VERSION LIBDIR BINDIR
# Environment: as check_tree.sh.
set -eu
build=$1 source=$2 version=$3 libdir=$4 bindir=$5
major=${version%%.*}
fail() { echo "check_deb: $*" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zorcomm-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM
work=$(cd "$work" && pwd -P)

echo "== cpack -G DEB"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 \
    || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
arch=$(dpkg --print-architecture)
deb=$work/out/zorcomm_${version}_$arch.deb
[ -f "$deb" ] || { ls "$work/out" >&2; fail "no $(basename "$deb")"; }
[ "$(ls "$work/out"/*.deb | wc -l)" -eq 1 ] || fail "more than one package: $(ls "$work/out"/*.deb)"

echo "== control"
dpkg-deb --field "$deb" Package Version Architecture Depends
[ "$(dpkg-deb --field "$deb" Package)" = zorcomm ] || fail "the package is not called zorcomm"
[ "$(dpkg-deb --field "$deb" Version)" = "$version" ] || fail "the package's version is not $version"
[ "$(dpkg-deb --field "$deb" Architecture)" = "$arch" ] || fail "the package is not for $arch"
depends=$(dpkg-deb --field "$deb" Depends)

# Every library that an ELF file of the package needs and the package does not bring belongs to
# a package that Depends names, with a version.
dpkg-deb -x "$deb" "$work/root"
root=$work/root
find "$root" -type f | sort | while read -r file; do
    file -b "$file" | grep -q '^ELF' || continue
    # NEEDED names, and where the loader finds each of them for this file.
    readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | while read -r soname; do
        path=$(ldd "$file" | awk -v name="$soname" '
            $1 == name && $2 == "=>" { print $3; exit }
            { base = $1; sub(/.*\//, "", base) }
            base == name && $1 ~ /^\// { print $1; exit }  # the loader itself')
        [ -n "$path" ] && [ "$path" != "not" ] || fail "${file#"$root"}: $soname not found"
        echo "$soname $(readlink -f "$path") $path"
    done
done >"$work/needed"
grep -q "^libzorcomm.so.$major $root/usr/$libdir/" "$work/needed" \
    || fail "nothing in the package needs the unpacked libzorcomm.so.$major"
sort -u "$work/needed" | while read -r soname real path; do
    case "$real" in "$root"/*) continue ;; esac
    # dpkg knows a library by the path its package installed: the one found or the file itself.
    owner=$(dpkg -S "$path" 2>/dev/null || dpkg -S "$real" 2>/dev/null) \
        || fail "$soname ($path) belongs to no package"
    owner=${owner%%:*}
    echo "$depends" | tr ',' '\n' | awk -v name="$owner" '$1 == name && $2 == "(>="' | grep -q . \
        || fail "$soname comes from $owner, which Depends lacks: $depends"
    echo "$soname: $owner"
done
case "$depends" in *zorcomm*) fail "the package depends on itself: $depends" ;; esac

echo "== contents"
dpkg-deb --contents "$deb" >"$work/contents"
awk '$2 != "root/root"' "$work/contents" | grep . && fail "files not owned by root"
awk '{ print $6 }' "$work/contents" | grep -v '^\./usr/' && fail "files outside /usr"
for file in "$libdir/libzorcomm.so.$version" "$bindir/zorcomm" "$bindir/zorcomm-sim" \
        "$bindir/libzorcomm-simdriver.so"; do
    file -b "$root/usr/$file" | grep -q 'not stripped' && fail "$file is not stripped"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./shlibs | grep -qx "libzorcomm $major zorcomm (>= $version)" \
    || fail "the shlibs file does not name libzorcomm $major"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst | grep -q ldconfig \
    || fail "postinst does not run ldconfig"

echo "== the unpacked tree"
sh "$(dirname "$0")/check_tree.sh" "$root/usr" "$source" "$work/consumer" "$version" "$libdir" "$bindir"
echo "package check passed"
