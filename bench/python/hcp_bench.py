"""An HCP-sized frame (104x90x72x32) through Calibration.apply, and a series of such frames
through dask with the memory it holds.

    PYTHONPATH=build/python /usr/bin/python3 bench/python/hcp_bench.py [--frames=100] [--reps=3]

First the time of one frame on all hardware threads (each of --reps calls, after one that is
not counted) and the peak resident memory so far; then --frames frames made lazily from the
phantom's odd frame (a phase that drifts from frame to frame), corrected through dask's
threaded scheduler and reduced to one number per frame, so that no frame is kept: its elapsed
time, time per frame and the resident high-water mark over the series (reset before it), in
frames of 345 MiB beyond what was resident before it.
"""

import sys
import time

import numpy as np

import tarvo

SHAPE = (104, 90, 72, 32)


def status_bytes(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field)) * 1024


def peak_bytes():
    return status_bytes("VmHWM:")


def reset_peak():
    """The resident high-water mark starts again from what is resident now."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def main():
    args = dict(a.lstrip("-").split("=") for a in sys.argv[1:])
    frames, reps = int(args.get("frames", 100)), int(args.get("reps", 3))
    even, odd, _, _ = tarvo.phantom(*SHAPE)
    cal = tarvo.calibrate(even, odd)
    del even
    cal.apply(odd)
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        cal.apply(odd)
        times.append(time.perf_counter() - start)
    frame_bytes = 16 * np.prod(SHAPE)
    print(f"one frame: {', '.join(f'{t:.2f}' for t in times)} s; "
          f"peak resident {peak_bytes() / 2**30:.2f} GiB")

    import dask
    import dask.array as da

    def frame(block, block_info=None):
        t = block_info[None]["chunk-location"][4]
        return (odd * np.exp(0.05j * t))[..., None]

    series = da.map_blocks(frame, da.zeros(SHAPE + (frames,), chunks=SHAPE + (1,),
                                           dtype=np.complex128), dtype=np.complex128)
    E = cal.apply(series, threads=1)
    reset_peak()
    before = status_bytes("VmRSS:")
    start = time.perf_counter()
    with dask.config.set(scheduler="threads"):
        peaks = abs(E).max(axis=(0, 1, 2, 3)).compute()
    elapsed = time.perf_counter() - start
    assert peaks.shape == (frames,) and np.all(peaks > 0)
    print(f"{frames} frames through dask: {elapsed:.1f} s, {elapsed / frames:.2f} s a frame; "
          f"peak resident {peak_bytes() / 2**30:.2f} GiB, "
          f"{(peak_bytes() - before) / frame_bytes:.1f} frames above the "
          f"{before / 2**30:.2f} GiB held before")


if __name__ == "__main__":
    main()
