"""Simulated multi-coil echo-planar k-space with a Nyquist ghost (no data files needed).

The module is callable: ``tarvo.phantom(M, N, Z, L)`` is ``tarvo.phantom.phantom(M, N, Z, L)``.
``tarvo.phantom.accelerated`` simulates an accelerated acquisition (every R-th line) with its
calibration pair and truth; ``coil_images``, ``ghost_to_signal`` and ``rss_error`` evaluate a
result.
"""

from __future__ import annotations

import sys
import types
from typing import NamedTuple, Optional

import numpy as np
from numpy.typing import NDArray


def _soft_inside(r, width):
    """1 well inside (r < 1), 0 well outside, 1/2 at r = 1, over about width in r."""
    return 0.5 * (1 - np.tanh((r - 1) / width))


def _truth(M: int, N: int, Z: int, L: int) -> tuple[NDArray[np.complex128], NDArray[np.bool_]]:
    """(images, support): the error-free coil images (M x N x Z x L) and the object's support."""
    x, y = np.meshgrid(np.arange(M), np.arange(N), indexing="ij")
    images = np.zeros((M, N, Z, L), dtype=np.complex128, order="F")
    support = np.zeros((M, N, Z), dtype=bool, order="F")
    for z in range(1, Z + 1):
        # The object: position, size and tilt vary from slice to slice.
        t = z / (Z + 1)
        cx = M / 2 + 0.03 * M * np.sin(7 * t)
        cy = N / 2 + 0.03 * N * np.cos(5 * t)
        ax = (0.30 + 0.05 * t) * M
        ay = (0.22 + 0.04 * (1 - t)) * N
        tilt = 0.3 * np.sin(3 * t)
        u = (x - cx) * np.cos(tilt) + (y - cy) * np.sin(tilt)
        v = -(x - cx) * np.sin(tilt) + (y - cy) * np.cos(tilt)
        r = np.sqrt((u / ax) ** 2 + (v / ay) ** 2)
        r_inner = np.sqrt((u - 0.2 * ax) ** 2 / (0.16 * ax**2) + v**2 / (0.25 * ay**2))
        width = 1.5 / min(ax, ay)
        rho = _soft_inside(r, width) * (1 + 0.6 * _soft_inside(r_inner, 3 * width))
        support[:, :, z - 1] = r < 1 + 5 * width
        for c in range(1, L + 1):
            # Coil c on a circle around the object: a broad Gaussian with a smooth phase.
            theta = 2 * np.pi * (c - 1) / L + 0.1 * np.sin(c + z)
            px = M / 2 + 0.65 * M * np.cos(theta)
            py = N / 2 + 0.65 * N * np.sin(theta)
            dx = (x - px) / M
            dy = (y - py) / N
            phase = 2 * np.pi * np.mod(0.37 * c + 0.11 * z, 1) + 1.5 * (
                dx * np.sin(theta) - dy * np.cos(theta))
            sens = np.exp(-(dx**2 + dy**2) / (2 * 0.45**2)) * np.exp(1j * phase)
            images[:, :, z - 1, c - 1] = rho * sens
    return images, support


def _line_dft(images):
    """Hybrid space (readout position x, line ky): the centred DFT along the lines only."""
    return np.fft.fftshift(np.fft.fft(np.fft.ifftshift(images, axes=1), axis=1), axes=1)


def _readout_dft(h):
    """k-space of hybrid space: the centred DFT along the readout, Fortran-ordered."""
    k = np.fft.fftshift(np.fft.fft(np.fft.ifftshift(h, axes=0), axis=0), axes=0)
    return np.asfortranarray(k)


def phantom(M: int = 64, N: int = 64, Z: int = 2, L: int = 8, a: float = 0.5,
            b: float = 0.04) -> tuple[NDArray[np.complex128], NDArray[np.complex128],
                                      NDArray[np.complex128], NDArray[np.bool_]]:
    """(even, odd, images, support): a simulated acquisition of Z slices seen by L coils.

    Each slice holds a soft-edged ellipse with a brighter inner ellipse, seen by L smooth
    complex coil sensitivities placed around it. images (M x N x Z x L, complex128) are the
    error-free coil images; support (M x N x Z, bool) is the object's support.

    k-space is the centred, unscaled 2-D DFT of each coil image (readout along the first
    extent, lines along the second). The echo-planar error: in the hybrid space (readout
    position x, line ky) line ky is multiplied by exp(+1j*phi(x)) on even lines and
    exp(-1j*phi(x)) on odd lines of the even frame, with phi(x) = a + b*(x - M/2); the odd frame
    has the readout polarity reversed (the conjugate factors). Deterministic. All arrays are
    Fortran-ordered.
    """
    images, support = _truth(M, N, Z, L)
    # Hybrid space: DFT along the lines only; then the parity phase; then DFT along the readout.
    phi = a + b * (np.arange(M) - M / 2)
    sign = np.where(np.arange(N) % 2 == 0, 1.0, -1.0)
    plus = np.exp(1j * np.outer(phi, sign))[:, :, None, None]
    hybrid = _line_dft(images)
    even = _readout_dft(hybrid * plus)
    odd = _readout_dft(hybrid * np.conj(plus))
    return even, odd, images, support


