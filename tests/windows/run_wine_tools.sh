#!/usr/bin/env bash
# The Windows tools as an engineer runs them from the unpacked archive, under
# Wine: teldrv-gates says its version, teldrv-station checks the example
# station, teldrv-central calls the simulated station and hangs up.
# Usage: run_wine_tools.sh WORKDIR UNPACKED_ARCHIVE_DIR VERSION
set -euo pipefail
work="$1" archive="$2" version="$3"
suite="windows tools run"
. "$(dirname "$0")/wine_env.sh"
trap 'wineserver -k 2>/dev/null || true' EXIT
fail() { echo "windows tools: $*"; exit 1; }

# A copy, so that nothing a tool writes lands in the checked archive.
cp -r "$archive" "$work/run/station"
cd "$work/run/station/tools"

run() {
  local status=0
  timeout 300 wine "$@" >"$work/out.txt" 2>&1 || status=$?
  tr -d '\r' <"$work/out.txt" >"$work/out.log"
  cat "$work/out.log"
  return $status
}
has() { grep -qxF -- "$1" "$work/out.log" || fail "no line '$1' from $2"; }

run teldrv-gates.exe --version || fail "teldrv-gates --version exited $?"
has "teldrv-gates $version" teldrv-gates

run teldrv-station.exe check ../examples || fail "teldrv-station check exited $? (0: good)"
has "result: good" "teldrv-station check"

run teldrv-central.exe --sim --dial 0307000007 station hangup || fail "teldrv-central --sim exited $?"
has "connected to 0307000007" teldrv-central
has "station 7" teldrv-central
has "station hung up" teldrv-central
echo "windows tools: all three ran"
