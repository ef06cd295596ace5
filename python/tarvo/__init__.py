"""Nyquist (N/2) ghost correction of multi-coil echo-planar MRI k-space.

    import tarvo
    E, F, K = tarvo.correct(even, odd)          # or tarvo.correct(even, odd, target)
    cal = tarvo.calibrate(even, odd)            # the kernels of every slice
    E_t = cal.apply(series, progress=True)      # M x N x Z x L or M x N x Z x L x T...

Arrays use the column-major axis order M readout samples, N lines, slices..., L coils, and are
complex128 or complex64. Data held coil-first in C order (L x Z x N x M) is passed without a
copy as ``x.T``. Fortran-ordered complex128 arrays are used without a copy; other layouts and
complex64 are copied (widened to double) one frame at a time. Outputs are Fortran-ordered:
complex64 when the inputs are complex64, else complex128 (``dtype=`` chooses). E and F are
M x N x Z x L (the extents between the second and the last folded into Z); K is a list of one
dict per slice with keys 'dk', 'pattern' and 'coef' (a (10 L) x L complex128 matrix).

Errors raise TypeError (an input of another type), ValueError (extents, kernels, threads),
MemoryError (not enough memory) or RuntimeError (an inner step failed; the message says why).
A call that raises returns nothing. Ctrl-C stops a series when the frames running finish
(KeyboardInterrupt).

Every call runs on TARVO_NUM_THREADS threads (all hardware threads when unset); the keyword
threads= sets the count for that call alone. The GIL is released while a call runs.
"""

from __future__ import annotations

import numbers as _numbers
from typing import Any, Callable, Optional, Sequence, Union

import numpy as _np
from numpy.typing import ArrayLike, DTypeLike, NDArray

from . import _core
from . import phantom
from ._version import __version__

__all__ = ["correct", "calibrate", "prepare", "Calibration", "phantom", "hdf5_series",
           "__version__"]

Progress = Union[bool, Callable[[int, int], Any], None]


def _threads(threads: Optional[int]) -> int:
    """The thread count for the core: 0 means TARVO_NUM_THREADS or all hardware threads."""
    if threads is None:
        return 0
    if isinstance(threads, bool) or not isinstance(threads, _numbers.Integral):
        raise TypeError(f"threads must be a whole number >= 1 or None; got {threads!r}")
    if threads < 1:
        raise ValueError(f"threads must be a whole number >= 1 or None; got {threads}")
    return min(int(threads), 256)


def _unmasked(x: Any, name: str) -> Any:
    """x itself, or the data of a masked array with nothing masked; a mask is never dropped
    silently."""
    if isinstance(x, _np.ma.MaskedArray):
        if _np.ma.getmaskarray(x).any():
            raise TypeError(f"{name}: a masked array is not accepted (its mask would be "
                            "ignored); x.filled(0) marks the masked samples as not acquired.")
        return _np.ma.getdata(x)
    return x


def _single(dtype: DTypeLike, inputs: Sequence[Any]) -> bool:
    """True for complex64 outputs: asked for, or (dtype None) every input is complex64."""
    if dtype is None:
        return all(getattr(x, "dtype", None) == _np.complex64 for x in inputs)
    try:
        d = _np.dtype(dtype)
    except TypeError:
        d = None
    if d not in (_np.dtype(_np.complex64), _np.dtype(_np.complex128)):
        raise ValueError(f"dtype must be complex64, complex128 or None; got {dtype!r}")
    return d == _np.complex64


