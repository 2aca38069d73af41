#!/usr/bin/env bash
# Installs, with apt-get and only where missing, every Debian package that the
# build, the tests, the example and the benchmarks need.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config python3
  libxerces-c-dev libcurl4-openssl-dev libssl-dev
  omniidl libomniorb4-dev
  libgtest-dev libgmock-dev libbenchmark-dev libxml2-dev
  clang libclang-rt-14-dev clang-format
  abigail-tools xz-utils llvm
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
