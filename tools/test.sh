#!/usr/bin/env bash
# Builds everything and runs every test: the normal (Release, warnings as errors) build and
# the AddressSanitizer/UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh test
jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTARVO_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
# -O1 with line tables only: the sanitizers' usual level, and half the build time of -O2 -g (the
# test programs with their many instantiations weigh most).
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_WERROR=ON -DTARVO_SANITIZE=ON \
  -DTARVO_BUILD_BENCH=OFF -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"
# ThreadSanitizer: the frames of the alignment (SVD slots), the estimation and the whole
# correction on several threads.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_WERROR=ON -DTARVO_TSAN=ON \
  -DTARVO_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan --target tarvo_parallel_tests -j"$jobs"
TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/core/tarvo_parallel_tests
# libFuzzer over the entry point (clang build, skipped without clang): the seed corpus, then
# 60 seconds of new inputs.
bash tools/fuzz.sh 60
echo "All tests passed (normal, sanitizer and thread-sanitizer builds, fuzzing)."
