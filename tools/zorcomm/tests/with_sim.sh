#!/bin/sh
# Runs a command beside a simulator process:
#   with_sim.sh SIMULATOR KIND [SIMULATOR OPTIONS...] -- COMMAND...
# The simulator's first line names where it serves; it goes to the command as ZORCOMM_CANBUS
# (can-bus), ZORCOMM_COM7 (serial, ascii-can) or nothing (xport). The simulator is stopped at the
# end, and the command's exit status is the script's.
set -u
sim=$1 kind=$2
shift 2
options=""
while [ $# -gt 0 ] && [ "$1" != "--" ]; do options="$options $1"; shift; done
shift
fifo=$(mktemp -u) && mkfifo "$fifo" || exit 99
# shellcheck disable=SC2086
"$sim" "$kind" $options --no-control >"$fifo" &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -f "$fifo"' EXIT
read -r _ where <"$fifo" || exit 99
case $kind in
    can-bus) export ZORCOMM_CANBUS="$where" ;;
    serial|ascii-can) export ZORCOMM_COM7="$where" ;;
esac
"$@"