def correct(even: ArrayLike, odd: ArrayLike, target: Optional[ArrayLike] = None, *,
            threads: Optional[int] = None, dtype: DTypeLike = None
            ) -> tuple[NDArray[_np.complexfloating], NDArray[_np.complexfloating],
                       list[dict]]:
    """Correct one volume: calibrate on the pair, then correct target (else odd).

    Parameters
    ----------
    even, odd : complex128 or complex64 array, M x N x slices... x L
        The same slices acquired twice with opposite readout polarity.
    target : complex array, M x N x Z x L, optional
        The frame to correct (Z the product of the slice extents); odd when omitted.
    threads : int, optional
        Threads for this call (default: TARVO_NUM_THREADS, else all hardware threads).
    dtype : complex64 or complex128, optional
        Of E and F; by default complex64 when every input is complex64, else complex128.

    Returns
    -------
    E : array, M x N x Z x L
        The ghost-corrected coil images of target (else of odd).
    F : array, M x N x Z x L
        The even frame corrected and phase-aligned against E.
    K : list of dict
        The kernels of every slice ('dk', 'pattern', 'coef'), as Calibration.kernels.

    Raises
    ------
    TypeError
        An input that is not a complex128/complex64 array, or a masked array with a mask.
    ValueError
        Extents the core cannot take (see the README), a bad threads or dtype.
    MemoryError
        Not enough memory.
    RuntimeError
        An inner step failed (for example an M or N above 32767); the message says why.
    """
    even, odd = _unmasked(even, "even (1st input)"), _unmasked(odd, "odd (2nd input)")
    given = [even, odd]
    if target is not None:
        target = _unmasked(target, "target (3rd input)")
        given.append(target)
    single = _single(dtype, given)
    return _core.correct(even, odd, target, _threads(threads), single)


def prepare(raw: ArrayLike, kx: ArrayLike, reversed: Union[str, ArrayLike], M: int, *,
            threads: Optional[int] = None) -> NDArray[_np.complexfloating]:
    """k-space on the uniform readout grid from raw echo-planar lines (as tarvo_prepare).

    Each line's readout image on M pixels is fitted to its samples by least squares (the object
    is assumed inside the readout field of view; samples beyond +-M/2 are not used). When kx is
    exactly the uniform grid the lines are copied (reversed ones flipped) bit for bit.

    Parameters
    ----------
    raw : complex128 or complex64 array, R samples x N lines x ...
        Each line's samples in acquisition order.
    kx : R real values
        Readout positions of a line read forwards, in cycles per field of view, strictly
        increasing; the M-sample Cartesian line sits at -M/2 .. M/2-1.
    reversed : "even", "odd", or N values of True/False (or 1/0)
        The lines read backwards (counted from 0).
    M : int
        The output line length (1 .. 1024).
    threads : int, optional
        Threads for this call.

    Returns
    -------
    k : array, M x N x ... (Fortran order)
        Sample M//2 of each line is at kx = 0; complex64 when raw is complex64.

    Raises
    ------
    TypeError
        raw not complex, kx not real, reversed of another type, M not a whole number.
    ValueError
        A refused grid (kx not increasing, too few positions, an ill-posed fit), or extents.
    MemoryError
        Not enough memory.
    """
    raw_array = _np.asarray(_unmasked(raw, "raw"))
    if raw_array.dtype not in (_np.complex128, _np.complex64):
        raise TypeError(f"raw must be complex samples (complex128 or complex64), R x N x ...; "
                        f"got {raw_array.dtype}. x.astype(np.complex128) converts real data.")
    single = raw_array.dtype == _np.complex64
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
            raise ValueError(f"reversed must be 'even', 'odd' or {N} values of True/False; "
                             f"got '{reversed}'")
        flags = _np.zeros(N, dtype=_np.uint8)
        flags[0 if reversed == "even" else 1::2] = 1
    else:
        flags_array = _np.asarray(reversed)
        if flags_array.dtype != _np.bool_ and flags_array.dtype.kind not in "iu":
            raise TypeError("reversed must be 'even', 'odd' or one value of True/False (or 1/0) "
                            f"per line; got {flags_array.dtype}")
        if flags_array.dtype != _np.bool_ and not _np.isin(flags_array, (0, 1)).all():
            raise ValueError("reversed must hold only 1 (read backwards) and 0 (forwards)")
        flags = _np.ascontiguousarray(flags_array.ravel(), dtype=_np.uint8)
    if isinstance(M, bool) or not isinstance(M, _numbers.Integral):
        raise TypeError(f"M must be a whole number; got {M!r}")
    if not 1 <= M <= 2**31 - 1:  # beyond a C int; the core checks the range 1 .. 1024 itself
        raise ValueError(f"M must be a whole number from 1 to 1024 (got {M})")
    if single:
        raw_array = raw_array.astype(_np.complex128, order="F")
    k = _core.prepare(raw_array, kx_array, flags, int(M), _threads(threads))
    return k.astype(_np.complex64, order="F") if single else k


