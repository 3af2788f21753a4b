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

# Runs ctest with the given arguments, keeping its output for the summary at the end.
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
run_ctest() {
  ctest "$@" | tee -a "$summary"
}

echo "== plain build"
build test -DCMAKE_BUILD_TYPE=Debug
run_ctest --test-dir "$root/build/test" -j "$jobs" --output-on-failure

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build asan -DCMAKE_BUILD_TYPE=Debug -DORBITRACE_SANITIZE=address
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_ctest --test-dir "$root/build/asan" -j "$jobs" --output-on-failure

echo "== ThreadSanitizer (concurrency tests)"
build tsan -DCMAKE_BUILD_TYPE=Debug -DORBITRACE_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_ctest --test-dir "$root/build/tsan" -j "$jobs" --output-on-failure -L concurrency

echo "== libFuzzer targets (bounded)"
"$root/scripts/fuzz.sh" 20

# One closing line over the three test runs (set -e has stopped the script on any failure).
total=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\2/p' "$summary" |
  awk '{ n += $1 } END { print n + 0 }')
echo "all test runs: ${total} passed, 0 failed"
