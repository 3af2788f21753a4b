#!/usr/bin/env bash
# Builds (Release) and runs the device registry benchmark: the rebuild of a 100,000-device list
# from a generated DBF tree, and 1,000,000 IsDeviceServed lookups from two threads compared with
# a linear walk. Arguments are passed on: [devices] [lookups].
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DORBITRACE_BENCH=ON -DORBITRACE_TESTS=OFF >/dev/null
cmake --build "$root/build/bench" -j 2 --target registry_bench
exec "$root/build/bench/bench/registry_bench" "$@"
