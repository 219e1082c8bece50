#!/usr/bin/env bash
# Whole calls through teldrv.dll under Wine: the Linux side of the tests
# (NATIVE_TEST) makes a pseudo-terminal for each test, maps COM5 to it in a
# Wine prefix of its own and starts the Windows host under Wine with the
# modem-line shim preloaded.
# Usage: run_wine_calls.sh WORKDIR NATIVE_TEST SHIM HOST_EXE DLL...
# Exits 77 (skipped) where Wine or its 32-bit loader cannot run; where they
# can, a missing piece is a failure, never a skip.
set -euo pipefail
work="$1" native="$2" shim="$3" host="$4"
shift 4
suite="windows call suite"
. "$(dirname "$0")/wine_env.sh"

[ -x "$native" ] || { echo "$suite: $native was not built (configure the Windows build with a native g++ and GoogleTest)"; exit 1; }
[ -f "$shim" ] || { echo "$suite: the modem-line shim $shim was not built (install gcc-multilib and build again)"; exit 1; }

# The server runs apart, without the shim: only the host's own process is
# preloaded (the server may be a program of the other word size).
wineserver -p >"$work/wineserver.log" 2>&1 &
trap 'wineserver -k 2>/dev/null || true' EXIT

# Debian's wine is a script that picks the loader; the 32-bit loader itself
# takes the 32-bit shim without a complaint from the shell.
loader=$(command -v wine)
[ -x /usr/lib/wine/wine ] && loader=/usr/lib/wine/wine

cp "$host" "$@" "$work/run/"
export TELDRV_WINE_RUN="$work/run" TELDRV_WINE_HOST="$(basename "$host")" TELDRV_WINE_SHIM="$shim" \
       TELDRV_WINE_LOADER="$loader"
status=0
timeout 900 "$native" --gtest_color=no || status=$?
if [ "$status" -ne 0 ]; then
  for log in "$work"/run/*.log; do
    [ -s "$log" ] && { echo "--- $log"; tail -n 40 "$log"; }
  done
fi
exit "$status"
