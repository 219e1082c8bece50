#!/usr/bin/env bash
# teldrv.dll as a Windows host loads it: a 32-bit DLL that exports VpiMain
# alone, undecorated; that imports the host functions by name from
# KORPRO.DLL; and that needs no DLL but Windows' own besides.
# Usage: check_dll.sh teldrv.dll [objdump]
set -euo pipefail
dll="$1"
objdump="${2:-i686-w64-mingw32-objdump}"
fail() { echo "$dll: $*"; exit 1; }

dump=$("$objdump" -p "$dll")
"$objdump" -f "$dll" | grep -q 'file format pei-i386' || fail "not a 32-bit Windows image"

exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | awk 'NR > 1 && NF { print $NF }')
[ "$exports" = VpiMain ] || fail "expected VpiMain alone among the exports, found: $(echo $exports)"

host_functions=" err Kor5GetGateId Kor5MkClient Kor5RqGateMsg Kor5WaitMsg Kor5RmClient Kor5PutGateVal \
Kor5StartAlert Kor5VfiOpen Kor5VfiRead Kor5VfiClose "
system_dlls=" KERNEL32.DLL MSVCRT.DLL ADVAPI32.DLL USER32.DLL NTDLL.DLL "
korpro_seen=no
while read -r name; do
  upper=$(tr '[:lower:]' '[:upper:]' <<<"$name")
  if [ "$upper" = KORPRO.DLL ]; then
    korpro_seen=yes
  elif [[ "$system_dlls" != *" $upper "* ]]; then
    fail "imports $name, which is no Windows system DLL"
  fi
done < <(awk '/DLL Name:/ { print $3 }' <<<"$dump")
[ "$korpro_seen" = yes ] || fail "does not import KORPRO.DLL"

# The functions taken from KORPRO.DLL, by name (no ordinals); a host
# function that the driver does not call is simply not imported.
imported=$(awk '/DLL Name: KORPRO.DLL/ { on = 1; next } /DLL Name:/ { on = 0 } on && /^\t[0-9a-f]+\t/ { print $NF }' <<<"$dump")
[ -n "$imported" ] || fail "imports nothing by name from KORPRO.DLL"
for name in $imported; do
  [[ "$host_functions" == *" $name "* ]] || fail "imports $name from KORPRO.DLL, which is no host function"
done
grep -qx err <<<"$imported" || fail "does not import err from KORPRO.DLL"
echo "$dll: exports VpiMain alone; imports $(echo $imported) from KORPRO.DLL; system DLLs otherwise"
