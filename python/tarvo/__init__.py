"""Nyquist (N/2) ghost correction of multi-coil echo-planar MRI k-space.

    import tarvo
    E, F, K = tarvo.correct(even, odd)          # or tarvo.correct(even, odd, target)
    cal = tarvo.calibrate(even, odd)            # the kernels of every slice
    E_t = cal.apply(series)                     # M x N x Z x L or M x N x Z x L x T...

Arrays use the column-major axis order M readout samples, N lines, slices..., L coils and must
be complex128. Fortran-ordered arrays are used without a copy; other layouts are copied once.
Outputs are Fortran-ordered complex128 arrays: E and F are M x N x Z x L (the extents between
the second and the last folded into Z), K is a list of one dict per slice with keys 'dk',
'pattern' and 'coef' (a (10 L) x L complex128 matrix).

Errors raise TypeError (an input that is not complex128), ValueError (extents, kernels,
threads), MemoryError (not enough memory) or RuntimeError (an inner step failed; its own
message is on standard error). A call that raises returns nothing.

Every call runs on TARVO_NUM_THREADS threads (all hardware threads when unset); the keyword
threads= sets the count for that call alone. The GIL is released while a call runs.
"""

import numbers as _numbers

import numpy as _np

from . import _core
from .phantom import phantom

__all__ = ["correct", "calibrate", "prepare", "Calibration", "phantom", "hdf5_series"]


def _threads(threads):
    """The thread count for the core: 0 means TARVO_NUM_THREADS or all hardware threads."""
    if threads is None:
        return 0
    if isinstance(threads, bool) or not isinstance(threads, _numbers.Integral):
        raise TypeError(f"threads must be a whole number >= 1 or None; got {threads!r}")
    if threads < 1:
        raise ValueError(f"threads must be a whole number >= 1 or None; got {threads}")
    return min(int(threads), 256)


def correct(even, odd, target=None, *, threads=None):
    """(E, F, K): the ghost-corrected coil images E of target (else of odd), the even frame F
    corrected and phase-aligned against E, and the kernels K of every slice.

    even, odd: complex128 k-space, M x N x slices... x L, the same slices acquired with opposite
    readout polarity. target: complex128, M x N x Z x L (Z the product of the slice extents).
    """
    return _core.correct(even, odd, target, _threads(threads))


def prepare(raw, kx, reversed, M, *, threads=None):
    """k-space on the uniform readout grid from raw echo-planar lines (see tarvo_prepare).

    raw: complex128, R samples x N lines x ..., each line's samples in acquisition order.
    kx: R real readout positions of a line read forwards (cycles per field of view, strictly
    increasing; the M-sample Cartesian line sits at -M/2 .. M/2-1). reversed: the lines read
    backwards, a boolean array of N values or "even" / "odd" (lines counted from 0).
    M: the output line length. Returns M x N x ... complex128 (Fortran order); sample M//2 is
    at kx = 0. Each line's readout image on M pixels is fitted to its samples by least squares
    (the object is assumed inside the readout field of view; samples beyond +-M/2 are not used).
    When kx is exactly the uniform grid the lines are copied (reversed ones flipped) bit for bit.
    """
    raw_array = _np.asarray(raw)
    if raw_array.dtype != _np.complex128:
        raise TypeError(f"raw must be complex128 samples, R x N x ...; got {raw_array.dtype}. "
                        "np.asarray(x, dtype=np.complex128) converts real data.")
    kx_array = _np.asarray(kx)
    if kx_array.dtype.kind not in "iuf":
        raise TypeError(f"kx must hold real readout positions; got {kx_array.dtype}")
    kx_array = _np.ascontiguousarray(kx_array.ravel(), dtype=_np.float64)
    if raw_array.ndim < 2:
        raise ValueError(f"raw must be R samples x N lines x ...; it has {raw_array.ndim} "
                         "dimension(s)")
    N = raw_array.shape[1]
    if isinstance(reversed, str):
        if reversed not in ("even", "odd"):
            raise ValueError(f"reversed must be 'even', 'odd' or a boolean array of {N} values; "
                             f"got '{reversed}'")
        flags = _np.zeros(N, dtype=_np.uint8)
        flags[0 if reversed == "even" else 1::2] = 1
    else:
        flags_array = _np.asarray(reversed)
        if flags_array.dtype != _np.bool_:
            raise TypeError("reversed must be 'even', 'odd' or a boolean array with one value "
                            f"per line; got {flags_array.dtype}")
        flags = _np.ascontiguousarray(flags_array.ravel(), dtype=_np.uint8)
    if isinstance(M, bool) or not isinstance(M, _numbers.Integral):
        raise TypeError(f"M must be a whole number; got {M!r}")
    if not 1 <= M <= 2**31 - 1:
        raise ValueError(f"M must be from 1 to 1024 (the output line length); got {M}")
    return _core.prepare(raw_array, kx_array, flags, int(M), _threads(threads))


def calibrate(even, odd, *, threads=None):
    """The Calibration (kernels of every slice) of even and odd, as tarvo.correct fits them."""
    return Calibration(_core.Calibration.calibrate(even, odd, _threads(threads)))


