"""Python binding figures: two volumes corrected by two Python threads at once against one after
the other (the GIL is released while the core runs), and resident memory over 1000 calls.

    PYTHONPATH=build/python /usr/bin/python3 bench/python/python_bench.py [--reps=5] [--size=M]

Sizes as the pipeline benchmark's: S 64x64x4x8, M 128x96x4x32. Each figure is the median of
the repetitions; every call runs on one core thread (threads=1), so two calls at once can use
two cores.
"""

import statistics
import sys
import threading
import time

import numpy as np

import tarvo

SIZES = {"S": (64, 64, 4, 8), "M": (128, 96, 4, 32)}


def median_time(job, reps):
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        job()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def rss_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def main():
    args = dict(a.lstrip("-").split("=") for a in sys.argv[1:])
    reps, size = int(args.get("reps", 5)), args.get("size", "M")
    pairs = [tarvo.phantom(*SIZES[size], a=a)[:2] for a in (0.3, 0.6)]

    def one_after_the_other():
        for even, odd in pairs:
            tarvo.correct(even, odd, threads=1)

    def at_once():
        workers = [threading.Thread(target=tarvo.correct, args=p, kwargs={"threads": 1})
                   for p in pairs]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    one_after_the_other()
    serial, both = median_time(one_after_the_other, reps), median_time(at_once, reps)
    print(f"{size} {SIZES[size]}: one after the other {serial:.3f} s, two threads at once "
          f"{both:.3f} s, ratio {serial / both:.2f}")

    even, odd, _, _ = tarvo.phantom(32, 32, 2, 4)
    for _ in range(50):
        tarvo.correct(even, odd)
    before = rss_kib()
    for _ in range(1000):
        tarvo.correct(even, odd)
    after = rss_kib()
    print(f"RSS over 1000 calls (32x32x2x4): {before} KiB -> {after} KiB "
          f"({100 * (after - before) / before:+.2f} %)")


if __name__ == "__main__":
    main()