class Accelerated(NamedTuple):
    """An accelerated acquisition (see ``accelerated``)."""

    even: NDArray[np.complex128]        #: calibration frame, M x Nc x Z x L, fully sampled
    odd: NDArray[np.complex128]         #: the same lines with the readout polarity reversed
    target: NDArray[np.complex128]      #: zero-filled accelerated frame, M x N x Z x L
    lines: NDArray[np.int64]            #: the target's acquired lines, 0-based, ascending
    polarity: NDArray[np.int64]         #: +1 or -1: the readout polarity of each acquired line
    calibration: NDArray[np.int64]      #: the lines of the frame the pair holds, 0-based
    images: NDArray[np.complex128]      #: error-free fully sampled coil images (the truth)
    support: NDArray[np.bool_]          #: the object's support, M x N x Z


def acquired_lines(N: int, R: int = 1, partial_fourier: float = 1.0,
                   block: int = 0) -> NDArray[np.int64]:
    """The acquired lines (0-based, ascending) of an N-line frame accelerated by R.

    With c = floor(N/2) (the line of the k-space centre), a fully sampled central block of
    B = max(block, 1) lines b0 = c - floor(block/2), ..., b1 = b0 + B - 1, and every R-th line
    on either side of it: b0 - R, b0 - 2R, ... (>= 0) and b1 + R, b1 + 2R, ... (<= N - 1). (With
    block <= 1 that is every line c + kR; with an even block and R = 2 the parity changes
    across the block: N = 64, block = 8 gives 0, 2, ..., 26, 28..35, 37, 39, ..., 63.) Partial
    Fourier then drops the first floor((1 - partial_fourier) * N + 0.5) lines of the frame.
    """
    if not (int(R) == R >= 1 and 0 < partial_fourier <= 1 and 0 <= block <= N):
        raise ValueError("acquired_lines: R must be a whole number 1 or more, block 0 to N "
                         "and partial_fourier in (0, 1]")
    R, c = int(R), N // 2
    b0 = c - block // 2
    b1 = b0 + max(block, 1) - 1
    lines = np.concatenate([np.arange(b0 - R, -1, -R)[::-1], np.arange(b0, b1 + 1),
                            np.arange(b1 + R, N, R)])
    missing = int(np.floor((1 - partial_fourier) * N + 0.5))
    return lines[lines >= missing].astype(np.int64)