def calibrate(even: ArrayLike, odd: ArrayLike, *, R: int = 1,
              threads: Optional[int] = None) -> Calibration:
    """The kernels of every slice of a calibration pair, as tarvo.correct fits them.

    Parameters
    ----------
    even, odd : complex128 or complex64 array, M x Nc x slices... x L
        The same slices acquired twice with opposite readout polarity, every line read: all
        N lines of the frames to correct, or (R >= 2) a central block of Nc of them.
    R : int, 1 to 4
        The acceleration of the frames to correct: their acquired lines are at most R apart.
        R = 1 gives the kernels of tarvo.correct. For R >= 2 the kernels (2 R (R + 5) per
        slice) complete the k-space of each readout polarity from the acquired lines of both,
        trained on the pair's two single-polarity k-spaces: each pattern text is the polarity
        it completes, ':', then a character per line ('+'/'-' a source line read with that
        polarity, '*' the target line read with the other, 'x' the target line not acquired,
        'o' unused). No training equation reaches across the pair's first or last line, every
        fit is regularised (Tikhonov, 1e-5 of the normal matrix's mean diagonal), one with
        fewer than 3 equations per unknown trains on the whole readout, and one wider than
        the pair or of more than 2 lines with fewer than 2 equations per unknown is left out
        (zero coef, not applied); see Calibration.fits. The first line of even should be read
        with the polarity of a frame's first acquired line (apply tries the other way when
        the completed images show that it is not).
    threads : int, optional
        Threads for this call.

    Returns
    -------
    Calibration
        Ready to correct frames of the same M, Z and L (any number of lines N).

    Raises
    ------
    TypeError, ValueError, MemoryError, RuntimeError
        As tarvo.correct; ValueError also for R outside 1 .. 4 and for a pair of fewer than
        2R + 1 lines.
    """
    even, odd = _unmasked(even, "even (1st input)"), _unmasked(odd, "odd (2nd input)")
    if isinstance(R, bool) or not isinstance(R, (int, _np.integer)):
        raise TypeError(f"R must be a whole number from 1 to 4; got {R!r}")
    return Calibration._wrap(_core.Calibration.calibrate(even, odd, _threads(threads),
                                                         max(-2**31, min(int(R), 2**31 - 1))))


