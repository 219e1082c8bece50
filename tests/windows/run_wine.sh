#!/usr/bin/env bash
# Runs the Windows smoke host under Wine: a Wine prefix of its own, made once
# per run in the build directory, and two COM ports on the two ends of a socat
# pseudo-terminal pair (COM5 for the port under test, COM6 for its peer).
# Usage: run_wine.sh WORKDIR SMOKE_EXE DLL...
# Exits 77 (skipped) when Wine or socat is missing or this machine cannot run
# Wine's 32-bit loader (a kernel without 32-bit program support).
set -euo pipefail
work="$1"
exe="$2"
shift 2
suite="windows smoke suite"
wine_needs=socat
. "$(dirname "$0")/wine_env.sh"

socat pty,raw,echo=0,link="$work/ttyA" pty,raw,echo=0,link="$work/ttyB" 2>"$work/socat.log" &
socat_pid=$!
cleanup() {
  kill "$socat_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do
  [ -e "$work/ttyA" ] && [ -e "$work/ttyB" ] && break
  sleep 0.1
done
[ -e "$work/ttyA" ] && [ -e "$work/ttyB" ] || { cat "$work/socat.log"; exit 1; }
ln -sfn "$(readlink -f "$work/ttyA")" "$WINEPREFIX/dosdevices/com5"
ln -sfn "$(readlink -f "$work/ttyB")" "$WINEPREFIX/dosdevices/com6"

cp "$exe" "$@" "$work/run/"
cd "$work/run"
TELDRV_SMOKE_COM=COM5 TELDRV_SMOKE_PEER=COM6 timeout 500 wine "$(basename "$exe")"
