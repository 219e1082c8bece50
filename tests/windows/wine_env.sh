# Sourced by the Wine runs: skips (exit 77, with the reason) where Wine or the
# 32-bit loader cannot run, and makes a 32-bit prefix of the run's own with no
# .NET, HTML engine or display. Needs $work and $suite (named in the skip
# line) set; leaves $WINEPREFIX exported.
skip() { echo "$suite skipped: $*"; exit 77; }

command -v wine >/dev/null || skip "wine is not installed"
export WINEPREFIX="$work/prefix" WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
timeout 60 wine --version >/dev/null 2>&1 || skip "wine cannot run 32-bit programs on this machine"

rm -rf "$work"
mkdir -p "$work/run"
echo "making the Wine prefix"
timeout 600 wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }
