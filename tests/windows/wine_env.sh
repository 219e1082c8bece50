# Sourced by the Wine runs: skips (exit 77, with the reason) where Wine or the
# 32-bit loader cannot run, and makes a 32-bit prefix of the run's own with no
# .NET, HTML engine or display. Needs $work and $suite (named in the skip
# line) set, and $wine_needs to a program the run needs beside Wine, if any;
# leaves $WINEPREFIX exported.
skip() { echo "$suite skipped: $*"; exit 77; }

# Wine runs 32-bit Windows programs as 32-bit Linux processes, so the kernel
# must run 32-bit programs: asked first, with a 91-byte i386 program that
# only exits 0 (no compiler needed), since without that Wine is neither
# installed (scripts/install-deps.sh test) nor could it run.
runs_32bit() {
  local probe="$work/i386-probe"
  mkdir -p "$work"
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08'\
'\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'\
'\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5b\x00\x00\x00\x5b\x00\x00\x00'\
'\x05\x00\x00\x00\x00\x10\x00\x00\x31\xdb\x31\xc0\x40\xcd\x80' >"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null
}
runs_32bit || skip "this machine's kernel runs no 32-bit programs, and Wine needs them to run 32-bit Windows programs; run the Windows tests on a machine whose kernel does (README: The Windows DLL)"
command -v wine >/dev/null || skip "wine is not installed (bash scripts/install-deps.sh test installs it where the kernel runs 32-bit programs)"
[ -z "${wine_needs:-}" ] || command -v "$wine_needs" >/dev/null ||
  skip "$wine_needs is not installed (bash scripts/install-deps.sh test installs it with Wine)"
export WINEPREFIX="$work/prefix" WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
timeout 60 wine --version >/dev/null 2>&1 || skip "wine cannot run 32-bit programs on this machine"

rm -rf "$work"
mkdir -p "$work/run"
echo "making the Wine prefix"
timeout 600 wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }
