"""tarvo raw.h5 [-o out.nii.gz] [--coils coils.h5] [--preview out.png] [--calibration A,B]
[--no-prewhiten] [--chunk F] [--threads T]

From an ISMRMRD raw file of an echo-planar acquisition to ghost-corrected images: the lines
are sorted into frames, pre-whitened with the noise scans, resampled onto the Cartesian grid,
the kernels are fitted on the dual-polarity calibration pair and every other frame is
corrected with them, F frames at a time (the samples of a few frames are in memory at once).
Writes the root sum of squares of the corrected coil images as NIfTI-1 (float32, x by y by
slices by frames), optionally the complex coil images and the kernels (--coils) and a
before/after picture of one slice of the first frame (--preview). Exit status 0 on success,
1 when the data are refused, 2 on a usage or file error; a failed run leaves no output.
"""

import argparse
import os
import sys
import time

import numpy as np

USAGE_ERROR, REFUSED = 2, 1


def handles(argv):
    """True when argv is a raw-file command: its input is an HDF5 file with /dataset/data, or
    its output ends in .nii or .nii.gz."""
    from .ismrmrd import is_raw_file

    args = [str(a) for a in (sys.argv[1:] if argv is None else argv)]
    valued = ("--coils", "--preview", "--calibration", "--chunk", "--threads")
    output, inputs, k = None, [], 0
    while k < len(args):
        a = args[k]
        if a in ("-o", "--output") and k + 1 < len(args):
            output = args[k + 1]
        if a in ("-o", "--output") + valued:
            k += 2
            continue
        if a.startswith("--output="):
            output = a.split("=", 1)[1]
        elif not a.startswith("-"):
            inputs.append(a)
        k += 1
    if output is not None and output.endswith((".nii", ".nii.gz")):
        return True
    return bool(inputs) and is_raw_file(inputs[0])


def _parser():
    p = argparse.ArgumentParser(prog="tarvo", description="Nyquist ghost correction of an "
                                "ISMRMRD raw echo-planar file, written as NIfTI.")
    p.add_argument("infile", help="ISMRMRD raw file (HDF5)")
    p.add_argument("-o", "--output", help="NIfTI output, .nii or .nii.gz (default "
                   "<infile>.nii.gz)")
    p.add_argument("--coils", help="HDF5 file for the complex corrected coil images and the "
                   "kernels")
    p.add_argument("--preview", help="PNG of one slice of the first frame, before and after")
    p.add_argument("--calibration", help="frame numbers A,B of the dual-polarity pair "
                   "(default: the first complementary pair)")
    p.add_argument("--no-prewhiten", dest="prewhiten", action="store_false",
                   help="do not pre-whiten with the noise scans")
    p.add_argument("--chunk", type=int, default=1, help="frames read and corrected at a time")
    p.add_argument("--threads", type=int, default=None, help="threads per call")
    return p


def _pair(text):
    try:
        a, b = (int(v) for v in text.split(","))
    except ValueError:
        raise ValueError(f"--calibration takes two frame numbers A,B; got {text!r}") from None
    if a == b:
        raise ValueError(f"--calibration needs two different frames; got {text!r}")
    return a, b


def _uncorrected_rss(k, crop):
    """The root sum of squares over the coils of the coil images of k (M x N x Z x L) without
    any correction (the centred inverse 2-D DFT), cropped to the readout pixels crop; one slice
    at a time. Centring k-space only changes the images' phase, so only the magnitude is
    shifted."""
    M, N, Z, L = k.shape
    power = np.empty((M, N, Z))
    for z in range(Z):
        images = np.fft.ifft2(k[:, :, z], axes=(0, 1))
        power[:, :, z] = np.einsum("mnl,mnl->mn", images, images.conj()).real
    return np.sqrt(np.fft.fftshift(power, axes=(0, 1))[crop])