class Calibration:
    """The kernels of every slice, ready to correct frames of the same slices and coils.

    Made by tarvo.calibrate(even, odd) or Calibration.from_kernels(K), not by calling the
    class. One call at a time runs on a given Calibration (others wait); different
    Calibrations run side by side. A Calibration pickles to its kernels and frame extents.
    """

    _core: Any

    def __init__(self) -> None:
        raise TypeError("a Calibration is made by tarvo.calibrate(even, odd) or "
                        "tarvo.Calibration.from_kernels(K)")

    @classmethod
    def _wrap(cls, core: Any) -> Calibration:
        self = cls.__new__(cls)
        self._core = core
        return self

    @classmethod
    def from_kernels(cls, K: Any, shape: Optional[Sequence[int]] = None) -> Calibration:
        """A Calibration holding given kernels.

        Parameters
        ----------
        K : sequence of kernels, or the P x Z struct array of scipy.io.loadmat
            The kernels of every slice (P per slice: 1 from tarvo.correct, 28, 48 or 72 from
            tarvo.calibrate with R = 2, 3 or 4; pattern fastest, then slice), each a mapping
            (or record, or object) with dk, pattern and coef as Calibration.kernels returns
            them or a .mat file of the MEX module holds them.
        shape : (M, N, ...), optional
            The frame extents; without it they are those of the first frame applied.

        Returns
        -------
        Calibration

        Raises
        ------
        TypeError
            K not a sequence of kernels, a pattern not a string, a coef not complex128.
        ValueError
            A kernel the module cannot use (its message names the kernel), a bad shape.
        """
        kernels = [_kernel_tuple(k, z + 1) for z, k in enumerate(_kernel_items(K))]
        M = N = 0
        if shape is not None:
            if len(shape) < 2:
                raise ValueError(f"shape must start with M, N; got {shape!r}")
            M, N = (_whole(v, "shape") for v in shape[:2])
            if M < 1 or N < 1 or M > 2**31 - 1 or N > 2**31 - 1:
                raise ValueError(f"shape: M and N must be from 1 to 2147483647; got {M} x {N}")
        return cls._wrap(_core.Calibration.from_kernels(kernels, M, N))

    @property
    def kernels(self) -> list[dict]:
        """The kernels, dicts (dk, pattern, coef) as tarvo.correct returns K: one per slice
        for R = 1; for R >= 2, the slice's kernels of every spacing and pattern, then the next
        slice's (the F-order of MATLAB's P x Z struct array)."""
        return self._core.kernels()

    @property
    def R(self) -> int:
        """The acceleration the kernels serve (acquired lines at most R apart)."""
        return self._core.R

    @property
    def fits(self) -> list[dict]:
        """How each kernel was fitted, in the order of kernels: dicts with equations (training
        equations per target coil; 0 for a kernel left out, whose coef is zero), unknowns, whole_readout (trained on every readout sample)
        and ridge (added to the normal matrix's diagonal; 0 for R = 1). Empty for
        a Calibration made from kernels."""
        return self._core.fits()

    @property
    def shape(self) -> tuple[Optional[int], Optional[int], int, int]:
        """(M, N, Z, L); M and N are None until kernels without a shape are first applied."""
        return self._core.shape

    def apply(self, series: Any, *, lines: Optional[ArrayLike] = None,
              threads: Optional[int] = None, dtype: DTypeLike = None,
              progress: Progress = None) -> Any:
        """Correct every frame of a series with these kernels.

        Parameters
        ----------
        series : complex128 or complex64 array, M x N x Z x L or M x N x Z x L x T...
            The extents after the 4th count frames. A dask array whose chunks hold whole
            frames gives a lazy dask array of the same chunks (see tarvo.hdf5_series).
            M, Z and L are the calibration's; N may differ from the pair's (a calibration
            from a central block of lines). A frame may be zero-filled: its acquired lines
            are those with any nonzero sample (or `lines`), at most R apart, every line, every
            R-th line, with a partial-Fourier run missing at one end or a fully sampled central
            block; the readout polarity alternates from one acquired line to the next. The
            missing lines are filled in; lines no kernel reaches (beyond a partial-Fourier
            edge) stay zero in k-space.
        lines : sequence of int, optional
            The acquired lines of every frame, counted from 0, ascending.
        threads : int, optional
            Threads for this call.
        dtype : complex64 or complex128, optional
            Of the result; by default that of series. complex64 frames are computed in double
            one frame at a time.
        progress : True or callable, optional
            True shows a tqdm progress bar; a callable is called as progress(done, total)
            for every frame, as each round of frames (up to 4 side by side) ends; an exception
            it raises stops the series. Not for dask arrays.

        Returns
        -------
        E : array (or dask array) of the shape of series
            The ghost-corrected coil images of every frame.

        Raises
        ------
        TypeError, ValueError, MemoryError, RuntimeError
            As tarvo.correct; ValueError also for a frame of other extents than the kernels'.
        KeyboardInterrupt
            Ctrl-C stops the series when the frames running finish; nothing is returned.
        """
        n = _threads(threads)
        if lines is not None:
            a = _np.asarray(lines)
            if a.ndim != 1 or a.size == 0 or not _np.issubdtype(a.dtype, _np.integer):
                raise TypeError(f"lines must be a 1-D sequence of whole line numbers (from 0); "
                                f"got {lines!r}")
            if a.min() < -(2**31) or a.max() > 2**31 - 1:
                raise ValueError("The acquired lines must be ascending line numbers of the "
                                 "frame's lines, each once.")
            lines = [int(v) for v in a]
        if type(series).__module__.split(".")[0] == "dask":
            if progress is not None:
                raise TypeError("progress= is for numpy series; a dask series reports through "
                                "dask (dask.diagnostics.ProgressBar or the dashboard)")
            from ._dask import dask_apply

            return dask_apply(self, series, n, _single(dtype, [series]), lines)
        series = _unmasked(series, "the frames to correct")
        single = _single(dtype, [series])
        if progress is None or progress is False:
            return self._core.apply(series, n, single, None, lines)
        if progress is True:
            try:
                from tqdm.auto import tqdm
            except ImportError:
                raise ImportError("progress=True needs tqdm (Debian: python3-tqdm); pass a "
                                  "function progress(done, total) instead") from None
            frames = int(_np.prod(_np.shape(series)[4:], dtype=_np.int64))
            with tqdm(total=frames, unit="frame", desc="tarvo") as bar:
                return self._core.apply(series, n, single,
                                        lambda done, total: bar.update(done - bar.n), lines)
        if not callable(progress):
            raise TypeError(f"progress must be True, None or a function progress(done, total); "
                            f"got {progress!r}")
        return self._core.apply(series, n, single, progress, lines)

    def __reduce__(self):
        M, N = self.shape[:2]
        return (_from_state, (self.kernels, None if M is None else (M, N)))

    def __repr__(self) -> str:
        M, N, Z, L = self.shape
        frame = "any M x N" if M is None else f"{M} x {N}"
        return f"<tarvo.Calibration: {Z} slice(s) of {L} coil(s), frames {frame}>"


