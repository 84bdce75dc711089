#!/bin/sh
# zorcomm.dll as Windows programs see it: the 24 exports under their decorated names with
# ordinals 1 to 24 in the byte order of the names and nothing else, no DLL imported beyond the
# system's (ws2_32.dll and the vendors' libraries are loaded at run time), the slot table's
# section shared between processes, and a resource section (the message table).
set -eu
objdump=$1
dll=$2
table=$("$objdump" -p "$dll")
headers=$("$objdump" -h "$dll")
status=0
fail() { echo "FAIL: $*"; status=1; }

expected="_MSK_COFFDownload@28 _MSK_CheckSum@12 _MSK_CloseComm@4 _MSK_GetActiveDrive@4
_MSK_GetBaudRate@0 _MSK_GetBytesCountInQueue@0 _MSK_GetDriveVersion@4 _MSK_GetHostDrive@4
_MSK_GetLastError@0 _MSK_OpenComm@16 _MSK_ReceiveBigData@24 _MSK_ReceiveData@16
_MSK_ReceiveMessage@4 _MSK_RegisterDebugLogHandler@8 _MSK_RegisterReceiveUnsolicitedMsgHandler@4
_MSK_ResetDrive@0 _MSK_SelectComm@4 _MSK_SendBigData@24 _MSK_SendData@16 _MSK_SendMessage@4
_MSK_SetActiveDrive@4 _MSK_SetBaudRate@4 _MSK_SetHostDrive@4 _MSK_UpdateSettings@0"

echo "$table" | grep -q "Ordinal Base 1" || fail "the ordinal base is not 1"
# "[index] name" lines of the name table; the ordinal is the index plus the base.
names=$(echo "$table" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p')
count=$(echo "$names" | grep -c . || true)
[ "$count" -eq 24 ] || fail "$count exported names, 24 expected: $names"
sorted=$(printf '%s\n' $expected | LC_ALL=C sort)
ordinal=1
for name in $sorted; do
    index=$(echo "$names" | awk -v n="$name" '$2 == n { print $1 }')
    if [ -z "$index" ]; then fail "$name is not exported"
    elif [ "$((index + 1))" -ne "$ordinal" ]; then fail "$name has ordinal $((index + 1)), $ordinal expected"
    fi
    ordinal=$((ordinal + 1))
done
echo "$names" | awk '{ print $2 }' | grep -v '^_MSK_.*@[0-9]*$' && fail "undecorated or foreign names exported"

imports=$(echo "$table" | sed -n 's/^[[:space:]]*DLL Name: //p')
for import in $imports; do
    case $(echo "$import" | tr '[:upper:]' '[:lower:]') in
    kernel32.dll | msvcrt.dll) ;;
    *) fail "imports $import" ;;
    esac
done

echo "$headers" | grep -A1 '[[:space:]]\.shared[[:space:]]' | grep -q SHARED ||
    fail "no section .shared marked shared"
echo "$headers" | grep -q '[[:space:]]\.rsrc[[:space:]]' || fail "no resource section"

[ "$status" -eq 0 ] && echo "24 exports, ordinals 1-24 in name order; imports: $(echo $imports)"
exit "$status"
