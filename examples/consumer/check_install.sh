#!/bin/sh
# Installs a build into PREFIX and checks the installed tree with check_tree.sh (the consumer is
# built in PREFIX-consumer).
# Usage: check_install.sh BUILD_DIR PREFIX CONSUMER_SOURCE VERSION LIBDIR BINDIR
set -eu
build=$1 prefix=$2 source=$3 version=$4 libdir=$5 bindir=$6
rm -rf "$prefix" "$prefix-consumer"
cmake --install "$build" --prefix "$prefix" >/dev/null
exec sh "$(dirname "$0")/check_tree.sh" "$prefix" "$source" "$prefix-consumer" "$version" "$libdir" "$bindir"
