#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a bounded time:
# the dBASE and ATG readers, the WiFi message handling and the dispatcher connection.
# Usage: scripts/fuzz.sh [seconds per target, default 20]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
"$root/scripts/install-deps.sh" --tests
build="$root/build/fuzz"
CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORBITRACE_FUZZ=ON -DORBITRACE_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target dbf_reader_fuzz atg_reader_fuzz wifi_fuzz dispatcher_fuzz

zeros() { head -c "$1" /dev/zero; }
# Seeds, written here rather than kept as binary files: the first byte is the target's option
# byte, then one small valid table or text.
mkdir -p "$build/corpus/dbf" "$build/corpus/atg"
{
  printf '\x00\x03\x00\x00\x00\x01\x00\x00\x00\x61\x00\x0e\x00'; zeros 20
  printf 'SERNUM'; zeros 5; printf 'C'; zeros 4; printf '\x05'; zeros 15
  printf 'PASSWORD'; zeros 3; printf 'C'; zeros 4; printf '\x08'; zeros 15
  printf '\x0d 12345secret  \x1a'
} >"$build/corpus/dbf/seed-short"
printf '\x00%s' $'12345: PASSWORD=abc;\r\n1234567:\tPASSWORD=x y;z\n\r10001: PASSWORD=q;' \
  >"$build/corpus/atg/seed"

for target in dbf atg; do
  echo "== fuzzing the $target reader for $seconds s"
  "$build/fuzz/${target}_reader_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
    -dict="$root/fuzz/registry.dict" -max_len=8192 "$build/corpus/$target" 2>&1 |
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done|INFO: Seed)|ERROR|SUMMARY' || true
  test "${PIPESTATUS[0]}" -eq 0
done

# The WiFi target writes its own seeds (well-formed conversations) into the corpus folder.
echo "== fuzzing the WiFi message handling for $seconds s"
mkdir -p "$build/corpus/wifi"
WIFI_FUZZ_SEEDS="$build/corpus/wifi" "$build/fuzz/wifi_fuzz" "$build/corpus/wifi" \
  -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 2>&1 |
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done|INFO: Seed)|ERROR|SUMMARY' || true
test "${PIPESTATUS[0]}" -eq 0

# The dispatcher target writes its seeds (well-formed requests) into the corpus folder.
echo "== fuzzing the dispatcher connection for $seconds s"
mkdir -p "$build/corpus/dispatcher"
DISP_FUZZ_SEED_DIR="$build/corpus/dispatcher" "$build/fuzz/dispatcher_fuzz" \
  "$build/corpus/dispatcher" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
  2>&1 | grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done|INFO: Seed)|ERROR|SUMMARY' || true
test "${PIPESTATUS[0]}" -eq 0
