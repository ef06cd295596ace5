"""Outputs of the raw-file command: the NIfTI-1 magnitude series, the HDF5 file of complex coil
images and kernels, and the PNG preview. Each is written under a temporary name in the target
folder and moved into place only when complete (Staged), so a failure leaves nothing."""

import errno
import os
import struct
import zlib

import numpy as np


class Staged:
    """A temporary path next to `path` (same suffix); commit() renames it to path, discard()
    removes it. Creating it checks at once that the folder can be written."""

    def __init__(self, path):
        self.path = path
        if os.path.isdir(path):
            raise IsADirectoryError(errno.EISDIR, "is a folder", path)
        folder, name = os.path.split(os.path.abspath(path))
        suffix = ".nii.gz" if name.endswith(".nii.gz") else os.path.splitext(name)[1]
        self.tmp = os.path.join(folder, f".{name}.{os.getpid()}.partial{suffix}")
        with open(self.tmp, "wb"):
            pass

    def commit(self):
        os.replace(self.tmp, self.path)

    def discard(self):
        try:
            os.unlink(self.tmp)
        except FileNotFoundError:
            pass


def write_nifti(path, magnitude, affine, tr_ms=None):
    """NIfTI-1 of magnitude (float32, x by y by slices by frames) with affine as both the
    qform and the sform (scanner coordinates, mm) and the frame interval tr_ms in ms."""
    import nibabel as nib

    image = nib.Nifti1Image(np.asarray(magnitude, dtype=np.float32), affine)
    header = image.header
    header.set_xyzt_units("mm", "msec")
    zooms = list(header.get_zooms())
    if len(zooms) == 4:
        zooms[3] = float(tr_ms) if tr_ms else 0.0
        header.set_zooms(zooms)
    image.set_qform(affine, code=1)
    image.set_sform(affine, code=1)
    nib.save(image, path)


_MAT73_HEADER = b"MATLAB 7.3 MAT-file, created by tarvo"
_COMPLEX = np.dtype([("real", "<f8"), ("imag", "<f8")])


class CoilFile:
    """HDF5 (readable by MATLAB as a -v7.3 .mat file, and by tarvo.hdf5_series): E, the
    corrected complex coil images M x N x Z x L x T in MATLAB's axis order (stored transposed,
    as MATLAB does), written frame block by frame block; K_dk (1 x K), K_pattern, K_rows (1 x K)
    and K_coef (rows x L x K), the K kernels in the order of Calibration.kernels (one per slice,
    or for R >= 2 every pattern of a slice, then the next slice); K_pattern is a char row when
    every kernel has the same pattern, else one row per kernel padded with blanks; kernel k's
    coef is the first K_rows(k) rows of K_coef(:, :, k) (the rest zero: kernels of R >= 2 read
    2 to 5 lines); slice_counters and frames (the ISMRMRD counters of each slice and frame)."""

    def __init__(self, path, shape):
        import h5py

        self.file = h5py.File(path, "w", userblock_size=512)
        M, N, Z, L, T = shape
        self.E = self.file.create_dataset("E", shape=(T, L, Z, N, M), dtype=_COMPLEX,
                                          chunks=(1, 1, Z, N, M))
        self.E.attrs["MATLAB_class"] = np.bytes_("double")

    def write(self, first, E):
        """Frames first .. first + t - 1 from E (M x N x Z x L x t)."""
        block = np.empty(E.shape[::-1], _COMPLEX)
        t = E.transpose()
        block["real"], block["imag"] = t.real, t.imag
        self.E[first:first + E.shape[4]] = block

    def _put(self, name, a, matlab_class="double"):
        a = np.asarray(a)
        if np.iscomplexobj(a):
            c = np.empty(a.shape, _COMPLEX)
            c["real"], c["imag"] = a.real, a.imag
            a = c
        self.file.create_dataset(name, data=a.T).attrs["MATLAB_class"] = np.bytes_(matlab_class)

    def finish(self, K, slice_counters, frame_keys):
        self._put("K_dk", np.array([[float(k["dk"]) for k in K]]))
        patterns = [k["pattern"] for k in K] or [""]
        if len(set(patterns)) == 1:
            patterns = patterns[:1]
        width = max(map(len, patterns))
        self._put("K_pattern", np.array([[ord(c) for c in p.ljust(width)] for p in patterns],
                                        np.uint16), "char")
        rows = [k["coef"].shape[0] for k in K]
        self._put("K_rows", np.array([rows], np.float64))
        coef = np.zeros((max(rows, default=0), K[0]["coef"].shape[1] if K else 0, len(K)),
                        np.complex128)
        for i, k in enumerate(K):
            coef[:rows[i], :, i] = k["coef"]
        self._put("K_coef", coef)
        self._put("slice_counters", np.asarray(slice_counters, np.float64)[None, :])
        self._put("frames", np.asarray(frame_keys, np.float64))
        path = self.file.filename
        self.close()
        with open(path, "r+b") as f:
            f.write((_MAT73_HEADER.ljust(116, b" ") + b"\0" * 8 + b"\x00\x02IM").ljust(512, b"\0"))

    def close(self):
        if self.file is not None:
            self.file.close()
            self.file = None


