"""Figures of accelerated correction, on the phantom (tarvo.phantom.accelerated, its default
2-D phase error, no noise unless said), for each coil count:

- full calibration pair, R = 1..4: ghost-to-signal ratio and normalised RMS error over the
  object of the root-sum-of-squares image against the truth's, for tarvo and for the
  conventional pipeline of the tests (1-D linear phase correction, then a 2 x 5 parallel-
  imaging fill), and the ratio of their ghost-to-signal ratios;
- a 32-line central calibration block, R = 2..4: the same; an 8-line one, R = 2 and 3 (the
  kernels too wide for it left out);
- partial Fourier (3/4 of the lines, R = 2): the error against the truth without the lines
  beyond the edge, and the largest k-space sample of tarvo's result beyond the edge;
- a central 8-line block in the target with a parity change (R = 2);
- noise amplification of the fill per R: the noise in the corrected coil images over the
  noise in fully sampled corrected coil images, times sqrt(1/R) (1 = as good as the fewer
  samples allow), each noise the root-mean-square over the object of the run on the noisy
  target minus the run on the noiseless target, with the same kernels: fitted on the
  noiseless pair, and fitted on a pair with noise of the same level (as real pairs have).

    PYTHONPATH=build/python /usr/bin/python3 bench/python/accel_figures.py [--size=64x64x2]
        [--coils=8,32] [--noise=0.01] [--c=0.6] [--d=0.02]
"""

import argparse
import os
import sys

import numpy as np

import tarvo
from tarvo.phantom import accelerated, coil_images, ghost_to_signal, rss_error

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "python", "tests"))
import conventional  # noqa: E402


def kspace(images):
    return np.fft.fftshift(np.fft.fft2(np.fft.ifftshift(images, axes=(0, 1)), axes=(0, 1)),
                           axes=(0, 1))


def tarvo_images(acq, R):
    cal = tarvo.calibrate(acq.even, acq.odd) if R == 1 else \
        tarvo.calibrate(acq.even, acq.odd, R=R)
    return cal.apply(acq.target)


def conventional_images(acq):
    return conventional.reconstruct(acq.even, acq.odd, acq.calibration, acq.target, acq.lines,
                                    acq.polarity)


def attempt(f, *args):
    """f(*args), or the exception's text when it fails."""
    try:
        return f(*args)
    except Exception as e:  # a figure that cannot be had is printed as such
        return f"{type(e).__name__}: {e}"


def quality(E, acq, truth=None):
    if isinstance(E, str):
        return E
    truth = acq.images if truth is None else truth
    return (f"ghost/signal {ghost_to_signal(E, acq.support):.2e}, "
            f"RMS error {100 * rss_error(E, truth, acq.support):.2f} %")


def compare(label, acq, R):
    E, C = attempt(tarvo_images, acq, R), conventional_images(acq)
    print(f"  {label}: tarvo {quality(E, acq)}")
    line = f"  {' ' * len(label)}  conventional {quality(C, acq)}"
    if not isinstance(E, str):
        ratio = ghost_to_signal(C, acq.support) / ghost_to_signal(E, acq.support)
        line += f"; its ghost/signal {ratio:.1f}x tarvo's"
    print(line)


def noise_level(noisy, clean, support):
    diff = noisy - clean
    return np.sqrt(np.mean(np.abs(diff[support]) ** 2))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", default="64x64x2")
    parser.add_argument("--coils", default="8,32")
    parser.add_argument("--noise", type=float, default=0.01)
    parser.add_argument("--c", type=float, default=0.6)
    parser.add_argument("--d", type=float, default=0.02)
    args = parser.parse_args()
    M, N, Z = (int(v) for v in args.size.split("x"))
    for L in (int(v) for v in args.coils.split(",")):
        def acquire(**kw):
            return accelerated(M, N, Z, L, c=args.c, d=args.d, **kw)

        print(f"{M} x {N} x {Z} slices x {L} coils, phi = 0.5 + 0.04 (x - M/2) + "
              f"{args.c} (ky - N/2)/N + {args.d} (x - M/2)(ky - N/2)/N")
        print(" full calibration pair:")
        for R in (1, 2, 3, 4):
            compare(f"R = {R}", acquire(R=R), R)
        print(" 32-line central calibration block:")
        for R in (2, 3, 4):
            compare(f"R = {R}", acquire(R=R, calibration_lines=min(32, N)), R)
        print(" 8-line central calibration block:")
        for R in (2, 3):
            compare(f"R = {R}", acquire(R=R, calibration_lines=min(8, N)), R)
        pf = acquire(R=2, partial_fourier=0.75)
        edge = pf.lines[0]
        truth = kspace(pf.images)
        truth[:, :edge] = 0
        E = attempt(tarvo_images, pf, 2)
        print(f" partial Fourier 3/4, R = 2 (truth without lines 0..{edge - 1}): tarvo "
              f"{quality(E, pf, coil_images(truth))}", end="")
        if not isinstance(E, str):
            k = kspace(E)
            print(f"; beyond the edge |k| <= {np.abs(k[:, :edge]).max() / np.abs(k).max():.1e}"
                  f" of the largest", end="")
        print()
        block = acquire(R=2, block=8)
        print(f" 8-line central block with a parity change, R = 2: tarvo "
              f"{quality(attempt(tarvo_images, block, 2), block)}")
        print(f" noise amplification of the fill (noise {args.noise} of the k-space RMS), "
              "noise / fully sampled noise * sqrt(1/R), kernels from the noiseless pair / "
              "from a pair with the same noise:")
        full = {}
        for R in (1, 2, 3, 4):
            clean = acquire(R=R)
            noisy = acquire(R=R, noise=args.noise, seed=1, noisy_pair=True)
            figures = []
            for name, recon in (("tarvo", lambda a: tarvo_images(a, R)),
                                ("conventional", conventional_images)):
                levels = []
                for kernels in (clean, noisy):      # the pair the kernels are fitted on
                    try:
                        levels.append(noise_level(recon(kernels._replace(target=noisy.target)),
                                                  recon(kernels._replace(target=clean.target)),
                                                  clean.support))
                    except Exception as e:
                        levels.append(f"{type(e).__name__}: {e}")
                full.setdefault(name, levels)
                figures.append(f"{name} " + " / ".join(
                    v if isinstance(v, str) else f"{v / v1 * np.sqrt(1 / R):.2f}"
                    for v, v1 in zip(levels, full[name])))
            print(f"  R = {R}: " + ", ".join(figures))
        print()


if __name__ == "__main__":
    main()
