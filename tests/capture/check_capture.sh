#!/usr/bin/env bash
# Reads teldrv captures with tshark and the shipped dissector, field by field.
#   check_capture.sh examples SOURCE_DIR
#       the link chapter's worked examples, written as a capture by text2pcap
#       from hex (frames built here), and flagged bad frames
#   check_capture.sh central SOURCE_DIR CENTRAL_TOOL
#   check_capture.sh station SOURCE_DIR CENTRAL_TOOL STATION_TOOL
#       whole calls captured by the tools and by the station's LINK_CAPTURE
# Exit 77 (skipped) without tshark: scripts/install-deps.sh test installs it.
set -euo pipefail
mode=$1 src=$2
lua=$src/tools/wireshark/teldrv.lua
for tool in tshark text2pcap; do
  command -v $tool >/dev/null || { echo "SKIP: $tool is not installed (scripts/install-deps.sh test installs it)"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

# decode FILE FIELD... [-- TSHARK_OPTION...]: one line a packet, fields joined by |.
decode() {
  local file=$1 args=()
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do args+=(-e "$1"); shift; done
  [ $# -gt 0 ] && shift
  tshark -X lua_script:"$lua" -r "$file" -T fields -E separator='|' "${args[@]}" "$@" 2>>"$work/tshark.err"
}

# expect WHAT EXPECTED ACTUAL
expect() {
  if [ "$2" == "$3" ]; then echo "ok: $1"; return; fi
  echo "FAIL: $1"; diff <(echo "$2") <(echo "$3") | sed 's/^/  /' || true
  grep -v "^Running as user" "$work/tshark.err" | sed "s/^/  tshark: /" || true
  failed=1
}

# frame FEC|FER TAG BODY: a link frame in hex, its checksum summed here.
frame() {
  local magic=464543 n=$((${#3} / 2)) sum=0 hex i
  [ "$1" = FER ] && magic=464552
  hex=$(printf '%s%04x10%s' "$2" "$n" "$3")
  for ((i = 0; i < ${#hex}; i += 2)); do sum=$(((sum + (0x${hex:i:2} ^ 0x55)) % 65536)); done
  printf '02%s%s10%04x03' "$magic" "$hex" "$sum"
}

# capture FILE HEX...: one USER0 packet per HEX (pcap, 1 µs apart).
capture() {
  local out=$1 h
  shift
  for h in "$@"; do echo "0000 $(sed 's/../& /g' <<<"$h")"; done >"$out.txt"
  text2pcap -q -l 147 "$out.txt" "$out"
}

examples() {
  local at=605E6B6A2C01 # 2026-07-30T14:23:28Z and 300 ms, as the chapter's records hold it
  capture "$work/ex.pcap" 02464552000000031061626310023B03 0246454312340001105310019C03 \
    024645521234000410730707071002AF03 "$(frame FEC 0002 43EA07070004001E000E0017001C002C01)" \
    "$(frame FEC 0003 4D01)" "$(frame FER 0003 6D0000000000000000002940${at}01800000000000000000${at})" \
    "$(frame FEC 0004 4D0205001234FEFF)" "$(frame FER 0004 6D0000)" "$(frame FEC 0005 4D02)" \
    "$(frame FEC 0006 48605E6B6A)" "$(frame FER 0007 74000000605E6B6AFA0000000000000000002940)"
  expect "worked frames: header, checksum, names, station" "\
FER|0x0000|3|||0x023b|good|
FEC|0x1234|1|FE_REQ_STATION||0x019c|good|
FER|0x1234|4||FE_REQ_STATION|0x02af|good|7,7,7" \
    "$(decode "$work/ex.pcap" teldrv.magic teldrv.tag teldrv.length teldrv.request teldrv.answer \
       teldrv.checksum teldrv.checksum.status teldrv.station -- -c 3)"
  expect "answer paired with its request" "3|2" "$(decode "$work/ex.pcap" frame.number teldrv.response_to -- -Y teldrv.station)"
  expect "clock" "Jul 30, 2026 14:23:28.300000000 UTC" "$(decode "$work/ex.pcap" teldrv.clock -- -Y teldrv.clock)"
  expect "gate changes" "0,1|value,status|12.5|300,300|Jul 30, 2026 14:23:28.300000000 UTC,Jul 30, 2026 14:23:28.300000000 UTC" \
    "$(decode "$work/ex.pcap" teldrv.change.gate teldrv.change.kind teldrv.change.value teldrv.change.ms \
       teldrv.change.time -- -Y "teldrv.changes > 0")"
  expect "sequence bytes, a repeated one is a retry" $'5|1|\n7|2|\n9|2|7' \
    "$(decode "$work/ex.pcap" frame.number teldrv.seq teldrv.retry -- -Y teldrv.seq)"
  expect "write to gate 5, bytes 12 34 FE FF: every reading" "5|-2|4294849554|-117742|" \
    "$(decode "$work/ex.pcap" teldrv.write.gate teldrv.write.i16 teldrv.write.u32 teldrv.write.i32 teldrv.write.value \
       -- -Y teldrv.write.gate)"
  expect "... and with value type 1 known" "5|-2|0" "$(decode "$work/ex.pcap" teldrv.write.gate teldrv.write.value \
    teldrv.write.status -- -o teldrv.value_types:5:1 -Y 'teldrv.write.gate || teldrv.write.status' | tr -s '|\n' '|' | sed 's/|$//')"
  expect "history window and record" "Jul 30, 2026 14:23:28.000000000 UTC
1|0|Jul 30, 2026 14:23:28.250000000 UTC|250|0x0000|12.5" \
    "$(decode "$work/ex.pcap" teldrv.history.start -- -Y teldrv.history.start)
$(decode "$work/ex.pcap" teldrv.records teldrv.record.gate teldrv.record.time teldrv.record.ms \
       teldrv.record.status teldrv.record.value -- -Y teldrv.records)"
}

bad_frames() {
  capture "$work/bad.pcap" 0246454312340001105310019D03 024645431234000110 41545A0D 0D0A4F4B0D0A 55AA0D \
    "$(frame FEC 0001 5A)" "$(frame FER 0001 40)" "$(frame FEC 0001 4D0102)" 0246454312340501 \
    0246454312340001105310019C04
  expect "flagged: checksum, short frame, modem text, noise, unknown code, rejection, wrong length, broken" "\
bad checksum 0x019D, computed 0x019C
short frame: 9 of 14 bytes


3 bytes between frames
unknown request code 0x5A: the station answers @
code 0x5A rejected (@): wrong length or unknown code
FE_REQ_CONT_ONLINE with 3 bytes: the station answers @
body length 1281 (1 to 1280)
broken footer: not DLE ... ETX" "$(decode "$work/bad.pcap" _ws.expert.message)"
}

case $mode in
  examples) examples; bad_frames ;;
  *) echo "unknown mode $mode"; exit 2 ;;
esac
exit $failed
