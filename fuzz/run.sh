#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer, ASan and UBSan, seeds their
# corpora, and runs each for SECONDS (default 60). Usage: fuzz/run.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
root=$PWD
build=$root/build/fuzz
cxx=${FUZZ_CXX:-$(command -v clang++-19 || command -v clang++)}

CXX=$cxx cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQB_BUILD_FUZZ=ON \
  -DQB_BUILD_TESTS=OFF -DQB_WERROR=ON -DQB_SANITIZE=address,undefined,fuzzer-no-link >/dev/null
cmake --build "$build" -j"${JOBS:-2}"

seeds=$build/seeds
rm -rf "$seeds"
# The public JSON conformance suite adds seeds where it is at hand.
suite=${QB_JSON_TEST_SUITE:-$root/../shared/jsontestsuite/test_parsing}
if [ -d "$suite" ]; then
  python3 fuzz/make_seeds.py "$seeds" "$suite"
else
  echo "SKIPPED: seeds from the JSON conformance suite (not at $suite; set QB_JSON_TEST_SUITE)"
  python3 fuzz/make_seeds.py "$seeds"
fi

for target in call_fuzz json_value_fuzz record_fuzz; do
  corpus=$build/corpus-$target
  mkdir -p "$corpus"
  echo "== $target for ${seconds}s"
  log=$build/$target.log
  rm -f "$build/$target"-*
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=4096 -max_len=65536 \
    -print_final_stats=1 -artifact_prefix="$build/$target-" "$corpus" "$seeds/$target" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "$target failed"
    exit 1
  fi
  grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb|INFO: seed corpus)' "$log" || true
done
