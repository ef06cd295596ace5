"""Simulated multi-coil echo-planar k-space with a Nyquist ghost (no data files needed).

The module is callable: ``tarvo.phantom(M, N, Z, L)`` is ``tarvo.phantom.phantom(M, N, Z, L)``,
and ``tarvo.phantom.coil_images`` and ``tarvo.phantom.ghost_to_signal`` evaluate a result.
"""

from __future__ import annotations

import sys
import types

import numpy as np
from numpy.typing import NDArray


def _soft_inside(r, width):
    """1 well inside (r < 1), 0 well outside, 1/2 at r = 1, over about width in r."""
    return 0.5 * (1 - np.tanh((r - 1) / width))


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

    # Hybrid space: DFT along the lines only; then the parity phase; then DFT along the readout.
    phi = a + b * (np.arange(M) - M / 2)
    sign = np.where(np.arange(N) % 2 == 0, 1.0, -1.0)
    plus = np.exp(1j * np.outer(phi, sign))[:, :, None, None]
    hybrid = np.fft.fftshift(np.fft.fft(np.fft.ifftshift(images, axes=1), axis=1), axes=1)

    def readout_dft(h):
        k = np.fft.fftshift(np.fft.fft(np.fft.ifftshift(h, axes=0), axis=0), axes=0)
        return np.asfortranarray(k)

    even = readout_dft(hybrid * plus)
    odd = readout_dft(hybrid * np.conj(plus))
    return even, odd, images, support


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