class Calibration:
    """The kernels of every slice, ready to correct frames of the same slices and coils.

    Made by tarvo.calibrate or Calibration.from_kernels. One call at a time runs on a given
    Calibration (others wait); different Calibrations run side by side. A Calibration pickles
    to its kernels and frame extents.
    """

    def __init__(self, core):
        if not isinstance(core, _core.Calibration):
            raise TypeError("use tarvo.calibrate or Calibration.from_kernels")
        self._core = core

    @classmethod
    def from_kernels(cls, K, shape=None):
        """A Calibration holding the kernels K: a sequence of one kernel per slice, each a
        mapping (or record, or object) with dk, pattern and coef as tarvo.correct returns them
        or scipy.io.loadmat reads them from a .mat file of the MEX module (the 1 x Z struct
        array itself may be passed). shape: (M, N, ...) fixes the frame extents; without it
        they are those of the first frame applied.
        """
        kernels = [_kernel_tuple(k, z + 1) for z, k in enumerate(_kernel_items(K))]
        M = N = 0
        if shape is not None:
            if len(shape) < 2:
                raise ValueError(f"shape must start with M, N; got {shape!r}")
            M, N = (_whole(v, "shape") for v in shape[:2])
            if M < 1 or N < 1 or M > 2**31 - 1 or N > 2**31 - 1:
                raise ValueError(f"shape: M and N must be from 1 to 2147483647; got {M} x {N}")
        return cls(_core.Calibration.from_kernels(kernels, M, N))

    @property
    def kernels(self):
        """The kernels, one dict per slice (dk, pattern, coef), as tarvo.correct returns K."""
        return self._core.kernels()

    @property
    def shape(self):
        """(M, N, Z, L); M and N are None until kernels without a shape are first applied."""
        return self._core.shape

    def apply(self, series, *, threads=None):
        """E: the ghost-corrected coil images of every frame of series (complex128, M x N x Z x L
        or M x N x Z x L x T..., the extents after the 4th counting frames), of the same shape.

        A dask array whose chunks hold whole frames gives a lazy dask array of the same chunks
        (see tarvo.dask_apply).
        """
        n = _threads(threads)
        if type(series).__module__.split(".")[0] == "dask":
            from ._dask import dask_apply

            return dask_apply(self, series, n)
        return self._core.apply(series, n)

    def __reduce__(self):
        M, N = self.shape[:2]
        return (_from_state, (self.kernels, None if M is None else (M, N)))

    def __repr__(self):
        M, N, Z, L = self.shape
        frame = "any M x N" if M is None else f"{M} x {N}"
        return f"<tarvo.Calibration: {Z} slice(s) of {L} coil(s), frames {frame}>"


def hdf5_series(path, dataset, frames_per_chunk=1):
    """A lazy dask array of the series (M x N x Z x L x T...) in an HDF5 dataset, in chunks of
    whole frames; Calibration.apply corrects it chunk by chunk (needs h5py and dask)."""
    from ._dask import hdf5_series as series

    return series(path, dataset, frames_per_chunk)


def _from_state(kernels, shape):
    return Calibration.from_kernels(kernels, shape)


def _whole(value, what):
    import numpy as np

    a = np.asarray(value)
    if a.size != 1 or not np.issubdtype(a.dtype, np.number) or np.iscomplexobj(a):
        raise ValueError(f"{what} must be a whole number; got {value!r}")
    v = a.reshape(()).item()
    if v != int(v):
        raise ValueError(f"{what} must be a whole number; got {value!r}")
    return int(v)


def _kernel_items(K):
    """The kernels of K in slice order: a sequence, or a struct array read by loadmat."""
    import numpy as np

    if isinstance(K, np.ndarray):
        if K.dtype.names is not None or K.dtype == object:
            return list(K.ravel(order="F"))
        raise TypeError("K must be a sequence of kernels (dicts with dk, pattern and coef)")
    if isinstance(K, (str, bytes)) or not hasattr(K, "__len__"):
        raise TypeError("K must be a sequence of kernels (dicts with dk, pattern and coef)")
    return list(K)


def _kernel_field(k, name, z):
    import numpy as np

    if isinstance(k, np.ndarray) and k.dtype == object and k.size == 1:
        k = k.reshape(()).item()  # a cell of a cell array
    try:
        if isinstance(k, np.void) and k.dtype.names is not None:
            v = k[name]
        elif hasattr(k, "keys"):
            v = k[name]
        else:
            v = getattr(k, name)
    except (KeyError, ValueError, AttributeError):
        raise ValueError(f"Kernel {z} lacks '{name}'; each kernel needs dk, pattern and coef.")
    # loadmat wraps struct fields in 1 x 1 object arrays.
    while isinstance(v, np.ndarray) and v.dtype == object and v.size == 1:
        v = v.reshape(()).item()
    return v


def _kernel_tuple(k, z):
    """(dk, pattern, coef) of kernel number z (from 1), types checked; values checked later."""
    import numpy as np

    dk = _whole(_kernel_field(k, "dk", z), f"dk of kernel {z}")
    if not -(2**31) <= dk < 2**31:
        raise ValueError(f"dk of kernel {z} is {dk}, outside the 32-bit range")
    pattern = _kernel_field(k, "pattern", z)
    if isinstance(pattern, np.ndarray) and pattern.dtype.kind == "U" and pattern.size == 1:
        pattern = str(pattern.reshape(()).item())
    if not isinstance(pattern, str):
        raise TypeError(f"pattern of kernel {z} must be a string; got {pattern!r}")
    coef = _kernel_field(k, "coef", z)
    return (dk, pattern, coef)
