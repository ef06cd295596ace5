"""The conventional reconstruction of an accelerated echo-planar frame, the reference tarvo is
measured against (numpy only):

1. a 1-D phase error phi(x) = a + b*(x - M/2) per slice, estimated from the dual-polarity
   calibration pair in hybrid space (readout position x, line ky);
2. each line of the target multiplied by exp(-1j*p*phi(x)) in hybrid space, p its polarity;
3. each missing line filled by a parallel-imaging kernel: 2 source lines (the nearest
   acquired line on either side) x 5 readout samples x all coils -> all coils, one kernel per
   slice and source geometry, trained by least squares on the corrected calibration k-space
   (the mean of the two corrected frames);
4. the centred inverse 2-D DFT.

Lines below the first acquired line or above the last stay zero.
"""

import numpy as np

from tarvo.phantom import coil_images

WIDTH = 5           # readout samples per source line


def _hybrid(k):
    """Hybrid space of k-space: the centred inverse DFT along the readout."""
    return np.fft.fftshift(np.fft.ifft(np.fft.ifftshift(k, axes=0), axis=0), axes=0)


def _kspace(h):
    """k-space of hybrid space: the centred DFT along the readout."""
    return np.fft.fftshift(np.fft.fft(np.fft.ifftshift(h, axes=0), axis=0), axes=0)


def linear_phase(even, odd, calibration):
    """phi (M x Z): the 1-D phase error a + b*(x - M/2) of each slice.

    calibration holds the frame lines of the pair; line ky of even has positive polarity when
    ky is even. Per line, even * conj(odd) is |image|^2 exp(+-2j*phi): summed over coils and
    lines (conjugated where the polarity is negative) it is w(x) exp(2j*phi(x)). The slope
    comes first from the products of neighbouring samples, then the constant from the sum;
    a weighted (by w) least-squares line through the small remaining phase refines both.
    """
    M = even.shape[0]
    x = np.arange(M) - M / 2
    prod = _hybrid(even) * np.conj(_hybrid(odd))
    negative = np.asarray(calibration) % 2 == 1
    prod[:, negative] = np.conj(prod[:, negative])
    P = prod.sum(axis=(1, 3))                                       # M x Z: w exp(2j phi)
    phi = np.empty(P.shape)
    for z in range(P.shape[1]):
        p = P[:, z]
        slope = np.angle(np.sum(p[1:] * np.conj(p[:-1])))
        p = p * np.exp(-1j * slope * x)
        offset = np.angle(np.sum(p))
        rest = np.angle(p * np.exp(-1j * offset))
        w = np.sqrt(np.abs(p))
        fit = np.linalg.lstsq(np.stack([w, w * x], axis=1), w * rest, rcond=None)[0]
        phi[:, z] = (offset + fit[0] + (slope + fit[1]) * x) / 2
    return phi


def _sources(k, ky, below, above):
    """Rows of source samples for target lines ky (k zero-padded along the readout):
    (M_rows * len(ky)) x (2 * WIDTH * L)."""
    M = k.shape[0] - WIDTH + 1
    parts = [k[o:o + M, line] for line in (ky - below, ky + above) for o in range(WIDTH)]
    src = np.stack(parts, axis=2)                                   # M x lines x 2W x L
    return src.reshape(M * len(ky), -1)


def fill(k, lines, cal, regularisation=1e-4):
    """k (M x N x Z x L) with its missing lines filled; lines are its acquired lines, cal
    (M x Nc x Z x L) fully sampled k-space of Nc consecutive lines."""
    M, N, Z, L = k.shape
    lines = np.sort(np.asarray(lines))
    h = WIDTH // 2
    padded = np.pad(k, ((h, h), (0, 0), (0, 0), (0, 0)))
    padded_cal = np.pad(cal, ((h, h), (0, 0), (0, 0), (0, 0)))
    missing = np.setdiff1d(np.arange(lines[0], lines[-1] + 1), lines)
    at = np.searchsorted(lines, missing)
    geometry = np.stack([missing - lines[at - 1], lines[at] - missing], axis=1)
    out = k.copy()
    Nc = cal.shape[1]
    for below, above in np.unique(geometry, axis=0):
        wanted = missing[(geometry == (below, above)).all(axis=1)]
        train = np.arange(below, Nc - above)                        # within the block only
        if train.size == 0:
            raise ValueError(f"fill: no calibration line has neighbours {below} and {above} away")
        for z in range(Z):
            A = _sources(padded_cal[:, :, z], train, below, above)
            B = cal[:, train, z].reshape(M * len(train), L)
            keep = np.tile((np.arange(M) >= h) & (np.arange(M) < M - h), len(train))
            A, B = A[keep], B[keep]                                 # whole readout windows only
            normal = A.conj().T @ A
            normal += regularisation * np.trace(normal).real / len(normal) * np.eye(len(normal))
            W = np.linalg.solve(normal, A.conj().T @ B)
            out[:, wanted, z] = (_sources(padded[:, :, z], wanted, below, above) @ W).reshape(
                M, len(wanted), L)
    return out


def reconstruct(even, odd, calibration, target, lines, polarity):
    """Coil images (M x N x Z x L) of the accelerated target by the conventional pipeline."""
    phi = linear_phase(even, odd, calibration)[:, None, :, None]
    sign = np.where(np.asarray(calibration) % 2 == 0, 1, -1)[None, :, None, None]
    cal = (_kspace(_hybrid(even) * np.exp(-1j * sign * phi))
           + _kspace(_hybrid(odd) * np.exp(1j * sign * phi))) / 2
    h = _hybrid(target)
    h[:, lines] *= np.exp(-1j * np.asarray(polarity)[None, :, None, None] * phi)
    return coil_images(fill(_kspace(h), lines, cal))
