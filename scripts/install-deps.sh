#!/usr/bin/env bash
# Installs what the build and the tests need, from Debian's packages, when it
# is missing. Usage: install-deps.sh [build|test|fuzz|bench]
set -euo pipefail
want=(cmake ninja-build g++ make binutils)
case "${1:-build}" in
  # tshark reads the capture tests' files through tools/wireshark/teldrv.lua.
  test) want+=(libgtest-dev libgmock-dev tshark) ;;
  fuzz) want+=(clang libclang-rt-14-dev) ;;
  # Google Benchmark and Boost's lock-free queue are for the benchmarks only.
  bench) want+=(libbenchmark-dev libboost-dev) ;;
esac
# A mirror in the middle of a sync refuses an index now and then: try again,
# and if it still fails go on with the indexes there are (the install says
# what it could not find).
update_indexes() {
  local attempt
  for attempt in 1 2 3; do
    apt-get update -qq && return 0
    echo "apt-get update failed (attempt $attempt of 3)" >&2
    [ "$attempt" = 3 ] || sleep $((attempt * 15))
  done
  echo "going on with the package indexes as they are" >&2
}
install_missing() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # Wireshark's package would otherwise ask whether to add a capture group.
    echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
    update_indexes
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}
install_missing "${want[@]}"

# The 32-bit builds: Linux with -m32 (GoogleTest from its sources) and the
# Windows DLL with MinGW. Where the kernel cannot run 32-bit programs, the
# 32-bit tests run under qemu's user-mode emulator and Wine is not installed.
if [ "${1:-build}" = test ]; then
  install_missing g++-multilib googletest g++-mingw-w64-i686 binutils-mingw-w64-i686
  probe=$(mktemp -d)
  echo 'int main() { return 0; }' >"$probe/probe.cpp"
  if g++ -m32 "$probe/probe.cpp" -o "$probe/probe" && "$probe/probe" 2>/dev/null; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      dpkg --add-architecture i386
      update_indexes
    fi
    # A mirror without the i386 indexes of the day cannot give Wine: then the
    # Windows tests say that Wine is missing instead of the whole run failing.
    install_missing wine wine32:i386 socat ||
      echo "WARNING: Wine could not be installed from the package mirror; the Windows tests will skip" >&2
  else
    install_missing qemu-user-static
  fi
  rm -rf "$probe"
fi
