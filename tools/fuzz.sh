#!/usr/bin/env bash
# Fuzzes the module's entry point (mexFunction on the test host) with libFuzzer in a clang
# build with AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer (build-fuzz/):
# replays every seed of fuzz/corpus, then fuzzes for SECONDS (default 60). New inputs go to
# build-fuzz/corpus, failing ones to build-fuzz/artifacts/ (replay one with
# build-fuzz/fuzz/tarvo_fuzz <file>). Skipped, with a note, when clang is not installed.
# Usage: tools/fuzz.sh [seconds]        a longer run: tools/fuzz.sh 3600
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
if ! command -v clang++ >/dev/null 2>&1; then
  echo "clang++ not found: fuzzing skipped"
  exit 0
fi
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_FUZZ=ON \
  -DTARVO_BUILD_TESTS=OFF -DTARVO_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz --target tarvo_fuzz -j"$(nproc)"
mkdir -p build-fuzz/corpus build-fuzz/artifacts
fuzz=build-fuzz/fuzz/tarvo_fuzz
opts=(-timeout=60 -rss_limit_mb=2048 -close_fd_mask=2 -artifact_prefix=build-fuzz/artifacts/)
"$fuzz" "${opts[@]}" -runs=0 fuzz/corpus
"$fuzz" "${opts[@]}" -max_total_time="$seconds" -print_final_stats=1 build-fuzz/corpus fuzz/corpus
echo "Fuzzing passed: the seed corpus and ${seconds} s of new inputs."
