#!/usr/bin/env bash
# Builds the Octave module (Release) and runs the demo: a simulated multi-coil EPI acquisition
# with a Nyquist ghost is corrected by tarvo; the ghost-to-signal ratios before and after,
# the time taken and the path of the figure are printed. Then the Python command corrects a
# simulated raw ISMRMRD file (ramp sampling, noise scans, oblique slices) into NIfTI and writes
# a before/after preview.
# Installs missing Debian packages when run as root (lists them otherwise).
#   TARVO_DEMO_BUILD  build folder (default build-demo)
#   TARVO_DEMO_OUT    folder of the figure (default out/demo)
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh build
build=${TARVO_DEMO_BUILD:-build-demo}
out=${TARVO_DEMO_OUT:-out/demo}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARVO_BUILD_TESTS=OFF -DTARVO_BUILD_BENCH=OFF \
  -DTARVO_BUILD_OCTAVE=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target tarvo_mex tarvo_apply_mex tarvo_prepare_mex \
  tarvo_python >/dev/null
module_dir=$(cd "$build/matlab" && pwd)
echo "Module: $module_dir/tarvo.mex"
mkdir -p "$out"
out=$(cd "$out" && pwd)
# The module's folder goes first on the path: there tarvo.mex runs and tarvo.m gives the help.
octave-cli --no-gui --no-init-file --no-history --quiet \
  --eval "addpath('$PWD/matlab'); addpath('$module_dir'); tarvo_demo('$out');" </dev/null
# From a raw ISMRMRD file to NIfTI (Debian's python3: numpy, h5py, nibabel, tqdm).
PYTHONPATH="$build/python" /usr/bin/python3 -c "from tarvo.rawsim import simulate
simulate('$out/raw.h5', M=128, N=96, Z=4, L=16, T=8, ramp=0.4)"
PYTHONPATH="$build/python" /usr/bin/python3 -m tarvo "$out/raw.h5" -o "$out/raw.nii.gz" \
  --preview "$out/raw_preview.png"
echo "Preview (one slice of the first frame, uncorrected and corrected): $out/raw_preview.png"