def accelerated(M: int = 64, N: int = 64, Z: int = 2, L: int = 8, R: int = 2,
                partial_fourier: float = 1.0, block: int = 0,
                calibration_lines: Optional[int] = None, a: float = 0.5, b: float = 0.04,
                c: float = 0.6, d: float = 0.02, noise: float = 0.0, noisy_pair: bool = False,
                seed: int = 0) -> Accelerated:
    """An accelerated acquisition of the phantom's slices, its calibration pair and its truth.

    The coil images, support and transform are ``phantom``'s (k-space is the centred, unscaled
    2-D DFT; hybrid space is the centred DFT along the lines only). The echo-planar error is
    2-D: in hybrid space (readout position x = 0..M-1, line ky = 0..N-1) a line read with
    positive polarity is multiplied by exp(+1j*phi(x, ky)) and one read with negative polarity
    by exp(-1j*phi(x, ky)), with

        phi(x, ky) = a + b*(x - M/2) + c*(ky - N/2)/N + d*(x - M/2)*(ky - N/2)/N,

    the same static error for the pair and the target.

    - The calibration pair (even, odd): the Nc = calibration_lines central lines
      ky = floor(N/2) - floor(Nc/2) + 0..Nc-1 (all N lines when calibration_lines is None),
      every line read; in even, line ky has positive polarity when ky is even, negative when
      odd; odd has the reversed polarities. So the pair of a block is the block's lines of the
      full pair, and with c = d = 0 and Nc = N it is ``phantom(M, N, Z, L, a, b)``'s pair.
    - The target: the lines ``acquired_lines(N, R, partial_fourier, block)``, the j-th of them
      (j = 0, 1, ... in line order, the echo order) read with positive polarity for even j and
      negative for odd j; every other line is exactly zero.
    - Noise (noise > 0): complex Gaussian, standard deviation noise * s per sample (s the
      root-mean-square of the error-free fully sampled k-space over every sample of every
      slice and coil), real and imaginary parts independent. Drawn with
      numpy.random.default_rng(seed): first w = standard_normal((2, M, N, Z, L)), of which
      noise * s * (w[0] + 1j*w[1]) / sqrt(2) is added to the target's acquired lines; then,
      when noisy_pair, the same for even (shape M x Nc x Z x L) and then odd. Everything but
      the noise is deterministic.

    All arrays are Fortran-ordered. Raises ValueError for R, block or partial_fourier out of
    range (see ``acquired_lines``) and for calibration_lines not in 1..N.
    """
    lines = acquired_lines(N, R, partial_fourier, block)
    Nc = N if calibration_lines is None else calibration_lines
    if not (int(Nc) == Nc and 1 <= Nc <= N):
        raise ValueError(f"accelerated: calibration_lines must be a whole number 1 to {N}")
    images, support = _truth(M, N, Z, L)
    hybrid = _line_dft(images)
    x = np.arange(M)[:, None] - M / 2
    ky = (np.arange(N)[None, :] - N / 2) / N
    phi = a + b * x + c * ky + d * x * ky
    calibration = np.arange(Nc, dtype=np.int64) + N // 2 - Nc // 2
    sign = np.where(calibration % 2 == 0, 1.0, -1.0)
    plus = np.exp(1j * sign * phi[:, calibration])[:, :, None, None]
    even = _readout_dft(hybrid[:, calibration] * plus)
    odd = _readout_dft(hybrid[:, calibration] * np.conj(plus))
    polarity = np.where(np.arange(lines.size) % 2 == 0, 1, -1).astype(np.int64)
    acquired = np.zeros((M, N, 1, 1), dtype=np.complex128)
    acquired[:, lines, 0, 0] = np.exp(1j * polarity * phi[:, lines])
    target = _readout_dft(hybrid * acquired)
    if noise > 0:
        rng = np.random.default_rng(seed)
        s = noise * np.sqrt(np.mean(np.abs(_readout_dft(hybrid)) ** 2))

        def draw(shape):
            w = rng.standard_normal((2,) + shape)
            return s * (w[0] + 1j * w[1]) / np.sqrt(2)

        target[:, lines] += draw((M, N, Z, L))[:, lines]
        if noisy_pair:
            even += draw(even.shape)
            odd += draw(odd.shape)
    return Accelerated(even, odd, target, lines, polarity, calibration, images, support)


def rss_error(images: NDArray[np.complexfloating], truth: NDArray[np.complexfloating],
              support: NDArray[np.bool_]) -> float:
    """Normalised RMS error over the support of the root-sum-of-squares image of coil images
    (M x N x Z x L) against the truth's: ||rss - rss_truth|| / ||rss_truth||, both over the
    support of every slice."""
    rss, ref = (np.sqrt(np.sum(np.abs(v) ** 2, axis=3)) for v in (images, truth))
    return float(np.linalg.norm((rss - ref)[support]) / np.linalg.norm(ref[support]))


def coil_images(kspace: NDArray[np.complexfloating]) -> NDArray[np.complexfloating]:
    """Coil images of k-space without any correction: centred inverse 2-D DFT over the first
    two extents (the inverse of the phantom's transform)."""
    return np.fft.fftshift(np.fft.ifft2(np.fft.ifftshift(kspace, axes=(0, 1)), axes=(0, 1)),
                           axes=(0, 1))


def ghost_to_signal(images: NDArray[np.complexfloating], support: NDArray[np.bool_]) -> float:
    """On the root-sum-of-squares image of coil images (M x N x Z x L): the mean over the ghost
    region (the support shifted by N/2 along the lines, minus the support) over the mean over
    the support, over all slices."""
    rss = np.sqrt(np.sum(np.abs(images) ** 2, axis=3))
    ghost = np.roll(support, support.shape[1] // 2, axis=1) & ~support
    return float(rss[ghost].mean() / rss[support].mean())


class _CallableModule(types.ModuleType):
    """This module, callable as its function phantom."""

    def __call__(self, *args, **kwargs):
        return phantom(*args, **kwargs)


sys.modules[__name__].__class__ = _CallableModule