# 5 x 7 glyphs of the preview's labels: 7 rows of 5 columns, '#' lit.
_GLYPHS = {
    "c": "..... ..... .###. #.... #.... #.... .###.",
    "o": "..... ..... .###. #...# #...# #...# .###.",
    "r": "..... ..... #.##. ##..# #.... #.... #....",
    "e": "..... ..... .###. #...# ##### #.... .###.",
    "t": ".#... .#... ###.. .#... .#... .#..# ..##.",
    "d": "....# ....# .#### #...# #...# #...# .####",
    "u": "..... ..... #...# #...# #...# #..## .##.#",
    "n": "..... ..... #.##. ##..# #...# #...# #...#",
}


def _text(label, scale):
    rows = np.zeros((7, 6 * len(label)), bool)
    for k, ch in enumerate(label):
        if ch in _GLYPHS:
            glyph = _GLYPHS[ch].replace(" ", "")
            rows[:, 6 * k:6 * k + 5] = np.array([c == "#" for c in glyph]).reshape(7, 5)
    return np.kron(rows, np.ones((scale, scale), bool))


def preview(path, before, after, labels=("uncorrected", "corrected")):
    """PNG of two magnitude images side by side (rows: the second axis, so the ghost shifts
    vertically) on one grey scale (0 to the larger 99.9th percentile), each labelled above."""
    vmax = max(np.percentile(before, 99.9), np.percentile(after, 99.9)) or 1.0
    scale = max(1, 256 // max(before.shape))
    text_scale = 2
    panels = []
    for image, label in zip((before, after), labels):
        grey = np.clip(image.T / vmax, 0, 1)
        grey = np.kron(grey, np.ones((scale, scale)))
        title = _text(label, text_scale)
        width = max(grey.shape[1], title.shape[1])
        panel = np.zeros((title.shape[0] + 8 + grey.shape[0], width))
        panel[4:4 + title.shape[0], (width - title.shape[1]) // 2:][:, :title.shape[1]] = title
        panel[title.shape[0] + 8:, :grey.shape[1]] = grey
        panels.append(panel)
    height = max(p.shape[0] for p in panels)
    gap = np.full((height, 8), 0.25)
    panels = [np.pad(p, ((0, height - p.shape[0]), (0, 0))) for p in panels]
    write_png(path, np.round(255 * np.hstack([panels[0], gap, panels[1]])).astype(np.uint8))


def write_png(path, grey):
    """An 8-bit greyscale PNG of a 2-D uint8 array."""
    h, w = grey.shape
    raw = b"".join(b"\0" + grey[r].tobytes() for r in range(h))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 0, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))
