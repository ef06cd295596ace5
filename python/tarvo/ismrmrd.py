"""Reading echo-planar acquisitions from an ISMRMRD raw file (HDF5: /dataset/xml and
/dataset/data) into Cartesian frames M x N x Z x L for the correction.

    raw = RawFile("scan.h5")                 # header, acquisition table, checks (no samples read)
    for frames, kspace in raw.read(range(raw.T), chunk=4):
        ...                                  # kspace: complex128 M x N x Z x L x len(frames)
    raw.read(frames, dtype=np.complex64)     # resampled and pre-whitened in single precision

Conventions (the contract of this module):
- Flag n is bit n-1 of the acquisition header's `flags`. Noise scans (19) give the coil noise
  covariance; navigator and phase-correction lines (23, 24), feedback, dummy, surface-coil and
  phase-stabilisation scans (26-31) are skipped; parallel calibration lines (20) mark the
  calibration frames of an accelerated acquisition, parallel calibration and imaging lines (21)
  an accelerated acquisition; reverse (22) marks a line read with the negative readout
  gradient, its samples stored in acquisition-time order.
- Accelerated acquisition (calibration lines, an acceleration factor in the header, or frames
  that read every R-th line): the imaging frames all read the same lines, every R-th (R from
  the header, else the step; 2 to 4), their polarity alternating from one read line to the
  next; the calibration pair is two calibration frames that read one contiguous block of at
  least 2R + 1 lines with complementary reverse flags. Frames are read zero-filled.
- An imaging line belongs to the frame of its counters (repetition, contrast, phase, set,
  average); frames are numbered from 0 in that lexicographic order (repetition first). Segments
  are parts of one frame. Within a frame every (kspace_encode_step_1, slice) is present once.
- Readout positions kx (cycles per field of view, the Cartesian line at -M/2 .. M/2-1, M the
  encoded matrix x): from the acquisitions' `traj` (first coordinate times M) when they carry
  one (a trajectory description is then neither used nor checked); else from a
  `ConventionalEPI` trajectory description (the gradient area of a trapezoid at
  t_n = acqDelayTime + (n + 1/2) dwellTime, the first to the last sample mapped linearly onto
  -M/2 .. M/2-1); else the uniform grid n - center_sample. Reversed lines are flipped as
  they are placed; then every line is resampled with tarvo.prepare's map of a line read
  forwards.
- Pre-whitening: with noise scans, Psi = X X^H / S over the S noise samples of every channel,
  scaled by noise dwell / data dwell (noise power grows with bandwidth); with Psi = C C^H
  (Cholesky), every line is multiplied by W = C^-1 across coils, so that the noise of the
  corrected coil images is white with unit variance per sample.
- Geometry: slices are sorted by position along slice_dir (frames, kernels and images are
  all in that order; slice_counters gives each one's counter); affine() maps voxel (i, j, k) of the
  image (readout, phase, sorted slice) to RAS millimetres: position_k + (i - M/2) dx read_dir +
  (j - N/2) dy phase_dir, with the ISMRMRD patient coordinates (LPS) turned into RAS.
"""

import os
import xml.etree.ElementTree as ET

import numpy as np

NOISE, PARALLEL_CALIBRATION, PARALLEL_CALIBRATION_AND_IMAGING, REVERSE = 19, 20, 21, 22
NAVIGATION, PHASECORR, DUMMYSCAN = 23, 24, 27
_SKIPPED = (NAVIGATION, PHASECORR, 26, DUMMYSCAN, 28, 29, 30, 31)
FRAME_COUNTERS = ("repetition", "contrast", "phase", "set", "average")
_LPS_TO_RAS = np.diag([-1.0, -1.0, 1.0])
_RUN, _GAP = 32, 32  # acquisitions read with one call at most, and gaps read through


class RawFileError(ValueError):
    """The file's content cannot be turned into frames (the message says what and where)."""


class NotRawFile(RawFileError):
    """The path is not a readable ISMRMRD raw file (not HDF5, no /dataset, unreadable)."""


def bit(flag):
    return np.uint64(1) << np.uint64(flag - 1)


def has_flag(flags, flag):
    return (np.asarray(flags, dtype=np.uint64) & bit(flag)) != 0


def is_raw_file(path):
    """True when path is an HDF5 file holding /dataset/data (cheap: nothing else is read)."""
    try:
        import h5py

        if not h5py.is_hdf5(path):
            return False
        with h5py.File(path, "r") as f:
            return isinstance(f.get("dataset/data"), h5py.Dataset)
    except (OSError, ValueError, ImportError):
        return False


