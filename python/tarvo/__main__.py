"""python3 -m tarvo scan.mat [-o out.mat | out.h5] [--threads T] [--order numpy]

Corrects the k-space stored in a MAT file (format 7 or 7.3) or an HDF5 file and saves E, F and
K. The file holds `even` and `odd` (complex double or complex single, M x N x ... x L) and
optionally `target`: M x N x Z x L, or a series M x N x Z x L x T... corrected frame by frame
with one calibration (a progress line per frame; the frames are read from the file one at a
time and E is written frame by frame, so memory holds a few frames beyond even and odd).

Arrays are in MATLAB's axis order. An HDF5 dataset is read in that order when it carries
MATLAB's marker (the MATLAB_class attribute, as -v7.3 writes); one without it is refused unless
--order says how its extents are stored: `numpy` reads them as stored (M x N x Z x L [x T...],
as tarvo.hdf5_series does), `matlab` reversed.

Complex single input is corrected in double a frame at a time; each output keeps the class of
the input it comes from (E that of target, or of odd without target; F that of even); K is
double. The output (default <scan>_tarvo.mat) is a MAT file of format 7 for a .mat name (7.3
when a variable exceeds 2 GB: K is then stored as K_dk, K_pattern and K_coef) or HDF5 in the
7.3 layout for a .h5 or .hdf5 name. It is written to a hidden file in the output's folder and
renamed when complete; on any failure or stop (Ctrl-C, SIGTERM) that file is removed and an
existing output is left as it was.

Exit status: 0 success, 1 data refused by the correction (nothing written), 2 a usage or file
error, 130 interrupted (Ctrl-C), 143 terminated (SIGTERM).
"""

import argparse
import os
import signal
import sys
import tempfile
import time

import numpy as np

_OUTPUTS = (".mat", ".h5", ".hdf5")


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(2, f"tarvo: {message} (python3 -m tarvo --help shows the usage)\n")


class _Stopped(BaseException):
    """SIGTERM, raised in the main thread so that the partial output is removed."""


def _on_sigterm(signum, frame):
    raise _Stopped()


def _thread_count(text):
    try:
        n = int(text)
    except ValueError:
        n = 0
    if n < 1:
        raise argparse.ArgumentTypeError(f"must be a whole number >= 1; got {text!r}")
    return n


def _out_name(infile):
    base, _ = os.path.splitext(infile)
    return base + "_tarvo.mat"


def _parser():
    parser = _Parser(prog="python3 -m tarvo",
                     description="Nyquist ghost correction of k-space stored in a MAT or HDF5 "
                                 "file (variables even, odd and optionally target).",
                     epilog="Exit status: 0 success, 1 data refused by the correction, 2 a "
                            "usage or file error, 130 interrupted, 143 terminated; nothing is "
                            "written unless the status is 0. An ISMRMRD raw file (or a .nii / "
                            ".nii.gz output) runs the raw-file command instead: "
                            "tarvo raw.h5 --help shows its options.")
    parser.add_argument("infile", help="MAT file (format 7 or 7.3) or HDF5 file")
    parser.add_argument("-o", "--output", help="output file: .mat (MAT format 7, or 7.3 beyond "
                        "2 GB a variable) or .h5/.hdf5 (HDF5); default <infile>_tarvo.mat")
    parser.add_argument("--threads", type=_thread_count, default=None,
                        help="threads per call (default: TARVO_NUM_THREADS or all)")
    parser.add_argument("--order", choices=("numpy", "matlab"), default=None,
                        help="axis order of HDF5 datasets without MATLAB's MATLAB_class "
                             "attribute: numpy reads the extents as stored (M x N x Z x L "
                             "[x T...]), matlab reversed; without this option they are refused")
    return parser


def _same_file(a, b):
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _check_output(infile, outfile):
    """The error text when outfile cannot be the output, else None."""
    if os.path.splitext(outfile)[1].lower() not in _OUTPUTS:
        return f"the output must end in .mat (a MAT file), .h5 or .hdf5 (HDF5); got {outfile}"
    if _same_file(infile, outfile):
        return f"the output file must differ from the input file {infile}"
    if os.path.isdir(outfile):
        return f"cannot write {outfile}: it is a folder"
    folder = os.path.dirname(outfile) or "."
    if not os.path.isdir(folder):
        return f"cannot write {outfile}: the folder {folder} does not exist"
    return None


def main(argv=None):
    from . import _rawcli

    if _rawcli.handles(argv):  # an ISMRMRD raw file, or a NIfTI output
        return _rawcli.main(argv)
    start = time.perf_counter()
    args = _parser().parse_args(argv)
    infile = args.infile
    outfile = args.output or _out_name(infile)
    error = _check_output(infile, outfile)
    if error:
        print(f"tarvo: {error}", file=sys.stderr)
        return 2
    folder, name = os.path.split(outfile)
    try:
        fd, partial = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder or ".")
        out = os.fdopen(fd, "wb")
    except OSError as e:
        print(f"tarvo: cannot write {outfile}: {e.strerror}", file=sys.stderr)
        return 2
    handler = None
    try:
        handler = signal.signal(signal.SIGTERM, _on_sigterm)
    except ValueError:  # not the main thread: SIGTERM keeps its handler
        pass
    status = 2
    try:
        status = _run(args, infile, outfile, out, partial, start)
    except KeyboardInterrupt:
        print(f"tarvo: interrupted; {outfile} was not written", file=sys.stderr)
        status = 130
    except _Stopped:
        print(f"tarvo: terminated; {outfile} was not written", file=sys.stderr)
        status = 143
    finally:
        if handler is not None:
            signal.signal(signal.SIGTERM, handler)
        if status != 0:
            try:
                out.close()
            except OSError:
                pass
            try:
                os.unlink(partial)
            except OSError:
                pass
    return status