def _rss_into(E, crop, out):
    """out (t x Z x N x Mo, C order) <- the root sum of squares over the coils of E (M x N x Z x
    L x t, Fortran order), cropped to the readout pixels crop; E is overwritten."""
    c = E.transpose()  # t x L x Z x N x M
    if not c.flags.c_contiguous:
        c = np.ascontiguousarray(c)
    parts = c.view(c.real.dtype)  # real and imaginary parts side by side along the readout
    np.square(parts, out=parts)
    power = parts[:, 0]  # summed in place over the coils, then over the two parts
    for coil in range(1, parts.shape[1]):
        np.add(power, parts[:, coil], out=power)
    np.add(power[..., 0::2], power[..., 1::2], out=power[..., 0::2])
    np.sqrt(power[..., 0::2][..., crop], out=out)


def ghost_to_signal(before, after):
    """(before, after): mean magnitude over the ghost band (the object shifted by half the
    lines, outside the object) over the mean over the object, the object being where the
    corrected image exceeds a fifth of its 99th percentile. None when there is no ghost band
    (an object filling the field of view)."""
    support = after > 0.2 * np.percentile(after, 99)
    ghost = np.roll(support, after.shape[1] // 2, axis=1) & ~support
    if not support.any() or not ghost.any():
        return None
    return tuple(float(x[ghost].mean() / x[support].mean()) for x in (before, after))


class _Progress:
    """tqdm on a terminal, plain lines otherwise."""

    def __init__(self, total, say):
        self.total, self.done, self.say, self.bar = total, 0, say, None
        if sys.stderr.isatty():
            try:
                from tqdm import tqdm

                self.bar = tqdm(total=total, unit="frame", file=sys.stderr,
                                desc="tarvo: correcting")
            except ImportError:
                pass

    def update(self, n, seconds):
        self.done += n
        if self.bar is not None:
            self.bar.update(n)
        else:
            self.say(f"frames {self.done}/{self.total} corrected ({seconds:.2f} s)")

    def close(self):
        if self.bar is not None:
            self.bar.close()


def _describe(raw, pair, say):
    M, N, Z, L = raw.M, raw.N, raw.Z, raw.L
    Mo, _ = raw.output_matrix()
    say(f"{raw.path}: {M} x {N} matrix (readout x lines){f', cropped to {Mo}' if Mo < M else ''}"
        f", {Z} slice(s), {L} coil(s), {raw.T} frame(s)")
    if raw.kx_source == "trapezoid":
        p = raw.header.trapezoid
        t = p["acqDelayTime"] + (np.arange(raw.R) + 0.5) * p["dwellTime"]
        on_ramps = np.mean((t < p["rampUpTime"]) | (t > p["rampUpTime"] + p["flatTopTime"]))
        say(f"readout: {raw.R} samples per line, {100 * on_ramps:.0f} % on the gradient ramps "
            "(trapezoid of the trajectory description)")
    elif raw.kx_source == "traj":
        say(f"readout: {raw.R} samples per line at the positions of the acquisitions' traj")
    else:
        say(f"readout: {raw.R} samples per line on the uniform grid (center sample "
            f"{int(raw.heads['center_sample'][raw.lines[0]])})")
    if raw.noise_lines.size:
        use = "pre-whitened with their covariance" if raw.whitening is not None else \
            "not used (--no-prewhiten)"
        say(f"noise scans: {raw.noise_lines.size}; {use}")
    else:
        say("noise scans: none (no pre-whitening)")
    if raw.skipped:
        say(f"skipped: {raw.skipped} navigator, phase-correction, dummy or feedback line(s)")
    if raw.other_encodings:
        say(f"ignored: {raw.other_encodings} line(s) of encoding spaces other than 0")
    if not raw.oriented:
        say("the acquisitions carry no slice orientation: the affine uses the scanner axes")
    irregular = raw.slice_spacing_irregular()
    if irregular > 0.01:
        say(f"the slices are not evenly spaced (up to {irregular:.2f} mm off): the affine uses "
            "the mean step between the first and the last")
    say(f"calibration pair: frames {pair[0]} (even) and {pair[1]} (odd) "
        f"({raw._frame_name(pair[0])}; {raw._frame_name(pair[1])})")
    if raw.acquired is not None:
        say(f"accelerated: R = {raw.acceleration}, lines {raw.acquired[0]} to "
            f"{raw.acquired[-1]} read; calibration block of {raw.block.size} lines "
            f"({raw.block[0]} to {raw.block[-1]})")


class _Prefetched:
    """The items of the generator chunks, each produced on a helper thread while the caller
    works on the one before (reading and resampling overlap the correction; both release the
    GIL in their native parts). The first is started at once; the next when the caller takes
    the current one, so at most two exist at once. close() waits for the helper and closes
    chunks."""

    def __init__(self, chunks):
        from concurrent.futures import ThreadPoolExecutor

        self._chunks, self._pool = chunks, ThreadPoolExecutor(1)
        self._pending = self._pool.submit(next, chunks, None)

    def __iter__(self):
        while True:
            item = self._pending.result()
            if item is None:
                return
            self._pending = self._pool.submit(next, self._chunks, None)
            yield item
            item = None

    def close(self):
        self._pool.shutdown(wait=True)
        self._chunks.close()


def _single_threaded_blas():
    """Sets the OpenBLAS that numpy uses (when it is OpenBLAS, found among the libraries mapped
    into the process) to one thread, so that the resampling's matrix products on the reading
    thread do not compete with the correction's threads (OpenBLAS's idle threads spin).
    Returns a function that restores the count before; it does nothing when none was set."""
    import ctypes

    try:
        with open("/proc/self/maps") as f:
            paths = sorted({line.split(None, 5)[5].strip() for line in f
                            if "openblas" in line.lower() and len(line.split(None, 5)) == 6})
    except OSError:
        paths = []
    for path in paths:
        try:
            library = ctypes.CDLL(path)
        except OSError:
            continue
        for suffix in ("", "64_"):
            get = getattr(library, "openblas_get_num_threads" + suffix, None)
            put = getattr(library, "openblas_set_num_threads" + suffix, None)
            if get is not None and put is not None:
                before = get()
                put(1)
                return lambda: put(before)
    return lambda: None


def _calibrate(even, odd, threads):
    """tarvo.calibrate one slice at a time (a slice's kernels depend on that slice alone), so
    that the fit's working memory is that of one slice."""
    import tarvo

    kernels = []
    for z in range(even.shape[2]):
        kernels += tarvo.calibrate(even[:, :, z:z + 1], odd[:, :, z:z + 1],
                                   threads=threads).kernels
    return tarvo.Calibration.from_kernels(kernels, even.shape[:2])


def convert(infile, output, coils=None, preview=None, calibration=None, prewhiten=True,
            chunk=1, threads=None, say=print):
    """The whole command; returns a dict of what was done. Raises RawFileError (refused or
    unreadable input), OSError (an output that cannot be written) or the correction's errors;
    then no output is left behind."""
    import tarvo

    from . import outputs
    from .ismrmrd import RawFile

    start = time.perf_counter()
    with RawFile(infile, prewhiten=prewhiten) as raw:
        pair = raw.calibration_pair(calibration)
        _describe(raw, pair, say)
        frames = [int(t) for t in raw.imaging_frames if t not in pair] or sorted(pair)
        Mo, N = raw.output_matrix()
        crop = slice((raw.M - Mo) // 2, (raw.M - Mo) // 2 + Mo)
        staged, coil_file = [], None
        try:
            def stage(path):
                if path:
                    staged.append(outputs.Staged(path))
                    return staged[-1]
                return None

            nifti, coil_out, preview_out = stage(output), stage(coils), stage(preview)
            # Frames are read in single precision, that of the file's samples (the correction
            # computes in double precision).
            (_, k), = raw.read(pair, chunk=2, threads=threads, dtype=np.complex64)
            restore_blas, chunks = _single_threaded_blas(), None
            progress = _Progress(len(frames), say)
            try:
                chunks = _Prefetched(raw.read(frames, chunk=max(1, chunk), threads=threads,
                                              dtype=np.complex64, reuse=True))
                if raw.acquired is None:  # the first chunk is read meanwhile
                    cal = _calibrate(k[..., 0], k[..., 1], threads)
                else:
                    block = k[:, raw.block[0]:raw.block[-1] + 1]
                    cal = tarvo.calibrate(block[..., 0], block[..., 1], R=raw.acceleration,
                                          threads=threads)
                del k
                series = np.zeros((len(frames), raw.Z, N, Mo), np.float32)
                magnitude = series.transpose()  # Mo x N x Z x frames
                coil_file = outputs.CoilFile(coil_out.tmp, (Mo, N, raw.Z, raw.L, len(frames))) \
                    if coil_out else None
                done, ratios = 0, None
                for part, k in chunks:
                    t0 = time.perf_counter()
                    E = cal.apply(k, lines=raw.acquired, threads=threads)
                    if coil_file is not None:
                        coil_file.write(done, E[crop])
                    _rss_into(E, crop, series[done:done + len(part)])
                    del E
                    if done == 0:
                        before = _uncorrected_rss(k[..., 0], crop)
                        ratios = ghost_to_signal(before, magnitude[..., 0])
                        if preview_out:
                            z = raw.Z // 2
                            outputs.preview(preview_out.tmp, before[:, :, z],
                                            magnitude[:, :, z, 0])
                    del k
                    done += len(part)
                    progress.update(len(part), time.perf_counter() - t0)
            finally:
                progress.close()
                if chunks is not None:
                    chunks.close()
                restore_blas()
            if ratios:
                say(f"ghost-to-signal estimate, frame {frames[0]}: {ratios[0]:.3g} before, "
                    f"{ratios[1]:.3g} after")
            tr = raw.header.tr if raw.frame_keys[:, 1:].max(initial=0) == 0 else None
            outputs.write_nifti(nifti.tmp, magnitude, raw.affine(), tr)
            if coil_file is not None:
                coil_file.finish(cal.kernels, raw.slice_counters, raw.frame_keys[frames])
            for s in staged:
                s.commit()
        except BaseException:
            if coil_file is not None:
                coil_file.close()
            for s in staged:
                s.discard()
            raise
    seconds = time.perf_counter() - start
    say(f"wrote {output}: {Mo} x {N} x {raw.Z} x {len(frames)} float32 (root sum of squares of "
        f"the{' pre-whitened' if raw.whitening is not None else ''} corrected coil images)"
        f"{f', TR {tr:g} ms' if tr else ''}; {seconds:.2f} s")
    if coils:
        say(f"wrote {coils}: complex coil images E and kernels K")
    if preview:
        say(f"wrote {preview}: slice {raw.Z // 2} of frame {frames[0]}, before and after")
    return {"frames": frames, "pair": pair, "seconds": seconds, "ghost": ratios,
            "shape": magnitude.shape}


def main(argv=None):
    from .ismrmrd import NotRawFile, RawFileError

    args = _parser().parse_args(argv)
    output = args.output or _default_output(args.infile)
    say = lambda text: print(f"tarvo: {text}", flush=True)  # noqa: E731

    def fail(text, status):
        print(f"tarvo: {text}", file=sys.stderr, flush=True)
        return status

    if not output.endswith((".nii", ".nii.gz")):
        return fail(f"the output must end in .nii or .nii.gz; got {output}", USAGE_ERROR)
    paths = [os.path.abspath(p) for p in (args.infile, output, args.coils, args.preview) if p]
    if len(set(paths)) < len(paths):
        return fail("the input and output files must all differ", USAGE_ERROR)
    if args.chunk < 1:
        return fail(f"--chunk must be 1 or more; got {args.chunk}", USAGE_ERROR)
    try:
        pair = _pair(args.calibration) if args.calibration else None
    except ValueError as e:
        return fail(str(e), USAGE_ERROR)
    try:
        convert(args.infile, output, args.coils, args.preview, pair, args.prewhiten,
                args.chunk, args.threads, say)
    except NotRawFile as e:
        return fail(f"{e}; nothing was written", USAGE_ERROR)
    except RawFileError as e:
        return fail(f"{e}; nothing was written", REFUSED)
    except OSError as e:
        return fail(f"cannot write the output: {e}; nothing was written", USAGE_ERROR)
    except (TypeError, ValueError, MemoryError, RuntimeError) as e:
        return fail(f"the correction failed: {e}; nothing was written", REFUSED)
    return 0


def _default_output(infile):
    base = infile[:-3] if infile.endswith(".h5") else os.path.splitext(infile)[0]
    return base + ".nii.gz"


if __name__ == "__main__":
    sys.exit(main())
