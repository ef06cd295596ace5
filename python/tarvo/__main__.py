"""python3 -m tarvo scan.mat [-o out.mat] [--threads T]

Corrects the k-space stored in a .mat file and saves E, F and K. The file holds `even` and
`odd` (complex double, M x N x ... x L) and optionally `target`: M x N x Z x L, or a series
M x N x Z x L x T... corrected frame by frame with one calibration (a progress line per
frame). The output (default <scan>_tarvo.mat) is written in format 7, or 7.3 when a variable
exceeds 2 GB. Exit status 0 on success, 1 when the data are refused (nothing is written), 2 on
a usage or file error.
"""

import argparse
import os
import sys
import time

import numpy as np


def _out_name(infile):
    base, _ = os.path.splitext(infile)
    return base + "_tarvo.mat"


def main(argv=None):
    from . import _rawcli

    if _rawcli.handles(argv):  # an ISMRMRD raw file, or a NIfTI output
        return _rawcli.main(argv)
    import tarvo
    from . import _matfile

    parser = argparse.ArgumentParser(prog="python3 -m tarvo",
                                     description="Nyquist ghost correction of a .mat file.")
    parser.add_argument("infile")
    parser.add_argument("-o", "--output", help="output file (default <infile>_tarvo.mat)")
    parser.add_argument("--threads", type=int, default=None, help="threads per call")
    args = parser.parse_args(argv)
    infile = args.infile
    outfile = args.output or _out_name(infile)
    say = lambda text: print(f"tarvo: {text}", flush=True)  # noqa: E731
    if os.path.abspath(infile) == os.path.abspath(outfile):
        print(f"tarvo: the output file must differ from the input file {infile}",
              file=sys.stderr)
        return 2
    try:
        names = _matfile.variables(infile)
        missing = [n for n in ("even", "odd") if n not in names]
        if missing:
            print(f"tarvo: {infile} lacks the variable(s) {', '.join(missing)}",
                  file=sys.stderr)
            return 2
        data = _matfile.load(infile, ["even", "odd", "target"])
    except (OSError, ValueError) as e:
        print(f"tarvo: cannot read {infile}: {e}", file=sys.stderr)
        return 2

    even, odd, target = data["even"], data["odd"], data.get("target")
    start = time.perf_counter()
    try:
        if target is None or np.ndim(target) <= 4:
            what = "target" if target is not None else "odd"
            say(f"correcting {what}, calibrated on even and odd {list(np.shape(even))}")
            E, F, K = tarvo.correct(even, odd, target, threads=args.threads)
        else:
            frames = int(np.prod(np.shape(target)[4:]))
            say(f"correcting {frames} frames of target {list(np.shape(target))}, calibrated "
                f"on even and odd {list(np.shape(even))}")
            # F and K of the pair; the frames through a calibration holding the same kernels.
            _, F, K = tarvo.correct(even, odd, threads=args.threads)
            calibration = tarvo.Calibration.from_kernels(K)
            series = np.asarray(target).reshape(np.shape(target)[:4] + (frames,), order="F")
            E = np.empty(series.shape, dtype=np.complex128, order="F")
            for t in range(frames):
                t0 = time.perf_counter()
                E[..., t] = calibration.apply(series[..., t], threads=args.threads)
                say(f"frame {t + 1}/{frames} done ({time.perf_counter() - t0:.2f} s)")
            E = E.reshape(np.shape(target), order="F")
    except (TypeError, ValueError, MemoryError, RuntimeError) as e:
        print(f"tarvo: {e}", file=sys.stderr)
        print(f"tarvo: the data of {infile} were not corrected; nothing was written",
              file=sys.stderr)
        return 1
    seconds = time.perf_counter() - start
    try:
        version = _matfile.save(outfile, {"E": E, "F": F}, K)
    except OSError as e:
        print(f"tarvo: cannot write {outfile}: {e}", file=sys.stderr)
        return 2
    say(f"{seconds:.2f} s; E {list(E.shape)}, F {list(F.shape)} and K (1 x {len(K)}) written "
        f"to {outfile} (format {version})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
