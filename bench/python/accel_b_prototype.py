"""Prototype (numpy) of a fill of accelerated frames from the acquired lines of both
polarities, measured against tarvo's own fill and the conventional pipeline on the phantom.

Each single-polarity k-space (positive: lines read with positive polarity, negative likewise)
is completed line by line: line n of the half of polarity s, unless it was read with polarity
s, is predicted from the nearest acquired lines around it (q on either side, and n itself when
it was read with the other polarity), 5 readout samples x L coils each, each source line with
weights for its own polarity. The weights of a pattern (target polarity, source offsets and
source polarities) are fitted on the calibration pair's two single-polarity k-spaces, where
both polarities are known at every line; no training position reaches across the pair's ends.
The completed halves are taken to image space, phase-aligned (a linear-along-readout plus
constant phase difference per coil image, removed half on each) and averaged.

    PYTHONPATH=build/python /usr/bin/python3 bench/python/accel_b_prototype.py [--coils=8,32]
        [--q=1] [--noise=0.01]
"""

import argparse
import os
import sys

import numpy as np

from tarvo.phantom import accelerated, coil_images, ghost_to_signal, rss_error

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "python", "tests"))
from accel_figures import conventional_images, tarvo_images  # noqa: E402

WIDTH = 5
RIDGE = 1e-5
MIN_EQUATIONS_PER_UNKNOWN = 3


def single_polarity(even, odd, calibration):
    """(positive, negative) k-spaces of the pair: even reads frame line ky with positive
    polarity when ky is even."""
    pos_even = (np.asarray(calibration) % 2 == 0)[None, :, None, None]
    return np.where(pos_even, even, odd), np.where(pos_even, odd, even)


def shifted(k, j):
    """k (M x lines x L) with sample m holding sample (m + j) mod M."""
    return np.roll(k, -j, axis=0)


