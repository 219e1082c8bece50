#!/usr/bin/env bash
# Installs what the build and the tests need, from Debian's packages, when it
# is missing. Usage: install-deps.sh [build|test|fuzz]
set -euo pipefail
want=(cmake ninja-build g++ make binutils)
case "${1:-build}" in
  test) want+=(libgtest-dev libgmock-dev) ;;
  fuzz) want+=(clang libclang-rt-14-dev) ;;
esac
missing=()
for pkg in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
