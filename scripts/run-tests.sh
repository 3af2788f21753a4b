#!/usr/bin/env bash
# Sets up what is missing, then builds and runs every test: the plain build, the
# AddressSanitizer + UndefinedBehaviorSanitizer build, and the ThreadSanitizer build of the
# concurrency tests, then a short run of each fuzz target.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" --tests
jobs=$(nproc)

build() {  # name, extra cmake arguments...
  local dir="$root/build/$1"
  shift
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== plain build"
build test -DCMAKE_BUILD_TYPE=Debug
ctest --test-dir "$root/build/test" -j "$jobs" --output-on-failure

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build asan -DCMAKE_BUILD_TYPE=Debug -DORBITRACE_SANITIZE=address
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$root/build/asan" -j "$jobs" --output-on-failure

echo "== ThreadSanitizer (concurrency tests)"
build tsan -DCMAKE_BUILD_TYPE=Debug -DORBITRACE_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir "$root/build/tsan" -j "$jobs" --output-on-failure -L concurrency

echo "== fuzzing the dispatcher connection (20 s)"
if command -v clang++ >/dev/null; then
  build fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DORBITRACE_FUZZ=ON \
    -DORBITRACE_TESTS=OFF
  corpus="$root/build/fuzz/corpus/dispatcher"
  mkdir -p "$corpus"
  DISP_FUZZ_SEED_DIR="$corpus" "$root/build/fuzz/fuzz/dispatcher_fuzz" "$corpus" \
    -max_total_time=20 -rss_limit_mb=2048 -print_final_stats=1
else
  echo "clang++ not found: fuzzing skipped"
fi
