#!/usr/bin/env bash
# The integrator's archive as the package target makes it: its name, every
# file in it and nothing else, the DLL inside passing the export and import
# check, no binary with debug sections (a release), the README naming the
# version and every function the DLL imports from KORPRO.DLL, the text files
# with CR LF line ends, and the example gate file being station 7's.
# Usage: check_package.sh CPACK CONFIG WORKDIR VERSION OBJDUMP [TOOL.exe...]
set -euo pipefail
cpack="$1" config="$2" work="$3" version="$4" objdump="$5"
shift 5
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "package: $*"; exit 1; }

rm -rf "$work"
mkdir -p "$work"
"$cpack" --config "$config" -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack failed"; }
top="teldrv-$version-win32"
zip="$work/$top.zip"
[ -f "$zip" ] || fail "no $top.zip in $work: $(ls "$work")"

expected=("$top/teldrv.dll" "$top/README.txt" "$top/examples/TELDRV01.INT" "$top/examples/07_gates.txt"
          "$top/examples/07_GATES.DAT")
for tool in "$@"; do expected+=("$top/tools/$tool"); done
for page in "$here"/../../docs/*.md "$here"/../../docs/*.png; do expected+=("$top/docs/$(basename "$page")"); done
expected+=("$top/tools/wireshark/teldrv.lua")
listing=$(cmake -E tar tf "$zip" | grep -v '/$' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
[ "$listing" = "$wanted" ] || fail "archive holds:
$listing
expected:
$wanted"

mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip")
dir="$work/unpacked/$top"
"$here/check_dll.sh" "$dir/teldrv.dll" "$objdump"

# The tools: 32-bit images that need nothing but Windows' own DLLs and the
# simulation's DLLs beside them; the simulated-platform driver exports
# VpiMain alone, as the real one does.
system_dlls=" KERNEL32.DLL MSVCRT.DLL ADVAPI32.DLL USER32.DLL NTDLL.DLL "
for tool in "$@"; do
  image="$dir/tools/$tool"
  "$objdump" -f "$image" | grep -q 'file format pei-i386' || fail "tools/$tool is not a 32-bit Windows image"
  while read -r name; do
    upper=$(tr '[:lower:]' '[:upper:]' <<<"$name")
    [[ "$system_dlls" == *" $upper "* ]] || [ -f "$dir/tools/$name" ] ||
      fail "tools/$tool imports $name, which is neither a Windows system DLL nor in tools/"
  done < <("$objdump" -p "$image" | awk '/DLL Name:/ { print $3 }')
done
if [ -f "$dir/tools/teldrv-sim.dll" ]; then
  exports=$("$objdump" -p "$dir/tools/teldrv-sim.dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
            awk 'NR > 1 && NF { print $NF }')
  [ "$exports" = VpiMain ] || fail "tools/teldrv-sim.dll exports $(echo $exports), not VpiMain alone"
fi

# A release: no .debug_* section in the DLL or in any tool.
for image in "$dir/teldrv.dll" "$dir"/tools/*.exe "$dir"/tools/*.dll; do
  [ -f "$image" ] || continue
  debug=$("$objdump" -h "$image" | awk '$2 ~ /^\.debug/ { print $2 }' | tr '\n' ' ')
  [ -z "$debug" ] || fail "${image#"$dir"/} has debug sections ($debug): configure with -DCMAKE_BUILD_TYPE=Release"
done

# Text files for Windows: every line ends with CR LF.
for text in README.txt examples/TELDRV01.INT examples/07_gates.txt; do
  bare=$(tr -d '\r' <"$dir/$text" | wc -l)
  crlf=$(grep -c $'\r$' "$dir/$text" || true)
  [ "$bare" -gt 0 ] && [ "$crlf" = "$bare" ] || fail "$text: $crlf of $bare lines end with CR LF"
done

grep -q "teldrv $version for Windows" "$dir/README.txt" || fail "README.txt does not name version $version"
imported=$("$objdump" -p "$dir/teldrv.dll" |
           awk '/DLL Name: KORPRO.DLL/ { on = 1; next } /DLL Name:/ { on = 0 } on && /^\t[0-9a-f]+\t/ { print $NF }')
for name in $imported; do
  grep -qw -- "$name" "$dir/README.txt" || fail "README.txt does not list $name among the imports"
done

# Station byte 7, then the file's own name in the header record.
header=$(head -c 14 "$dir/examples/07_GATES.DAT" | od -An -tx1 | tr -d ' \n')
[ "$header" = "0700$(printf '07_GATES.DAT' | od -An -tx1 | tr -d ' \n')" ] ||
  fail "examples/07_GATES.DAT does not start with station 7's header: $header"
echo "package: $top.zip holds ${#expected[@]} files; the DLL and README.txt check out"
