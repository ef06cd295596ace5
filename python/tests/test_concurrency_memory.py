"""Calls from several Python threads at once, and resident memory over many calls."""

import sys
import threading
import time

import numpy as np
from conftest import same_bits

import tarvo


def test_two_threads_correct_two_volumes_at_once_with_exact_results():
    volumes = [tarvo.phantom(48, 32, 2, 6, a=a)[:2] for a in (0.3, 0.6)]
    expected = [tarvo.correct(e, o, threads=1) for e, o in volumes]
    shared = tarvo.calibrate(*volumes[0])
    results, errors = {}, []
    start = threading.Barrier(4)

    def run(key, job):
        try:
            start.wait()
            for _ in range(5):
                results[key] = job()
        except Exception as e:  # reported below
            errors.append(e)

    jobs = {0: lambda: tarvo.correct(*volumes[0], threads=1),
            1: lambda: tarvo.correct(*volumes[1], threads=1),
            # Two threads on one Calibration: its lock makes them take turns.
            2: lambda: shared.apply(volumes[0][1], threads=1),
            3: lambda: shared.apply(volumes[0][1], threads=2)}
    threads = [threading.Thread(target=run, args=(k, j)) for k, j in jobs.items()]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for k in (0, 1):
        assert all(same_bits(a, b) for a, b in zip(results[k][:2], expected[k][:2]))
    assert same_bits(results[2], expected[0][0]) and same_bits(results[3], expected[0][0])


def _rss_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def test_a_thousand_calls_keep_resident_memory_within_five_percent():
    even, odd, _, _ = tarvo.phantom(32, 32, 2, 4)
    c_even = np.ascontiguousarray(even)
    bad = odd[:16]

    def calls(n):
        for i in range(n):
            E, F, K = tarvo.correct(c_even, odd)
            if i % 10 == 0:
                try:
                    tarvo.correct(even, bad)
                except ValueError:
                    pass
        return E

    calls(50)  # warm-up: first-use allocations of numpy, the heap and the FFT plans
    before = _rss_kib()
    calls(1000)
    growth = (_rss_kib() - before) / before
    print(f"RSS over 1000 calls: {before} KiB -> {_rss_kib()} KiB ({100 * growth:+.2f} %)")
    assert growth <= 0.05


def test_the_gil_is_released_while_the_core_runs():
    even, odd, _, _ = tarvo.phantom(64, 64, 2, 8)
    count, done = [0], threading.Event()

    def spin():  # gives the GIL back after every step, so the main thread never waits long
        while not done.is_set():
            count[0] += 1
            time.sleep(0)

    old = sys.getswitchinterval()
    sys.setswitchinterval(100.0)  # this thread keeps the GIL unless a call lets it go
    spinner = threading.Thread(target=spin)
    try:
        spinner.start()
        while count[0] == 0:
            done.wait(0.001)      # waiting lets the spinner start
        before = count[0]
        tarvo.correct(even, odd)
        during = count[0] - before
        cal = tarvo.calibrate(even, odd)
        before = count[0]
        cal.apply(odd)
        during_apply = count[0] - before
    finally:
        done.set()
        sys.setswitchinterval(old)
        spinner.join()
    assert during > 0 and during_apply > 0


def test_a_call_that_needs_more_memory_than_any_before_gives_it_back():
    small = tarvo.phantom(32, 32, 2, 4)[:2]
    for _ in range(20):
        tarvo.correct(*small)
    before = _rss_kib()
    even, odd, _, _ = tarvo.phantom(128, 128, 4, 16)
    tarvo.calibrate(even, odd)  # tens of MB of working memory, kept only while it runs
    kept = (even.nbytes + odd.nbytes) / 1024
    assert _rss_kib() - before - kept < odd.nbytes / 1024 / 4
