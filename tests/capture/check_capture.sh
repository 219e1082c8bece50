#!/usr/bin/env bash
# Reads teldrv captures with tshark and the shipped dissector, field by field.
#   check_capture.sh examples SOURCE_DIR
#       the link chapter's worked examples, written as a capture by text2pcap
#       from hex (frames built here), and flagged bad frames
#   check_capture.sh central SOURCE_DIR CENTRAL_TOOL
#       a whole call on the simulated line, captured by teldrv-central --capture
#   check_capture.sh station SOURCE_DIR CENTRAL_TOOL STATION_TOOL
#       teldrv-central polling teldrv-station --pty --direct, captured by both
#       tools and by the station's LINK_CAPTURE; all hold the same frames
# The oracle for the decoded values is the central tool's CSV of the call.
# Exit 77 (skipped) without tshark: scripts/install-deps.sh test installs it.
set -euo pipefail
mode=$1 src=$2
lua=$src/tools/wireshark/teldrv.lua
for tool in tshark text2pcap; do
  command -v $tool >/dev/null || { echo "SKIP: $tool is not installed (scripts/install-deps.sh test installs it)"; exit 77; }
done
work=$(mktemp -d)
station_pid=
trap '[ -n "$station_pid" ] && kill $station_pid 2>/dev/null; rm -rf "$work"' EXIT
failed=0