def _say(text):
    print(f"tarvo: {text}", flush=True)


def _run(args, infile, outfile, out, partial, start):
    """The correction of infile written to partial (open as the binary file out) and renamed to
    outfile; the exit status. Errors are reported here; the caller removes partial unless the
    status is 0."""
    from . import _matfile

    try:
        return _correct(args, infile, outfile, out, partial, start)
    except _matfile.FileError as e:
        print(f"tarvo: {e}", file=sys.stderr)
        return 2
    except ImportError as e:
        print(f"tarvo: the Python package {e.name} is needed for this file and is not "
              "installed", file=sys.stderr)
        return 2
    except (_matfile.DataError, TypeError, ValueError, MemoryError, RuntimeError) as e:
        print(f"tarvo: {e or 'not enough memory'}", file=sys.stderr)
        print(f"tarvo: the data of {infile} were not corrected; nothing was written",
              file=sys.stderr)
        return 1
    except OSError as e:
        print(f"tarvo: cannot write {outfile}: {e.strerror or e}", file=sys.stderr)
        return 2


def _correct(args, infile, outfile, out, partial, start):
    import tarvo
    from . import _matfile

    writer = None
    try:
        form, found = _matfile.open_input(infile, ("even", "odd", "target"), args.order)
        missing = [n for n in ("even", "odd") if n not in found]
        if missing:
            raise _matfile.FileError(f"{infile} lacks the variable(s) {', '.join(missing)}")
        even, odd, target = found["even"], found["odd"], found.get("target")
        present = [v for v in (even, odd, target) if v is not None]
        _say(f"reading {infile} (format {form}): {', '.join(v.describe() for v in present)} "
             f"({sum(v.nbytes for v in present) / 1e6:.2f} MB)")
        series = target is not None and len(target.shape) > 4
        if series:
            _check_frames(target, even)
        if not series:
            what = "target" if target is not None else "odd"
            _say(f"correcting {what}, calibrated on even and odd {list(even.shape)}")
            E, F, K = tarvo.correct(even.read(), odd.read(),
                                    None if target is None else target.read(),
                                    threads=args.threads)
            writer = _writer(outfile, out, partial, E.shape,
                             (odd if target is None else target).dtype,
                             F.astype(even.dtype, copy=False), K)
            _say(f"writing E, F and K to {outfile} (format {writer.format})")
            writer.put(0, E)
            shape = E.shape
        else:
            _, F, K = tarvo.correct(even.read(), odd.read(), threads=args.threads)
            calibration = tarvo.Calibration.from_kernels(K, shape=even.shape[:2])
            writer = _writer(outfile, out, partial, target.shape, target.dtype,
                             F.astype(even.dtype, copy=False), K)
            frames, shape = target.frames, target.shape
            _say(f"correcting {frames} frames of target {list(shape)}, calibrated on even and "
                 f"odd {list(even.shape)}; E written to {outfile} (format {writer.format}) "
                 "frame by frame")
            for t in range(frames):
                t0 = time.perf_counter()
                writer.put(t, calibration.apply(target.frame(t), threads=args.threads))
                _say(f"frame {t + 1}/{frames} done ({time.perf_counter() - t0:.2f} s)")
        written = writer.format
        writer.close()
        writer = None
    finally:
        if writer is not None:
            writer.discard()
    os.chmod(partial, 0o666 & ~_umask())
    os.replace(partial, outfile)
    _say(f"{time.perf_counter() - start:.2f} s; E {list(shape)}, F {list(F.shape)} and K "
         f"(1 x {len(K)}) written to {outfile} (format {written})")
    return 0


def _check_frames(target, even):
    """DataError unless the frames of the series have the extents of even (slices folded)."""
    from ._matfile import DataError

    if len(even.shape) < 3:
        return  # refused by the calibration
    folded = even.shape[:2] + (int(np.prod(even.shape[2:-1])), even.shape[-1])
    if tuple(target.shape[:4]) != folded:
        size = lambda s: " x ".join(map(str, s))  # noqa: E731
        raise DataError(f"Input matrix size mismatch: target is {size(target.shape)} (frames of "
                        f"{size(target.shape[:4])}) but even is {size(folded)} (M x N x Z x L, "
                        "slices folded); they must be the same.")


def _writer(outfile, out, partial, shape, dtype, F, K):
    """The writer of the output's format: MAT 7 unless a variable exceeds 2 GB (then 7.3), or
    HDF5 for a .h5 or .hdf5 name."""
    from . import _matfile

    big = max(int(np.prod(shape, dtype=np.int64)) * np.dtype(dtype).itemsize, F.nbytes)
    if outfile.lower().endswith(".mat") and big <= _matfile.V5_LIMIT:
        return _matfile.V5Writer(out, shape, dtype, F, K)
    out.close()
    return _matfile.Hdf5Writer(partial, shape, dtype, F, K, mat73=outfile.lower().endswith(
        ".mat"))


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


if __name__ == "__main__":
    sys.exit(main())
