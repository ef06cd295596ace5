#!/usr/bin/env bash
# Fuzzes the module's entry point (mexFunction on the test host) with libFuzzer in a clang
# build with AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer ($TARVO_FUZZ_DIR,
# default build-fuzz): replays every seed of fuzz/corpus, then fuzzes for SECONDS (default 60).
# New inputs go to <dir>/corpus, failing ones to <dir>/artifacts (replay one with
# <dir>/fuzz/tarvo_fuzz <file>). Skipped, with a note, when clang is not installed.
# Usage: tools/fuzz.sh [seconds]        a longer run: tools/fuzz.sh 3600
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
dir=${TARVO_FUZZ_DIR:-build-fuzz}
if ! command -v clang++ >/dev/null 2>&1; then
  echo "clang++ not found: fuzzing skipped"
  exit 0
fi
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_FUZZ=ON \
  -DTARVO_BUILD_TESTS=OFF -DTARVO_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" --target tarvo_fuzz -j"$(nproc)"
mkdir -p "$dir/corpus" "$dir/artifacts"
fuzz=$dir/fuzz/tarvo_fuzz
opts=(-timeout=60 -rss_limit_mb=2048 -close_fd_mask=2 -artifact_prefix="$dir/artifacts/")
start=$SECONDS
"$fuzz" "${opts[@]}" -runs=0 fuzz/corpus
# The fuzzing run loads the corpus again first: give it that time on top of `seconds`.
replay=$((SECONDS - start))
"$fuzz" "${opts[@]}" -max_total_time=$((seconds + replay)) -print_final_stats=1 "$dir/corpus" \
  fuzz/corpus
echo "Fuzzing passed: the seed corpus and ${seconds} s of new inputs."
