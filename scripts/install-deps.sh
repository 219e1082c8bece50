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
    apt-get update -qq
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
      apt-get update -qq
    fi
    install_missing wine wine32:i386 socat
  else
    install_missing qemu-user-static
  fi
  rm -rf "$probe"
fi