# decode FILE FIELD... [-- TSHARK_OPTION...]: one line a packet, fields joined by |.
decode() {
  local file=$1 args=()
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do args+=(-e "$1"); shift; done
  [ $# -gt 0 ] && shift
  tshark -X lua_script:"$lua" -r "$file" -T fields -E separator='|' -E aggregator=';' "${args[@]}" "$@" 2>>"$work/tshark.err"
}

# expect WHAT EXPECTED ACTUAL
expect() {
  if [ "$2" == "$3" ]; then
    echo "ok: $1"
  else
    echo "FAIL: $1"; diff <(echo "$2") <(echo "$3") | sed 's/^/  /' || true
    grep -v "^Running as user" "$work/tshark.err" | sort -u | sed "s/^/  tshark: /" || true
    failed=1
  fi
  : >"$work/tshark.err"
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
FER|0x1234|4||FE_REQ_STATION|0x02af|good|7;7;7" \
    "$(decode "$work/ex.pcap" teldrv.magic teldrv.tag teldrv.length teldrv.request teldrv.answer \
       teldrv.checksum teldrv.checksum.status teldrv.station -- -c 3)"
  expect "answer paired with its request, requests without one" $'3|2\n4\n9\n10' "$(decode "$work/ex.pcap" frame.number \
    teldrv.response_to -- -Y teldrv.station)
$(decode "$work/ex.pcap" frame.number -- -2 -Y '_ws.expert.message == "no answer in this capture"')"
  expect "clock" "Jul 30, 2026 14:23:28.300000000 UTC" "$(decode "$work/ex.pcap" teldrv.clock -- -Y teldrv.clock)"
  expect "gate changes" "0;1|value;status|12.5|300;300|Jul 30, 2026 14:23:28.300000000 UTC;Jul 30, 2026 14:23:28.300000000 UTC" \
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

# wait_for PATTERN FILE: the real-clock runs wait for the line they mean, up to 60 s.
wait_for() {
  local i
  for ((i = 0; i < 600; i++)); do grep -q "$1" "$2" 2>/dev/null && return 0; sleep 0.1; done
  echo "FAIL: no '$1' in $2 after 60 s"; sed 's/^/  /' "$2"; failed=1; return 1
}

# The CSV's time (2026-12-09T17:20:39Z) and milliseconds as Wireshark prints a UTC time.
csv_time() { printf '%s.%03d000000 UTC' "$(date -u -d "$1" '+%b %e, %Y %H:%M:%S')" "$2"; }

# call_decodes WHAT CAPTURE: the call of $work/on.csv and $work/h.csv, as the
# central tool ran it: station, clock, on-line polls with a write to gate 0,
# history, hang-up.
call_decodes() {
  local what=$1 file=$2 gate name time ms status value payload
  local order=(FE_REQ_STATION FE_REQ_SYNC_CLOCK FE_REQ_START_ONLINE FE_REQ_CONT_ONLINE FE_REQ_START_HISTORY
                FE_REQ_CONT_HISTORY FE_REQ_HANG_UP)
  expect "$what: requests in order (repeats once)" "${order[*]}" \
    "$(decode "$file" teldrv.request -- -Y teldrv.request | uniq | paste -sd' ')"
  expect "$what: station, write, checksums" "7;7;7|0|5|0|good" "$(decode "$file" teldrv.station -- -Y teldrv.station)|$(
    decode "$file" teldrv.write.gate teldrv.write.u16 -- -Y teldrv.write.gate)|$(
    decode "$file" teldrv.write.status -- -Y teldrv.write.status)|$(decode "$file" teldrv.checksum.status -- -Y teldrv.checksum.status | sort -u)"
  local want=()
  while IFS=, read -r gate name time ms status value payload; do want+=("$gate|$(csv_time "$time" "$ms")|$(printf '%.9g' "$value")"); done \
    < <(tail -n +2 "$work/on.csv")
  expect "$what: each change's gate, time and value" "$(printf '%s\n' "${want[@]}")" "$(paste -d'|' \
    <(decode "$file" teldrv.change.gate -- -Y 'teldrv.changes > 0' | tr ';' '\n') \
    <(decode "$file" teldrv.change.time -- -Y 'teldrv.changes > 0' | tr ';' '\n') \
    <(decode "$file" teldrv.change.value -- -Y 'teldrv.changes > 0' | tr ';' '\n' | xargs -r printf '%.9g\n'))"
  expect "$what: history records" "$(($(wc -l <"$work/h.csv") - 1))" \
    "$(decode "$file" teldrv.records -- -Y teldrv.records | awk '{ n += $1 } END { print n }')"
}

central_sim() {
  (cd "$work" && "$1" --sim --dial 0307000007 --capture c.pcapng station clock 2026-07-30T14:23:28Z \
     online --seconds 3 --write 0=5 --csv on.csv history --since 0 --csv h.csv >central.txt 2>&1) ||
    { echo "FAIL: teldrv-central"; cat "$work/central.txt"; exit 1; }
  call_decodes "teldrv-central --sim" "$work/c.pcapng"
  expect "the clock request" "Jul 30, 2026 14:23:28.000000000 UTC" "$(decode "$work/c.pcapng" teldrv.clock -- -Y teldrv.clock)"
  expect "the central's modem dialogue, the line's events" "ATZ\r|
ATDT0307000007\r|
|carrier up
|DTR dropped
|DTR raised
|carrier down" "$(decode "$work/c.pcapng" teldrv.text teldrv.event -- \
    -Y 'frame.packet_flags_direction == 2 && teldrv.text || teldrv.event')"
}

# frames FILE [answered]: magic, tag and body of each frame; or from the first one answered.
frames() {
  decode "$1" teldrv.magic teldrv.tag teldrv.body -- -Y teldrv.body |
    if [ $# -gt 1 ]; then sed -n '/^FER/{x;p;x;p;:a;n;p;ba};h'; else cat; fi
}

station_pty() {
  local central=$1 station=$2 pty
  mkdir "$work/station" && cp "$src"/examples/* "$work/station/"
  echo "LINK_CAPTURE = LINE.PCAPNG" >>"$work/station/TELDRV01.INT"
  (cd "$work" && exec "$station" station --pty --direct --silence 5 --changes 4/s --capture s.pcapng >station.txt 2>&1) &
  station_pid=$!
  wait_for "^pty " "$work/station.txt" || return
  pty=$(sed -n 's/^pty //p' "$work/station.txt")
  # The station drops what comes before its call stands: the tool sends the first request again.
  (cd "$work" && "$central" "$pty" --timeout 8000 --capture c.pcapng station clock online --seconds 2 --write 0=5 \
     --csv on.csv history --since 0 --csv h.csv hangup >central.txt 2>&1) || { echo "FAIL: teldrv-central"; cat "$work/central.txt"; failed=1; }
  wait_for FE_REQ_HANG_UP "$work/station.txt"
  kill -INT $station_pid
  wait $station_pid || { echo "FAIL: teldrv-station ended with $?"; failed=1; }
  station_pid=
  call_decodes "teldrv-central on the pty" "$work/c.pcapng"
  # Sent again every --first-timeout until the station stands: the first resend is frame 2.
  expect "the first request, dropped, sent again under a new tag: a retry" "2|1" \
    "$(decode "$work/c.pcapng" frame.number teldrv.retry -- -Y teldrv.retry | head -1)"
  call_decodes "teldrv-station --capture" "$work/s.pcapng"
  [ -f "$work/LINE.PCAPNG" ] || { echo "FAIL: the station's LINK_CAPTURE was not kept"; failed=1; return; }
  call_decodes "LINK_CAPTURE" "$work/LINE.PCAPNG"
  expect "the same frames in the central's and the station tool's capture" "$(frames "$work/c.pcapng")" "$(frames "$work/s.pcapng")"
  # The driver's port never saw the request its bench dropped.
  expect "the same frames in the central's capture and the station's own, from the first answered" \
    "$(frames "$work/c.pcapng" answered)" "$(frames "$work/LINE.PCAPNG" answered)"
}

case $mode in
  examples) examples; bad_frames ;;
  central) central_sim "$3" ;;
  station) station_pty "$3" "$4" ;;
  *) echo "unknown mode $mode"; exit 2 ;;
esac
exit $failed
