#!/usr/bin/env bash
# Builds the module for GNU Octave (Release) and runs the main job on a built-in example.
# Installs missing Debian packages when run as root (lists them otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh build
build=${TARVO_DEMO_BUILD:-build-demo}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARVO_BUILD_TESTS=OFF -DTARVO_BUILD_BENCH=OFF \
  -DTARVO_BUILD_OCTAVE=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target tarvo_roundtrip_mex
# For now the main job is the array round trip through the real host.
octave-cli --no-gui --no-init-file --quiet \
  --eval "addpath('$build/gateway'); addpath('matlab'); tarvo_roundtrip_demo" </dev/null
