"""Series larger than memory: Calibration.apply on dask arrays, and HDF5-backed series.

The calibration enters the task graph as one key on which every block's task depends, so a
distributed scheduler sends it to each worker once (it pickles to its kernels), not with every
task; each thread corrects its blocks with a twin of it (the same kernels, not copied).
"""

import threading
import uuid
import weakref

import numpy as np

_threads_own = threading.local()


def _twin(calibration):
    """This thread's twin of the calibration: its kernels, borrowed (the same bits), and scratch
    of its own. A Calibration runs one call at a time, and dask's threaded scheduler runs the
    blocks of a graph side by side on the one object the graph holds: on twins they no longer
    wait for each other."""
    twins = getattr(_threads_own, "twins", None)
    if twins is None:
        twins = _threads_own.twins = weakref.WeakKeyDictionary()
    own = twins.get(calibration)
    if own is None:
        own = twins[calibration] = type(calibration)._wrap(calibration._core.twin())
    return own


def _apply_block(block, calibration, threads, single, lines):
    return _twin(calibration)._core.apply(block, threads, single, None, lines)


def dask_apply(calibration, series, threads, single=False, lines=None):
    """The lazy corrected series of a dask array whose chunks hold whole frames (complex64
    when single, else complex128)."""
    import dask
    import dask.array as da

    name = "the frames to correct"
    if series.dtype not in (np.complex128, np.complex64):
        raise TypeError(f"{name}: need a complex M-by-N-by-Z-by-L(-by-T...) array for the input "
                        f"data (numpy complex128 or complex64); got {series.dtype}.")
    if series.ndim < 4:
        raise ValueError(f"{name}: need a complex M-by-N-by-Z-by-L(-by-T...) array for the "
                         f"input data; got {series.ndim} dimension(s), shape {series.shape}.")
    if any(len(c) != 1 for c in series.chunks[:4]):
        raise ValueError(f"{name}: each chunk must hold whole frames (the first four extents in "
                         f"one chunk); the chunks are {series.chunks}. "
                         "series.rechunk({0: -1, 1: -1, 2: -1, 3: -1}) joins them.")
    M, N, Z, L = calibration.shape
    frame = tuple(series.shape[:4])
    if frame[2:] != (Z, L) or (M is not None and frame[0] != M):
        want = f"{M} x {N} x {Z} x {L}" if M is not None else f"M x N x {Z} x {L}"
        raise ValueError(f"The frame to correct is {' x '.join(map(str, frame))}; the kernels "
                         f"are for {want} volumes.")
    key = dask.delayed(calibration, name=f"tarvo-calibration-{uuid.uuid4().hex}")
    out = np.complex64 if single else np.complex128
    return da.map_blocks(_apply_block, series, key, threads, single, lines, dtype=out,
                         name=f"tarvo-apply-{uuid.uuid4().hex}",
                         meta=np.empty((0,) * series.ndim, out))


def _complex(compound):
    """The complex array of a compound of 'real' and 'imag' (each bit kept, -0.0 included)."""
    out = np.empty(compound.shape, dtype=np.complex128)
    out.real, out.imag = compound["real"], compound["imag"]
    return out


class Hdf5Frames:
    """A complex array stored in an HDF5 file, read on demand (picklable: holds the file name
    and the dataset's path, and opens the file for every read, so it can travel to workers).

    A dataset written by MATLAB (-v7.3: a MATLAB_class attribute, extents stored in reverse,
    complex as a compound of 'real' and 'imag') is seen in MATLAB's axis order.
    """

    def __init__(self, path, dataset):
        import h5py

        self.path, self.dataset = str(path), dataset
        with h5py.File(self.path, "r") as f:
            d = f[dataset]
            self.matlab = "MATLAB_class" in d.attrs
            shape = tuple(d.shape)
            names = d.dtype.names
        self.shape = shape[::-1] if self.matlab else shape
        self.compound = names is not None
        if self.compound and not {"real", "imag"} <= set(names):
            raise TypeError(f"{path}:{dataset} holds fields {names}, not a complex array")
        self.dtype = np.dtype(np.complex128)
        self.ndim = len(self.shape)

    def __getitem__(self, key):
        import h5py

        if not isinstance(key, tuple):
            key = (key,)
        key = key + (slice(None),) * (self.ndim - len(key))
        with h5py.File(self.path, "r") as f:
            d = f[self.dataset]
            data = d[key[::-1]] if self.matlab else d[key]
        if self.compound:
            data = _complex(data)
        data = np.asarray(data, dtype=np.complex128)
        return data.T if self.matlab else data


def hdf5_series(path, dataset, frames_per_chunk=1):
    """A dask array of the series (M x N x Z x L x T...) stored in an HDF5 dataset, in chunks of
    whole frames (frames_per_chunk along the 5th extent), read when a chunk is computed."""
    import dask.array as da

    frames = Hdf5Frames(path, dataset)
    if frames.ndim < 4:
        raise ValueError(f"{path}:{dataset} has shape {frames.shape}; a series is "
                         "M x N x Z x L (x T...)")
    chunks = frames.shape[:4] + (frames_per_chunk,) + (1,) * (frames.ndim - 5)
    return da.from_array(frames, chunks=chunks[:frames.ndim], asarray=False, fancy=False,
                         name=f"tarvo-hdf5-{uuid.uuid4().hex}")
