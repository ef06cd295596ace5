#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when run as root; otherwise
# lists the missing ones and fails. Usage: tools/deps.sh [build|test]
set -euo pipefail
what=${1:-test}
pkgs=(cmake g++ make pkg-config libgtest-dev libbenchmark-dev octave octave-dev)
# The Python package (Debian's /usr/bin/python3): pybind11 and numpy to build and run it, pip
# and venv for `pip install .`; scipy, h5py and dask for .mat files and series; nibabel and
# tqdm for raw ISMRMRD files to NIfTI.
pkgs+=(pybind11-dev python3-dev python3-numpy python3-scipy python3-h5py python3-dask
       python3-distributed python3-setuptools python3-pip python3-venv python3-nibabel
       python3-tqdm)
if [ "$what" = test ]; then
  pkgs+=(libeigen3-dev libfftw3-dev libopenblas-dev clang libclang-rt-14-dev)
  pkgs+=(g++-mingw-w64-x86-64 mingw-w64-tools wine64)  # tarvo.mexw64 and its run under Wine
  pkgs+=(python3-pytest)
  pkgs+=(libismrmrd-dev ismrmrd-tools)  # the reference reader of the raw files (tests only)
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "Missing Debian packages (install them as root): ${missing[*]}" >&2
  echo "  sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