def trapezoid_positions(ramp_up, flat_top, ramp_down, acq_delay, num_samples, dwell, M):
    """Readout positions (cycles per field of view) of the num_samples samples of a line read
    forwards on a trapezoid gradient (times in microseconds, ramps from 0 to the plateau):
    the gradient area up to t_n = acq_delay + (n + 1/2) dwell, the first and last samples
    mapped linearly onto -M/2 and M/2 - 1. Positions within 1e-9 of whole numbers are rounded
    (a trapezoid without ramps then gives exactly the uniform grid)."""
    t = acq_delay + (np.arange(num_samples) + 0.5) * dwell
    up = np.clip(t, 0, ramp_up)
    area = np.where(ramp_up > 0, 0.5 * up * up / max(ramp_up, 1e-300), 0.0)
    area = area + np.clip(t - ramp_up, 0, flat_top)
    down = np.clip(t - ramp_up - flat_top, 0, ramp_down)
    if ramp_down > 0:
        area = area + down - 0.5 * down * down / ramp_down
    with np.errstate(divide="ignore", invalid="ignore"):  # no extent: NaN, refused later
        k = -(M // 2) + (M - 1) * (area - area[0]) / (area[-1] - area[0])
    near = np.abs(k - np.round(k)) < 1e-9
    k[near] = np.round(k[near])
    return k


def _local(tag):
    return tag.rsplit("}", 1)[-1]


def _child(node, *names):
    """The first descendant along the path of local names (namespaces ignored), or None."""
    for name in names:
        if node is None:
            return None
        node = next((c for c in node if _local(c.tag) == name), None)
    return node


def _number(node, *names, kind=float):
    n = _child(node, *names)
    if n is None or n.text is None:
        return None
    try:
        return kind(n.text.strip()) if kind is float else int(float(n.text.strip()))
    except ValueError:
        raise RawFileError(f"the XML header's {'/'.join(names)} is not a number: "
                           f"{n.text.strip()!r}") from None


class Header:
    """The parts of the XML header this reader uses."""

    def __init__(self, text):
        try:
            root = ET.fromstring(text)
        except ET.ParseError as e:
            raise RawFileError(f"the XML header cannot be parsed: {e}") from None
        encoding = _child(root, "encoding")
        if encoding is None:
            raise RawFileError("the XML header has no <encoding>")
        size = [_number(encoding, "encodedSpace", "matrixSize", a, kind=int) for a in "xyz"]
        fov = [_number(encoding, "encodedSpace", "fieldOfView_mm", a) for a in "xyz"]
        if size[0] is None or size[1] is None or fov[0] is None or fov[1] is None:
            raise RawFileError("the XML header lacks encodedSpace/matrixSize or fieldOfView_mm "
                               "(x and y)")
        if min(size[0], size[1]) < 1 or not (fov[0] > 0 and fov[1] > 0):
            raise RawFileError(f"the encoded matrix {size[0]} x {size[1]} or field of view "
                               f"{fov[0]} x {fov[1]} mm is not positive")
        self.matrix = (size[0], size[1], size[2] or 1)
        self.fov = (fov[0], fov[1], fov[2] or 0.0)
        self.recon_matrix = tuple(_number(encoding, "reconSpace", "matrixSize", a, kind=int)
                                  for a in "xyz")
        self.recon_fov = tuple(_number(encoding, "reconSpace", "fieldOfView_mm", a)
                               for a in "xyz")
        trajectory = _child(encoding, "trajectory")
        self.trajectory = (trajectory.text or "").strip() if trajectory is not None else ""
        self.acceleration = (_number(encoding, "parallelImaging", "accelerationFactor",
                                     "kspace_encoding_step_1", kind=int) or 1)
        self.trapezoid = None  # set by RawFile when the description gives the readout positions
        description = _child(encoding, "trajectoryDescription")
        identifier = _child(description, "identifier") if description is not None else None
        self.conventional_epi = description if identifier is not None and \
            (identifier.text or "").strip() == "ConventionalEPI" else None
        self.tr = _number(root, "sequenceParameters", "TR")

    @staticmethod
    def trapezoid_parameters(description):
        values = {}
        for p in description:
            if _local(p.tag) in ("userParameterLong", "userParameterDouble"):
                name, value = _child(p, "name"), _child(p, "value")
                if name is not None and value is not None:
                    try:
                        values[(name.text or "").strip()] = float(value.text)
                    except (TypeError, ValueError):
                        raise RawFileError(f"trajectory description: {name.text} is not a "
                                           f"number: {value.text!r}") from None
        names = ("rampUpTime", "flatTopTime", "rampDownTime", "acqDelayTime", "numSamples",
                 "dwellTime")
        missing = [n for n in names if n not in values]
        if missing:
            raise RawFileError(f"the ConventionalEPI trajectory description lacks "
                               f"{', '.join(missing)}")
        up, flat, down, delay, count, dwell = (values[n] for n in names)
        if not dwell > 0:
            raise RawFileError(f"the trajectory description's dwellTime is {dwell:g} us: it "
                               "must be positive")
        if min(up, flat, down, delay) < 0 or count < 2 or count != int(count):
            raise RawFileError("the trajectory description needs times >= 0 and numSamples >= 2"
                               f"; got rampUpTime {up:g}, flatTopTime {flat:g}, rampDownTime "
                               f"{down:g}, acqDelayTime {delay:g}, numSamples {count:g}")
        readout = count * dwell
        for name, ramp in (("rampUpTime", up), ("rampDownTime", down)):
            if ramp > readout:
                raise RawFileError(f"the trajectory description's {name} ({ramp:g} us) is "
                                   f"longer than the readout ({int(count)} samples x "
                                   f"{dwell:g} us = {readout:g} us)")
        if delay + readout > up + flat + down + 1e-6 * readout:
            raise RawFileError(f"the samples (acqDelayTime {delay:g} us + {readout:g} us) end "
                               f"after the gradient trapezoid ({up + flat + down:g} us)")
        return dict(zip(names, (up, flat, down, delay, int(count), dwell)))


def _read_heads(dataset):
    """Every acquisition header. The headers of a chunked, unfiltered dataset are parsed from
    the raw chunks: a read through HDF5's type conversion would fetch every record's samples
    too."""
    file_type = dataset.id.get_type()
    index = file_type.get_member_index(b"head")
    plist = dataset.id.get_create_plist()
    n = dataset.shape[0]
    if dataset.chunks is not None and plist.get_nfilters() == 0 and n > 0:
        head_type = file_type.get_member_type(index).dtype
        disk = np.dtype({"names": ["head"], "formats": [head_type],
                         "offsets": [file_type.get_member_offset(index)],
                         "itemsize": file_type.get_size()})
        step = dataset.chunks[0]
        parts = []
        try:
            for start in range(0, n, step):
                _, raw = dataset.id.read_direct_chunk((start,))
                count = min(step, n - start)
                if len(raw) < count * disk.itemsize:
                    raise ValueError("short chunk")
                parts.append(np.frombuffer(raw, dtype=disk, count=count)["head"])
            return np.concatenate(parts)
        except (OSError, ValueError, KeyError, RuntimeError):
            pass  # unallocated chunks and the like: the generic read below
    return dataset.fields("head")[:]


class RawFile:
    """An ISMRMRD raw file opened for reading: the header, the table of imaging lines by frame,
    slice and line, the readout positions, the noise whitening and the geometry. Refusals raise
    RawFileError (NotRawFile when the path is not such a file) before any sample is read,
    except a truncated record, which is found when its frame is read."""

    def __init__(self, path, prewhiten=True):
        import h5py

        self.path = path
        if not os.path.exists(path):
            raise NotRawFile(f"{path} does not exist")
        if not h5py.is_hdf5(path):
            raise NotRawFile(f"{path} is not an HDF5 file")
        try:
            self._file = h5py.File(path, "r")
        except OSError as e:
            raise NotRawFile(f"cannot open {path}: {e}") from None
        try:
            self._open(prewhiten)
        except BaseException:
            self.close()
            raise

    def close(self):
        if getattr(self, "_file", None) is not None:
            self._file.close()
            self._file = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _open(self, prewhiten):
        import h5py

        f = self._file
        group = f.get("dataset")
        if not isinstance(group, h5py.Group):
            raise NotRawFile(f"{self.path} holds no /dataset group: not an ISMRMRD raw file")
        data, xml = group.get("data"), group.get("xml")
        if not isinstance(data, h5py.Dataset) or not isinstance(xml, h5py.Dataset):
            raise NotRawFile(f"{self.path} lacks /dataset/data or /dataset/xml: not an ISMRMRD "
                             "raw file")
        if data.ndim != 1 or data.dtype.names is None or \
                not {"head", "traj", "data"} <= set(data.dtype.names):
            raise NotRawFile(f"/dataset/data of {self.path} is not a table of acquisitions "
                             "(head, traj, data)")
        self._data = data
        try:
            text = xml[()] if xml.shape == () else xml[0]
            heads = _read_heads(data)
        except (OSError, ValueError, IndexError) as e:
            raise RawFileError(f"cannot read {self.path}: {e}") from None
        if isinstance(text, bytes):
            text = text.decode("utf-8", "replace")
        self.header = Header(text)
        needed = ("flags", "number_of_samples", "active_channels", "center_sample",
                  "trajectory_dimensions", "sample_time_us", "position", "read_dir",
                  "phase_dir", "slice_dir", "idx", "encoding_space_ref")
        names = heads.dtype.names or ()
        missing = [n for n in needed if n not in names]
        if missing:
            raise RawFileError(f"the acquisition headers lack {', '.join(missing)}")
        self.heads = heads
        flags = heads["flags"]
        self.noise_lines = np.flatnonzero(has_flag(flags, NOISE))
        skipped = np.zeros(len(heads), bool)
        for flag in _SKIPPED:
            skipped |= has_flag(flags, flag)
        self.skipped = int(skipped.sum())
        imaging = ~skipped & ~has_flag(flags, NOISE) & (heads["encoding_space_ref"] == 0)
        self.other_encodings = int((~skipped & ~has_flag(flags, NOISE) &
                                    (heads["encoding_space_ref"] != 0)).sum())
        self.lines = np.flatnonzero(imaging)
        if self.lines.size == 0:
            raise RawFileError(f"{self.path} holds no imaging lines")
        self._check_lines(heads[self.lines])
        self._build_frames(heads[self.lines])
        self._geometry(heads[self.lines])
        self.whitening = self._noise() if prewhiten and self.noise_lines.size else None
        self.kx = self._positions(heads[self.lines])

    # -- the imaging lines -----------------------------------------------------------------

    def _check_lines(self, h):
        def same(field, what):
            values = h[field]
            bad = np.flatnonzero(values != values[0])
            if bad.size:
                raise RawFileError(f"{what} varies between imaging lines: acquisition "
                                   f"{self.lines[0]} has {values[0]}, acquisition "
                                   f"{self.lines[bad[0]]} has {values[bad[0]]}")

        same("number_of_samples", "number_of_samples")
        same("active_channels", "the channel count (active_channels)")
        same("trajectory_dimensions", "trajectory_dimensions")
        self.R = int(h["number_of_samples"][0])
        self.L = int(h["active_channels"][0])
        if self.R < 1 or self.L < 1:
            raise RawFileError(f"the imaging lines hold {self.R} samples of {self.L} channels")
        M, N, _ = self.header.matrix
        line = h["idx"]["kspace_encode_step_1"]
        if line.max() >= N:
            k = int(np.argmax(line))
            raise RawFileError(f"acquisition {self.lines[k]} is line {line[k]}, beyond the "
                               f"encoded matrix of {N} lines")
        if h["idx"]["kspace_encode_step_2"].max() > 0 or self.header.matrix[2] > 1:
            raise RawFileError("3-D encoding (kspace_encode_step_2 or an encoded z above 1) is "
                               "not supported: the correction works on 2-D slices")
        # Flag 20 marks calibration-only lines; flag 21 lines are imaging lines too.
        self._calibration_line = has_flag(h["flags"], PARALLEL_CALIBRATION)
        self._accelerated_by = None
        if self._calibration_line.any() or has_flag(h["flags"], PARALLEL_CALIBRATION_AND_IMAGING
                                                    ).any() or self.header.acceleration > 1:
            self._accelerated_by = "parallel calibration lines or an acceleration factor in " \
                "the header"

    def _build_frames(self, h):
        idx = h["idx"]
        keys = np.stack([idx[c].astype(np.int64) for c in FRAME_COUNTERS], axis=1)
        self.frame_keys, frame = np.unique(keys, axis=0, return_inverse=True)
        frame = frame.ravel()
        self.slice_counters, slot = np.unique(idx["slice"], return_inverse=True)
        slot = slot.ravel()
        line = idx["kspace_encode_step_1"].astype(np.int64)
        T, Z, N = len(self.frame_keys), len(self.slice_counters), self.header.matrix[1]
        table = np.full((T, Z, N), -1, dtype=np.int64)
        order = np.arange(len(h))
        flat = (frame * Z + slot) * N + line
        dup = np.flatnonzero(np.bincount(flat, minlength=T * Z * N) > 1)
        if dup.size:
            t, rest = divmod(int(dup[0]), Z * N)
            z, n = divmod(rest, N)
            raise RawFileError(f"line {n} of slice {self.slice_counters[z]} appears more than "
                               f"once in frame {t} ({self._frame_name(t)})")
        table.reshape(-1)[flat] = order
        for t in range(T if self._accelerated_by is None else 0):
            present = table[t] >= 0
            if present.all():
                continue
            acquired = np.flatnonzero(present.any(axis=0))
            steps = np.unique(np.diff(acquired))
            if steps.size == 1 and steps[0] > 1:
                self._accelerated_by = f"lines {int(steps[0])} apart"
                break
            z, n = np.argwhere(~present)[0]
            raise RawFileError(f"frame {t} ({self._frame_name(t)}) lacks line {n} of slice "
                               f"{self.slice_counters[z]} ({int((~present).sum())} lines "
                               "missing; partial Fourier and other incomplete frames are not "
                               "supported)")
        self.table = table  # index into self.lines, per frame, slice slot, line (-1: not read)
        self.present = table >= 0
        reverse = has_flag(h["flags"], REVERSE)
        self.reversed = reverse[table] & self.present  # T x Z x N
        self.M, self.N, self.Z, self.T = self.header.matrix[0], N, Z, T
        self.acceleration, self.acquired, self.block = 1, None, None
        self.imaging_frames = np.arange(T)
        if self._accelerated_by is not None:
            self._accelerated_frames(reverse)

    def _accelerated_frames(self, reverse):
        """The layout of an accelerated acquisition: calibration frames (any line flagged
        parallel calibration, 20) and imaging frames that all read the same lines, every R-th,
        their readout polarity alternating from one acquired line to the next."""
        table, present, T = self.table, self.present, self.T
        calibration = np.array([self._calibration_line[table[t][present[t]]].any()
                                for t in range(T)])
        self.calibration_frames = np.flatnonzero(calibration)
        if not calibration.any():
            raise RawFileError(f"{self.path} is an accelerated acquisition "
                               f"({self._accelerated_by}) without a calibration block: looked "
                               "for frames of lines flagged parallel calibration (flag 20) to "
                               "calibrate from; found none")
        imaging = np.flatnonzero(~calibration)
        if imaging.size == 0:
            raise RawFileError(f"{self.path} holds only parallel calibration frames: no frame "
                               "to correct")
        first = imaging[0]
        lines = np.flatnonzero(present[first, 0])
        same = (present[imaging] == present[first, 0]).all(axis=(1, 2))
        if not same.all():
            t = imaging[np.argmin(same)]
            raise RawFileError(f"frame {t} ({self._frame_name(t)}) reads other lines than "
                               f"slice {self.slice_counters[0]} of frame {first}: every "
                               "imaging frame and slice of an accelerated file must read the "
                               "same lines")
        steps = np.unique(np.diff(lines))
        R = self.header.acceleration if self.header.acceleration > 1 else \
            int(steps.max(initial=1))
        if R > 4:
            raise RawFileError(f"{self.path} is accelerated by R = {R}: the correction handles "
                               "R = 1 to 4")
        if steps.size != 1 or steps[0] != R:
            raise RawFileError(f"the imaging frames read lines {lines[0]} to {lines[-1]} with "
                               f"steps of {', '.join(map(str, steps))}; with R = {R} they must "
                               "read every R-th line (partial Fourier and other layouts are "
                               "not supported from raw files)")
        revs = reverse[table[imaging][:, :, lines]]
        bad = np.argwhere(revs[..., 1:] == revs[..., :-1])
        if bad.size:
            i, z, k = bad[0]
            raise RawFileError(f"frame {imaging[i]} ({self._frame_name(imaging[i])}): the "
                               f"readout polarity of slice {self.slice_counters[z]} does not "
                               f"alternate from one acquired line to the next (lines "
                               f"{lines[k]} and {lines[k + 1]} are both read "
                               f"{'backwards' if revs[i, z, k] else 'forwards'})")
        self.acceleration, self.acquired, self.imaging_frames = R, lines, imaging

    def _frame_name(self, t):
        return ", ".join(f"{c} {v}" for c, v in zip(FRAME_COUNTERS, self.frame_keys[t])
                         if c == "repetition" or v)

    def calibration_pair(self, pair=None):
        """(even, odd): frame numbers of the dual-polarity pair (odd's first line read
        backwards). By default the first two frames (in frame order; of an accelerated file,
        among its calibration frames) that read the same lines with complementary reverse
        flags on every slice. Of an accelerated file, sets block (the pair's lines)."""
        rev, present = self.reversed, self.present
        accelerated = self.acquired is not None
        if pair is not None:
            a, b = pair
            for t in (a, b):
                if not 0 <= t < self.T:
                    raise RawFileError(f"--calibration: frame {t} does not exist (frames 0 to "
                                       f"{self.T - 1})")
            if (present[a] != present[b]).any():
                raise RawFileError(f"frames {a} and {b} are not a polarity pair: they do not "
                                   "read the same lines")
            if not (rev[a] != rev[b])[present[a]].all():
                raise RawFileError(f"frames {a} and {b} are not a polarity pair: some lines "
                                   "are read in the same direction in both")
        else:
            # Per line: 0 forwards, 1 backwards, 2 not read; a pair is 1 - x where read.
            candidates = self.calibration_frames if accelerated else np.arange(self.T)
            flat = np.where(present, rev, 2).astype(np.int8)[candidates].reshape(
                len(candidates), -1)
            found = None
            for i in range(len(candidates)):
                partner = np.where(flat[i] == 2, 2, 1 - flat[i])
                match = np.flatnonzero((flat[i + 1:] == partner).all(axis=1))
                if match.size:
                    found = (int(candidates[i]), int(candidates[i + 1 + int(match[0])]))
                    break
            if found is None and accelerated:
                raise RawFileError(
                    f"{self.path} has no dual-polarity calibration pair among its parallel "
                    "calibration lines: looked for two frames of lines flagged parallel "
                    "calibration (flag 20) that read the same lines in opposite "
                    "directions line for line (reverse flag 22) on every slice; its "
                    f"{len(candidates)} calibration frame(s) have "
                    f"{len(np.unique(flat, axis=0))} distinct pattern(s)")
            if found is None:
                raise RawFileError(
                    f"{self.path} has no dual-polarity calibration pair: looked for two frames "
                    "whose lines are read in opposite directions line for line (reverse flag "
                    f"22) on every slice; its {self.T} frame(s) have "
                    f"{len(np.unique(flat, axis=0))} distinct pattern(s)")
            a, b = found
        if accelerated:
            self._check_block(a, b)
        first = int(np.argmax(present[a, 0]))
        return (a, b) if not rev[a, 0, first] else (b, a)

    def _check_block(self, a, b):
        """The calibration pair's lines: one contiguous block of at least 2R + 1 lines, the
        same on every slice (self.block)."""
        block = np.flatnonzero(self.present[a, 0])
        R = self.acceleration
        whole = (self.present[a] == self.present[a, 0]).all() and block.size and \
            (np.diff(block) == 1).all()
        if not whole or block.size < 2 * R + 1:
            raise RawFileError(f"the calibration pair (frames {a} and {b}) reads {block.size} "
                               f"line(s) from {block[0]} to {block[-1]} on slice "
                               f"{self.slice_counters[0]}: with R = {R} it must read one "
                               f"contiguous block of at least {2 * R + 1} lines on every slice")
        self.block = block

    # -- readout positions, noise, geometry -------------------------------------------------

    def _positions(self, h):
        M = self.M
        self.kx_source = "uniform"
        if int(h["trajectory_dimensions"][0]) >= 1:
            self.kx_source = "traj"
            first = self.lines[0]
            traj = np.asarray(self._fetch("traj", first), dtype=np.float64)
            dims = int(h["trajectory_dimensions"][0])
            if traj.size != dims * self.R:
                raise RawFileError(f"acquisition {first} holds {traj.size} trajectory values; "
                                   f"its header asks for {self.R} x {dims}")
            kx = traj.reshape(self.R, dims)[:, 0] * M
            if has_flag(h["flags"][0], REVERSE):
                kx = kx[::-1]
            self._traj_reference = kx
        elif self.header.conventional_epi is not None:
            self.kx_source = "trapezoid"
            p = self.header.trapezoid = Header.trapezoid_parameters(self.header.conventional_epi)
            if p["numSamples"] != self.R:
                raise RawFileError(f"the trajectory description has numSamples "
                                   f"{p['numSamples']}; the imaging lines hold {self.R} samples")
            kx = trapezoid_positions(p["rampUpTime"], p["flatTopTime"], p["rampDownTime"],
                                     p["acqDelayTime"], self.R, p["dwellTime"], M)
        else:
            kx = np.arange(self.R, dtype=np.float64) - float(h["center_sample"][0])
        if not (np.isfinite(kx).all() and (np.diff(kx) > 0).all()):
            raise RawFileError(f"the readout positions ({self.kx_source}) are not strictly "
                               "increasing along a line read forwards")
        # On exactly the Cartesian grid resampling is the identity, and is skipped.
        self.cartesian = self.R == M and (kx == np.arange(M) - M // 2).all()
        return kx

    def _noise(self):
        heads = self.heads[self.noise_lines]
        channels = np.unique(heads["active_channels"])
        if channels.size != 1 or channels[0] != self.L:
            raise RawFileError(f"the noise scans have {', '.join(map(str, channels))} "
                               f"channel(s); the imaging lines have {self.L}")
        gram = np.zeros((self.L, self.L), np.complex128)
        samples = 0
        records = self._fetch("data", np.sort(self.noise_lines))
        for i, (head, rec) in enumerate(zip(heads, records)):
            # In double precision whatever the samples' type: single-precision products lose
            # the covariance's last digits, and with them its exact symmetry.
            x = self._samples(rec, head, self.noise_lines[i]).astype(np.complex128)  # L x S
            gram += x @ x.conj().T
            samples += x.shape[1]
        # Hermitian to the last bit (a product kernel may round (i, j) and (j, i) apart), so that
        # the whitening, formed from one triangle, whitens the whole matrix.
        psi = (gram + gram.conj().T) / (2 * max(samples, 1))
        dwell_noise = float(heads["sample_time_us"][0])
        dwell_data = float(self.heads["sample_time_us"][self.lines[0]])
        if dwell_noise > 0 and dwell_data > 0:
            psi *= dwell_noise / dwell_data
        self.noise_covariance = psi
        self.noise_samples = samples
        try:
            chol = np.linalg.cholesky(psi)
        except np.linalg.LinAlgError:
            chol = None
        if chol is None or not np.isfinite(chol).all() or \
                np.abs(np.diag(chol)).min() <= 1e-8 * np.abs(np.diag(chol)).max():
            raise RawFileError(f"the noise covariance of the {self.noise_lines.size} noise "
                               "scan(s) is singular (a channel without noise, or fewer noise "
                               "samples than channels); run without pre-whitening "
                               "(--no-prewhiten)")
        return np.linalg.inv(chol)

    def _geometry(self, h):
        self.positions = np.zeros((self.Z, 3))
        dirs = np.zeros((3, 3))
        for z in range(self.Z):
            read = self.table[0, z][self.table[0, z] >= 0]
            first = read.min() if read.size else 0
            self.positions[z] = h["position"][first]
            if z == 0:
                dirs = np.stack([h[d][first] for d in ("read_dir", "phase_dir", "slice_dir")],
                                axis=1).astype(np.float64)
        norms = np.linalg.norm(dirs, axis=0)
        self.oriented = bool((np.abs(norms - 1) < 1e-3).all())
        if not self.oriented:
            dirs = np.eye(3)
        self.directions = dirs  # columns: read, phase, slice (LPS)
        # From here on slices are in spatial order: slot z holds counter slice_counters[z].
        order = np.argsort(self.positions @ dirs[:, 2], kind="stable")
        self.positions = self.positions[order]
        self.slice_counters = self.slice_counters[order]
        self.table = self.table[:, order]
        self.present = self.present[:, order]
        self.reversed = self.reversed[:, order]

    def voxel_size(self):
        """(dx, dy) in mm: the encoded field of view over the encoded matrix."""
        return self.header.fov[0] / self.M, self.header.fov[1] / self.N

    def output_matrix(self):
        """(Mo, N): the readout is cropped to the reconSpace matrix when that space has the
        encoded space's pixel size and fewer pixels (readout oversampling)."""
        rm, rf = self.header.recon_matrix[0], self.header.recon_fov[0]
        if rm and rf and 0 < rm < self.M and (self.M - rm) % 2 == 0 and \
                abs(rf / rm - self.header.fov[0] / self.M) <= 1e-6 * rf / rm:
            return rm, self.N
        return self.M, self.N

    def affine(self):
        """The 4 x 4 voxel-to-RAS (mm) matrix of the output image (readout x phase x sorted
        slices)."""
        Mo, N = self.output_matrix()
        dx, dy = self.voxel_size()
        r, p, s = self.directions.T
        sorted_positions = self.positions
        if self.Z > 1:
            step = (sorted_positions[-1] - sorted_positions[0]) / (self.Z - 1)
        else:
            step = s * (self.header.fov[2] or 1.0)
        a = np.eye(4)
        a[:3, 0], a[:3, 1], a[:3, 2] = r * dx, p * dy, step
        a[:3, 3] = sorted_positions[0] - (Mo // 2) * dx * r - (N // 2) * dy * p
        flip = np.eye(4)
        flip[:3, :3] = _LPS_TO_RAS
        return flip @ a

    def slice_spacing_irregular(self):
        """The largest deviation (mm) of the sorted slice positions from an even spacing."""
        if self.Z < 3:
            return 0.0
        p = self.positions
        even = p[0] + np.outer(np.arange(self.Z), (p[-1] - p[0]) / (self.Z - 1))
        return float(np.abs(p - even).max())

    # -- reading frames ---------------------------------------------------------------------

    def _fetch(self, field, which):
        """A field ('data' or 'traj') of the acquisitions selected by which."""
        try:
            return self._data.fields(field)[which]
        except (OSError, ValueError) as e:
            if isinstance(which, slice):
                what = f"acquisitions {which.start} to {which.stop - 1}"
            else:
                what = f"acquisition(s) {', '.join(map(str, np.atleast_1d(which)[:4]))}"
            raise RawFileError(f"cannot read the {field} of {what} of {self.path}: {e}") from None

    def _samples(self, record, head, index):
        """The samples of one record: complex64, channels x samples."""
        ns, nc = int(head["number_of_samples"]), int(head["active_channels"])
        values = np.asarray(record)
        if values.size != 2 * ns * nc:
            raise RawFileError(f"acquisition {index} holds {values.size} values; its header "
                               f"asks for {ns} samples x {nc} channels x 2 = {2 * ns * nc} "
                               "(a truncated record)")
        return values.astype(np.float32, copy=False).view(np.complex64).reshape(nc, ns)

    def read(self, frames, chunk=4, threads=None, dtype=np.complex128, reuse=False):
        """Yields (frame numbers, k-space): M x N x Z x L x t (Fortran order, slices in spatial
        order, lines resampled onto the Cartesian grid with the reversed ones flipped,
        pre-whitened when a whitening is set), t <= chunk frames at a time. dtype is
        complex128 or complex64; the resampling and the whitening are computed in its
        precision (single precision is that of the file's samples). Besides the chunk, the
        samples of at most _RUN acquisitions are held at a time. With reuse, the chunks are
        written into two arrays in turn: a chunk is overwritten when the one after the next is
        produced."""
        dtype = np.dtype(dtype)
        if dtype not in (np.complex64, np.complex128):
            raise TypeError(f"dtype must be complex64 or complex128; got {dtype}")
        frames = list(frames)
        if not frames:
            return
        chunk = max(1, min(int(chunk), len(frames)))
        R, M, N, Z, L = self.R, self.M, self.N, self.Z, self.L
        resample = self._resampling(dtype, threads)
        white = None if self.whitening is None else self.whitening.T.astype(dtype)
        # One run of acquisitions at a time: its samples as read (_RUN x L x R), then with the
        # readout first (R + extra rows, _RUN, L), resampled and whitened (M, _RUN, L).
        rows = R + (0 if resample is None else resample[1].shape[0])
        work = [np.empty(_RUN * L * R, dtype), np.empty(rows * _RUN * L, dtype),
                np.empty(M * _RUN * L, dtype), np.empty(M * _RUN * L, dtype)]
        buffers = []
        for number, start in enumerate(range(0, len(frames), chunk)):
            part = frames[start:start + chunk]
            if not reuse:
                out = np.empty((len(part), L, Z, N, M), dtype)
            else:
                if len(buffers) < 2:
                    buffers.append(np.empty((chunk, L, Z, N, M), dtype))
                out = buffers[number % 2][:len(part)]
            for i, f in enumerate(part):
                # out[i] is frame f with the axes reversed: coil, slice, line, readout.
                if not self.present[f].all():  # lines not read stay zero
                    out[i].fill(0)
                self._gather(f, out[i], resample, white, work)
            yield part, out.transpose()

    def _grid(self, threads=None):
        """The resampling of a line read forwards as a matrix G (R x M, complex128): the line's
        M Cartesian samples are its R samples times G; None on the Cartesian grid. G is
        tarvo.prepare's map, taken by resampling the R unit vectors with it."""
        if self.cartesian:
            return None
        if getattr(self, "_map", None) is None:
            import tarvo

            try:
                P = tarvo.prepare(np.eye(self.R, dtype=np.complex128), self.kx,
                                  np.zeros(self.R, bool), self.M, threads=threads)
            except ValueError as e:
                raise RawFileError(f"the readout positions ({self.kx_source}) cannot be "
                                   f"resampled onto {self.M} samples: {e}") from None
            self._map = np.ascontiguousarray(P.T)
        return self._map

    def _resampling(self, dtype, threads=None):
        """The map of _grid as the reader applies it to lines laid out readout first (R x
        lines, a column per line and coil), in dtype's real precision: (A, B) with A = [Re G^T,
        V] (M x R + k) and B = S U^T (k x R) from Im G = U S V^T truncated to the k singular
        values above 1e-12 ||G||. The resampled lines are A [X; i B X], real matrix products on
        the real and imaginary parts of X: half the work of a complex product when k is small
        (k = 2 for ramp-sampled trapezoid positions). None on the Cartesian grid."""
        grid = self._grid(threads)
        if grid is None:
            return None
        real = np.dtype(dtype).char.lower()
        u, sv, vt = np.linalg.svd(grid.imag, full_matrices=False)
        k = int(np.count_nonzero(sv > 1e-12 * np.linalg.norm(grid, 2)))
        A = np.hstack([grid.real.T, vt[:k].T]).astype(real)
        B = (sv[:k, None] * u[:, :k].T).astype(real)
        return A, B

    def _gather(self, f, target, resample, white, work):
        """target[:, z, n, :] <- line n of slice slot z of frame f (L x M): its samples (L x R)
        in the order of a line read forwards, resampled with resample (_resampling) when it is
        given, then whitened (times white, the transposed whitening, along the coils) when
        white is given. The records are read in file order, in runs of at most _RUN
        acquisitions without gaps above _GAP, each run processed at once in the flat arrays of
        work (read() sizes them)."""
        R, N, L = self.R, self.N, self.L
        slots = np.flatnonzero(self.present[f].ravel())  # slot z N + n
        slot_acq = self.lines[self.table[f].ravel()[slots]]
        order = np.argsort(slot_acq, kind="stable")
        acq = slot_acq[order]
        backwards = self.reversed[f].ravel()[slots][order]
        z_of, n_of = np.divmod(slots[order], N)
        use_traj = self.kx_source == "traj"
        real = work[0].real.dtype
        i = 0
        while i < len(acq):
            lo = int(acq[i])
            j = int(np.searchsorted(acq, lo + _RUN))
            gaps = np.flatnonzero(np.diff(acq[i:j]) > _GAP)
            if gaps.size:
                j = i + int(gaps[0]) + 1
            records = self._fetch("data", slice(lo, int(acq[j - 1]) + 1))
            if use_traj:
                self._check_traj(self._fetch("traj", slice(lo, int(acq[j - 1]) + 1)),
                                 acq[i:j] - lo, lo)
            run = i + np.argsort(backwards[i:j], kind="stable")  # forward lines first
            chosen = [records[int(acq[k]) - lo] for k in run]
            for k, values in zip(run, chosen):
                if values.size != 2 * R * L:
                    raise RawFileError(f"acquisition {int(acq[k])} holds {values.size} values; "
                                       f"its header asks for {R} samples x {L} channels x 2 = "
                                       f"{2 * R * L} (a truncated record)")
            n, ahead = j - i, j - i - int(np.count_nonzero(backwards[i:j]))
            samples = work[0][:n * L * R].reshape(n, L, R)
            np.concatenate(chosen, out=samples.reshape(-1).view(real))
            del records, chosen
            rows = R if resample is None else resample[0].shape[1]
            x = work[1][:rows * n * L].reshape(rows, n, L)  # readout first, reversed lines flipped
            np.copyto(x[:R, :ahead], samples[:ahead].transpose(2, 0, 1))
            np.copyto(x[:R, ahead:], samples[ahead:, :, ::-1].transpose(2, 0, 1))
            lines = x[:R]
            if resample is not None:
                A, B = resample
                xr = x.reshape(rows, n * L).view(real)  # real, imaginary, real, ... per row
                if rows > R:  # i B X in the rows below X
                    low = B @ xr[:R]
                    np.negative(low[:, 1::2], out=xr[R:, 0::2])
                    xr[R:, 1::2] = low[:, 0::2]
                lines = work[2][:A.shape[0] * n * L].reshape(-1, n, L)
                np.matmul(A, xr, out=lines.reshape(-1, n * L).view(real))
            if white is not None:
                whitened = work[3][:lines.size].reshape(lines.shape)
                np.matmul(lines.reshape(-1, L), white, out=whitened.reshape(-1, L))
                lines = whitened
            target[:, z_of[run], n_of[run], :] = lines.transpose(2, 1, 0)
            i = j

    def _check_traj(self, trajs, rows, lo):
        dims = int(self.heads["trajectory_dimensions"][self.lines[0]])
        for r in rows:
            t = np.asarray(trajs[r], dtype=np.float64)
            if t.size != dims * self.R:
                raise RawFileError(f"acquisition {lo + r} holds {t.size} trajectory values; "
                                   f"its header asks for {self.R} x {dims}")
            kx = t.reshape(self.R, dims)[:, 0] * self.M
            if has_flag(self.heads["flags"][lo + r], REVERSE):
                kx = kx[::-1]
            if np.abs(kx - self._traj_reference).max() > 1e-3:
                raise RawFileError(f"acquisition {lo + r} has other readout positions than "
                                   f"acquisition {self.lines[0]} (traj); every line must be "
                                   "sampled at the same positions, reversed lines in the "
                                   "opposite order")
