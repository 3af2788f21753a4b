#!/usr/bin/env bash
# Sets up what is missing, then builds and runs every test: the plain build, the
# AddressSanitizer + UndefinedBehaviorSanitizer build, and the ThreadSanitizer build of the
# concurrency tests.
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

echo "== libFuzzer: WiFi message assembler and dispatch (20 s)"
cmake -S "$root" -B "$root/build/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_COMPILER=clang++ -DORBITRACE_SANITIZE=address -DORBITRACE_FUZZ=ON \
  -DORBITRACE_TESTS=OFF >/dev/null
cmake --build "$root/build/fuzz" -j "$jobs" --target wifi_fuzz
wifi_corpus="$root/build/fuzz/wifi-corpus"
mkdir -p "$wifi_corpus"
WIFI_FUZZ_SEEDS="$wifi_corpus" ASAN_OPTIONS=detect_leaks=1 \
  "$root/build/fuzz/fuzz/wifi_fuzz" "$wifi_corpus" -max_total_time=20 -rss_limit_mb=2048 \
  -print_final_stats=1
