#!/usr/bin/env bash
# Sets up what is missing, builds the server and runs it in the foreground on the program
# folder run/ inside the checkout. Ctrl-C (SIGINT) or SIGTERM stops it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DORBITRACE_TESTS=OFF >/dev/null
cmake --build "$root/build/release" --target orbitrace-server
mkdir -p "$root/run"
echo "Program folder: $root/run (configuration: $root/run/OrbitraceServer.ini)"
exec "$root/build/release/orbitrace-server" run --program-dir "$root/run" "$@"
