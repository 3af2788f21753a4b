#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# Usage: scripts/install-deps.sh [--tests]
set -euo pipefail

packages=(cmake ninja-build g++ make pkg-config)
if [[ "${1:-}" == "--tests" ]]; then
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "Run as root to install: ${missing[*]}" >&2; exit 1; }
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
