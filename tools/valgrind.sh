#!/usr/bin/env bash
# valgrind memcheck over the module's calls (Release build in $TARVO_BUILD_DIR, default build/):
# the gateway and reliability tests
# on the test host (without the two whole-call allocation sweeps, thousands of calls that the
# sanitizer build already covers), and the Octave test suite's comparison calls replayed by
# tarvo_hostrun. Octave itself is not run under valgrind: valgrind 3.19 stops at an instruction
# (rdtscp) that a library Octave loads executes at start-up on this machine.
# Fails on any invalid read or write, use of uninitialised values or definite leak.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${TARVO_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARVO_WERROR=ON >/dev/null
cmake --build "$build" --target gateway_test reliability_test tarvo_hostrun tarvo_mex -j"$(nproc)" >/dev/null
logs=$build/valgrind
mkdir -p "$logs"
vg=(valgrind --tool=memcheck --error-exitcode=3 --leak-check=full --show-leak-kinds=definite
    --errors-for-leak-kinds=definite --track-origins=yes --suppressions="$PWD/tools/valgrind.supp")
"${vg[@]}" --log-file="$logs/gateway_test.log" "$build/tests/gateway/gateway_test" \
  --gtest_filter='-*EveryFailing*' >/dev/null
"${vg[@]}" --log-file="$logs/reliability_test.log" "$build/tests/reliability/reliability_test" \
  --gtest_filter='-*EveryFailingModuleAllocation*' >/dev/null
# The Octave suite runs tarvo_hostrun on the inputs it wrote; run it under valgrind instead.
wrapper="$logs/hostrun_under_valgrind.sh"
printf '#!/bin/sh\nexec %s --log-file=%s/hostrun.%%p.log %s "$@"\n' "${vg[*]}" "$PWD/$logs" \
  "$PWD/$build/tests/gateway/tarvo_hostrun" >"$wrapper"
chmod +x "$wrapper"
octave-cli --no-gui --no-init-file --no-history --quiet --eval "addpath('$PWD/matlab'); addpath('$PWD/tests/gateway'); \
  addpath('$PWD/$build/matlab'); tarvo_octave_test('$PWD/$wrapper', '$PWD/$logs/octave_work')" >/dev/null
for log in "$logs"/*.log; do
  echo "$(basename "$log"): $(grep -h 'ERROR SUMMARY' "$log" | sed 's/^==[0-9]*== //')" \
    "$(grep -h 'definitely lost' "$log" | sed 's/^==[0-9]*== *//')"
done
