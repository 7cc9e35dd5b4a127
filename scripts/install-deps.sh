#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Quiet and idempotent: does nothing when everything is there already.
set -eu
pkgs=(cmake make g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
      g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils util-linux iproute2 socat
      python3 python3-pyvisa-py git)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
