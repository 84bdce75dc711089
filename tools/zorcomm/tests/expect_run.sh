#!/bin/sh
# Runs a program and checks its exit status and what it printed.
#
#   expect_run.sh [--status N] [--out REGEX]... [--err REGEX]... -- PROGRAM [ARGUMENT...]
#
# Each REGEX (grep -E) must match at least one line of standard output / standard error.
# ZORCOMM_SHM gets this run's process id appended, so the same test run from two build trees at
# once does not share a region; the region is removed at the end whatever happens.
set -u

status=0
outs=""
errs=""
nl='
'
while [ $# -gt 0 ]; do
    case $1 in
        --status) status=$2; shift 2 ;;
        --out) outs="$outs$2$nl"; shift 2 ;;
        --err) errs="$errs$2$nl"; shift 2 ;;
        --) shift; break ;;
        *) echo "expect_run.sh: unknown argument $1" >&2; exit 99 ;;
    esac
done
[ $# -gt 0 ] || { echo "expect_run.sh: no program given" >&2; exit 99; }

ZORCOMM_SHM="${ZORCOMM_SHM:-/zorcomm-cli-test}-$$"
export ZORCOMM_SHM
dir=$(mktemp -d) || exit 99
cleanup() {
    rm -rf "$dir"
    rm -f "/dev/shm/${ZORCOMM_SHM#/}"
}
trap cleanup EXIT
trap 'exit 98' INT TERM

timeout -k 5 30 "$@" >"$dir/out" 2>"$dir/err"
got=$?

failed=0
if [ "$got" -ne "$status" ]; then
    echo "exit status $got, expected $status"
    failed=1
fi
check() { # check FILE NAME PATTERNS
    file=$1 name=$2 patterns=$3
    old_ifs=$IFS
    IFS=$nl
    for pattern in $patterns; do
        if ! grep -Eq -- "$pattern" "$file"; then
            echo "no line of $name matches: $pattern"
            failed=1
        fi
    done
    IFS=$old_ifs
}
# A sanitizer build ends with status 1 too; do not let its report pass for the expected failure.
if grep -Eq 'ERROR: [A-Za-z]+Sanitizer|runtime error:' "$dir/err"; then
    echo "sanitizer report on stderr"
    failed=1
fi
check "$dir/out" stdout "$outs"
check "$dir/err" stderr "$errs"

if [ "$failed" -ne 0 ]; then
    echo "--- command: $*"
    echo "--- stdout:"
    cat "$dir/out"
    echo "--- stderr:"
    cat "$dir/err"
fi
exit "$failed"