def hdf5_series(path: str, dataset: str, frames_per_chunk: int = 1) -> Any:
    """A series stored in an HDF5 file as a lazy dask array, read chunk by chunk.

    A dataset written by MATLAB (-v7.3, with its MATLAB_class attribute) is seen in MATLAB's
    axis order; any other dataset is taken in the order of its stored extents
    (M x N x Z x L x T...). Needs h5py and dask.

    Parameters
    ----------
    path, dataset : str
        The file and the dataset's path in it.
    frames_per_chunk : int
        Frames (along the 5th extent) per chunk.

    Returns
    -------
    dask.array.Array
        For Calibration.apply, which corrects it chunk by chunk.

    Raises
    ------
    ValueError
        A dataset of fewer than 4 dimensions.
    TypeError
        A compound dataset that is not a complex array.
    """
    from ._dask import hdf5_series as series

    return series(path, dataset, frames_per_chunk)


def _from_state(kernels, shape):
    return Calibration.from_kernels(kernels, shape)


def _whole(value, what):
    a = _np.asarray(value)
    if a.size != 1 or not _np.issubdtype(a.dtype, _np.number) or _np.iscomplexobj(a):
        raise ValueError(f"{what} must be a whole number; got {value!r}")
    v = a.reshape(()).item()
    if v != int(v):
        raise ValueError(f"{what} must be a whole number; got {value!r}")
    return int(v)


def _kernel_items(K):
    """The kernels of K in slice order: a sequence, or a struct array read by loadmat."""
    if isinstance(K, _np.ndarray):
        if K.dtype.names is not None or K.dtype == object:
            return list(K.ravel(order="F"))
        raise TypeError("K must be a sequence of kernels (dicts with dk, pattern and coef)")
    if isinstance(K, (str, bytes)) or not hasattr(K, "__len__"):
        raise TypeError("K must be a sequence of kernels (dicts with dk, pattern and coef)")
    return list(K)


def _kernel_field(k, name, z):
    if isinstance(k, _np.ndarray) and k.dtype == object and k.size == 1:
        k = k.reshape(()).item()  # a cell of a cell array
    try:
        if isinstance(k, _np.void) and k.dtype.names is not None:
            v = k[name]
        elif hasattr(k, "keys"):
            v = k[name]
        else:
            v = getattr(k, name)
    except (KeyError, ValueError, AttributeError):
        raise ValueError(f"Kernel {z} lacks '{name}'; each kernel needs dk, pattern and coef.")
    # loadmat wraps struct fields in 1 x 1 object arrays.
    while isinstance(v, _np.ndarray) and v.dtype == object and v.size == 1:
        v = v.reshape(()).item()
    return v


def _kernel_tuple(k, z):
    """(dk, pattern, coef) of kernel number z (from 1), types checked; values checked later."""
    dk = _whole(_kernel_field(k, "dk", z), f"dk of kernel {z}")
    if not -(2**31) <= dk < 2**31:
        raise ValueError(f"dk of kernel {z} is {dk}, outside the 32-bit range")
    pattern = _kernel_field(k, "pattern", z)
    if isinstance(pattern, _np.ndarray) and pattern.dtype.kind == "U" and pattern.size == 1:
        pattern = str(pattern.reshape(()).item())
    if not isinstance(pattern, str):
        raise TypeError(f"pattern of kernel {z} must be a string; got {pattern!r}")
    coef = _kernel_field(k, "coef", z)
    return (dk, pattern, coef)
