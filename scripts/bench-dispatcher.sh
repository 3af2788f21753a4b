#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs the dispatcher benchmarks over loopback, each against
# its baseline measured in the same run.
# Usage: scripts/bench-dispatcher.sh [download|small|all] [clients requests rounds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
which=${1:-all}
shift || true
cmake -S "$root" -B "$root/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DORBITRACE_TESTS=OFF -DORBITRACE_BENCH=ON >/dev/null
cmake --build "$root/build/bench" -j "$(nproc)" --target dispatcher_download_bench \
  dispatcher_small_bench
case "$which" in
  download) "$root/build/bench/bench/dispatcher_download_bench" "$@" ;;
  small) "$root/build/bench/bench/dispatcher_small_bench" "$@" ;;
  all)
    "$root/build/bench/bench/dispatcher_download_bench" "$@"
    "$root/build/bench/bench/dispatcher_small_bench" "$@"
    ;;
  *) echo "usage: $0 [download|small|all] [clients requests rounds]" >&2; exit 2 ;;
esac
