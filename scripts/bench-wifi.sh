#!/usr/bin/env bash
# Builds the release benchmarks and runs the WiFi port benchmarks: uploads against a minimal
# server, then 5,000 idle identified connections. Loopback only; each step is bounded in time.
# Usage: scripts/bench-wifi.sh [uploads|idle]   (both when no argument is given)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
dir="$root/build/bench"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORBITRACE_BENCH=ON \
  -DORBITRACE_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target wifi_bench
# Every connection holds a socket on both ends (and a thread in the server).
ulimit -n "$(ulimit -Hn)"
if [[ $(ulimit -n) -lt 12000 ]]; then
  echo "The open-file limit ($(ulimit -n)) is too low for 5,000 connections on both ends." >&2
  exit 1
fi
what=${1:-all}
if [[ $what == all || $what == uploads ]]; then
  timeout 180 "$dir/bench/wifi_bench" uploads --devices 100 --seconds 5 --rounds 4
fi
if [[ $what == all || $what == idle ]]; then
  timeout 300 "$dir/bench/wifi_bench" idle --connections 5000
fi