def sources_of(halves, n, pattern, window):
    """Rows of the sources of lines n (array) for readout samples `window`:
    (len(window) * len(n)) x (S * WIDTH * L). halves[p] is the k-space of polarity p (+1/-1),
    M x lines x L; pattern the ((offset, polarity), ...) of the sources."""
    parts = []
    for off, pol in pattern:
        k = halves[pol][:, n + off]
        for j in range(-(WIDTH // 2), WIDTH // 2 + 1):
            parts.append(shifted(k, j)[window])              # len(window) x len(n) x L
    src = np.stack(parts, axis=2)                            # W x n x (S*WIDTH) x L
    return src.reshape(src.shape[0] * src.shape[1], -1)


def fit(cal, s, pattern):
    """Weights (S*WIDTH*L x L) predicting cal[s] at a line from its pattern's sources."""
    M, Nc, L = cal[1].shape
    offsets = [o for o, _ in pattern]
    train = np.arange(max(0, -min(offsets)), Nc - max(0, max(offsets)))
    if train.size == 0:
        raise ValueError(f"no training line for {pattern}")
    K = len(pattern) * WIDTH * L
    window = np.arange((M - M // 4) // 2, (M - M // 4) // 2 + M // 4)
    if train.size * window.size < MIN_EQUATIONS_PER_UNKNOWN * K:
        window = np.arange(M)
    A = sources_of(cal, train, pattern, window)
    b = cal[s][window][:, train].reshape(window.size * train.size, L)
    normal = A.conj().T @ A
    normal += RIDGE * np.trace(normal).real / K * np.eye(K)
    return np.linalg.solve(normal, A.conj().T @ b)


def patterns_of(lines, polarity, N, R, q):
    """{(s, pattern): [target lines]} of both halves of a frame of N lines."""
    where = {int(l): int(p) for l, p in zip(lines, polarity)}
    lines = np.asarray(lines)
    ext = np.concatenate([lines - N, lines, lines + N])
    pol = np.concatenate([polarity] * 3)
    out = {}
    for s in (1, -1):
        for n in range(N):
            if where.get(n) == s:
                continue
            below = np.nonzero(ext < n)[0][::-1]
            above = np.nonzero(ext > n)[0]
            if n not in where and ext[above[0]] - ext[below[0]] > R:
                continue                                     # beyond a partial-Fourier edge
            src = [] if n not in where else [(0, -s)]
            for side in (below, above):
                prev = n
                for i in side[:q]:
                    if abs(ext[i] - prev) > R:
                        break
                    src.append((int(ext[i] - n), int(pol[i])))
                    prev = ext[i]
            out.setdefault((s, tuple(sorted(src))), []).append(n)
    return out


def align_and_average(a, b):
    """a, b: coil images (M x N x L) of the two halves; phase-aligned per coil (linear along
    the readout plus constant, half on each) and averaged."""
    M = a.shape[0]
    out = np.empty_like(a)
    x = np.arange(M) - M // 2
    for c in range(a.shape[2]):
        P = a[:, :, c] * np.conj(b[:, :, c]) / np.maximum(np.abs(a[:, :, c]), 1e-300)
        mask = np.abs(P) > 0.2 * np.abs(P).max()
        u = np.linalg.svd(np.conj(np.where(mask, P, 0)))[0][:, 0]
        rows = mask.sum(axis=1) > 3
        phase = np.unwrap(-np.angle(u))
        # u's phase is minus the row profile of P's phase (up to a constant)
        slope = np.polyfit(x[rows], phase[rows], 1)[0] if rows.sum() > 1 else 0.0
        ta = a[:, :, c] * np.exp(-0.5j * slope * x)[:, None]
        tb = b[:, :, c] * np.exp(0.5j * slope * x)[:, None]
        P = ta * np.conj(tb)
        phi0 = np.angle(np.sum((P / np.maximum(np.abs(ta), 1e-300))[mask]))
        out[:, :, c] = (ta * np.exp(-0.5j * phi0) + tb * np.exp(0.5j * phi0)) / 2
    return out


def to_images(k):
    """Centred inverse 2-D DFT of M x N x L."""
    return coil_images(k[:, :, None])[:, :, 0]


def method_b(acq, R, q, kernels=None):
    """Coil images of the accelerated target by the both-polarity fill (kernels: a cache
    {(z, s, pattern): W} reused across calls on the same pair)."""
    M, N, Z, L = acq.target.shape
    pos, neg = single_polarity(acq.even, acq.odd, acq.calibration)
    kernels = {} if kernels is None else kernels
    E = np.empty(acq.target.shape, dtype=complex)
    pats = patterns_of(acq.lines, acq.polarity, N, R, q)
    for z in range(Z):
        cal = {1: pos[:, :, z], -1: neg[:, :, z]}
        t = acq.target[:, :, z]
        half = {s: np.zeros_like(t) for s in (1, -1)}
        for l, p in zip(acq.lines, acq.polarity):
            half[int(p)][:, l] = t[:, l]
        # circular line index for sources
        tx = {p: np.concatenate([h] * 3, axis=1) for p, h in half.items()}
        filled = {s: half[s].copy() for s in (1, -1)}
        for (s, pattern), targets in pats.items():
            key = (z, s, pattern)
            if key not in kernels:
                kernels[key] = fit(cal, s, pattern)
            n = np.asarray(targets) + N
            A = sources_of(tx, n, pattern, np.arange(M))
            filled[s][:, targets] = (A @ kernels[key]).reshape(M, len(targets), L)
        E[:, :, z] = align_and_average(to_images(filled[1]), to_images(filled[-1]))
    return E


def method_a_numpy(acq, R):
    """The fill of each single-polarity half from its own lines (2 lines, up to 2R apart),
    trained on the averaged, aligned calibration: the harness check against tarvo's own."""
    M, N, Z, L = acq.target.shape
    pos, neg = single_polarity(acq.even, acq.odd, acq.calibration)
    E = np.empty(acq.target.shape, dtype=complex)
    for z in range(Z):
        avg = align_and_average(to_images(pos[:, :, z]), to_images(neg[:, :, z]))
        D = np.fft.fftshift(np.fft.fft2(np.fft.ifftshift(avg, axes=(0, 1)), axes=(0, 1)),
                            axes=(0, 1))
        cal = {1: D, -1: D}
        t = acq.target[:, :, z]
        out = []
        for s in (1, -1):
            lines = acq.lines[acq.polarity == s]
            pol = np.full(lines.size, 1)
            pats = patterns_of(lines, pol, N, 2 * R, 1)
            h = np.zeros_like(t)
            h[:, lines] = t[:, lines]
            tx = {1: np.concatenate([h] * 3, axis=1)}
            f = h.copy()
            for (s2, pattern), targets in pats.items():
                if s2 != 1:
                    continue
                W = fit(cal, 1, pattern)
                A = sources_of(tx, np.asarray(targets) + N, pattern, np.arange(M))
                f[:, targets] = (A @ W).reshape(M, len(targets), L)
            out.append(to_images(f))
        E[:, :, z] = align_and_average(out[0], out[1])
    return E


def quality(E, acq):
    return (f"ghost/signal {ghost_to_signal(E, acq.support):.2e}, "
            f"RMS error {100 * rss_error(E, acq.images, acq.support):.2f} %")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--coils", default="8,32")
    parser.add_argument("--q", default="1")
    parser.add_argument("--noise", type=float, default=0.01)
    parser.add_argument("--check", action="store_true", help="the harness check only")
    args = parser.parse_args()
    for L in (int(v) for v in args.coils.split(",")):
        def acquire(**kw):
            return accelerated(64, 64, 2, L, **kw)

        print(f"64 x 64 x 2 slices x {L} coils")
        acq = acquire(R=2)
        print(f" harness: R = 2 tarvo {quality(tarvo_images(acq, 2), acq)}")
        print(f"          R = 2 numpy copy of tarvo's fill {quality(method_a_numpy(acq, 2), acq)}")
        if args.check:
            continue
        for q in (int(v) for v in args.q.split(",")):
            print(f" both-polarity fill, {q} source line(s) on either side:")
            for R in (2, 3, 4):
                acq = acquire(R=R)
                E, C = method_b(acq, R, q), conventional_images(acq)
                ratio = ghost_to_signal(C, acq.support) / ghost_to_signal(E, acq.support)
                print(f"  full pair R = {R}: {quality(E, acq)}; conventional "
                      f"{quality(C, acq)}, its ghost/signal {ratio:.1f}x")
            for R in (2, 3, 4):
                acq = acquire(R=R, calibration_lines=32)
                print(f"  32-line block R = {R}: {quality(method_b(acq, R, q), acq)}")
            acq = acquire(R=2, block=8)
            print(f"  8-line central block in the target, R = 2: {quality(method_b(acq, 2, q), acq)}")
            # Noise amplification: tarvo's fully sampled correction is the reference.
            ref_clean, ref_noisy = acquire(R=1), acquire(R=1, noise=args.noise, seed=1)
            full = np.sqrt(np.mean(np.abs((tarvo_images(ref_noisy, 1)
                                           - tarvo_images(ref_clean, 1))[ref_clean.support])
                                   ** 2))
            for R in (2, 3, 4):
                clean = acquire(R=R)
                noisy = acquire(R=R, noise=args.noise, seed=1, noisy_pair=True)
                levels = []
                for pair in (clean, noisy):
                    cache = {}
                    d = method_b(pair._replace(target=noisy.target), R, q, cache) - \
                        method_b(pair._replace(target=clean.target), R, q, cache)
                    levels.append(np.sqrt(np.mean(np.abs(d[clean.support]) ** 2)))
                print(f"  noise amplification R = {R}: " +
                      " / ".join(f"{v / full * np.sqrt(1 / R):.2f}" for v in levels))
        print()


if __name__ == "__main__":
    main()
