"""Series as users run them: complex64 data, progress, Ctrl-C; the package's public face."""

import os
import signal
import threading

import numpy as np
import pytest
from conftest import same_bits

import tarvo


def test_complex64_is_computed_in_double_and_rounded_once(pair):
    even, odd = pair
    series = np.stack([odd, 1j * even, odd - even], axis=-1).astype(np.complex64)
    cal = tarvo.calibrate(even, odd)
    exact = cal.apply(series.astype(np.complex128))
    single = cal.apply(series)
    assert single.dtype == np.complex64 and single.flags.f_contiguous
    # The same double result as for the widened input, rounded to single precision once.
    assert same_bits(single, exact.astype(np.complex64))
    assert same_bits(cal.apply(series, dtype=np.complex128), exact)
    # coil-first C-ordered data (L x Z x N x M) is passed as its transpose, without a copy.
    coil_first = np.ascontiguousarray(series[..., 0].T)
    assert same_bits(cal.apply(coil_first.T), single[..., 0])
    E, F, K = tarvo.correct(even.astype(np.complex64), odd.astype(np.complex64))
    E2, F2, _ = tarvo.correct(even.astype(np.complex64).astype(np.complex128),
                              odd.astype(np.complex64).astype(np.complex128))
    assert E.dtype == F.dtype == np.complex64 and K[0]["coef"].dtype == np.complex128
    assert same_bits(E, E2.astype(np.complex64)) and same_bits(F, F2.astype(np.complex64))
    with pytest.raises(ValueError, match=r"^dtype must be complex64, complex128 or None; got "):
        cal.apply(series, dtype=np.float32)


def test_progress_reports_every_frame_and_ctrl_c_stops_the_series_within_two_frames():
    even, odd, _, _ = tarvo.phantom(48, 32, 2, 8)
    cal = tarvo.calibrate(even, odd)
    series = np.repeat(odd[..., None], 60, axis=-1)
    seen = []
    cal.apply(series[..., :4], progress=lambda done, total: seen.append((done, total)))
    assert seen == [(1, 4), (2, 4), (3, 4), (4, 4)]

    done, sent = [], []
    reached = threading.Event()

    def interrupt():
        reached.wait()
        sent.append(len(done))
        os.kill(os.getpid(), signal.SIGINT)     # delivered to the main thread, as Ctrl-C is

    sender = threading.Thread(target=interrupt)
    sender.start()

    def progress(k, total):
        done.append(k)
        if k == 3:
            reached.set()
    with pytest.raises(KeyboardInterrupt):
        cal.apply(series, threads=1, progress=progress)
    sender.join()
    assert len(done) < 60 and len(done) - sent[0] <= 2
    # The calibration is intact afterwards.
    assert same_bits(cal.apply(series[..., :1]), cal.apply(odd)[..., None])


def test_dask_threads_correct_the_blocks_of_one_calibration_with_its_bits(pair):
    # dask's threaded scheduler runs the blocks of a graph side by side on the one Calibration
    # object it holds, each thread on a copy of its own: a fitted calibration, and one made from
    # kernels that takes its frame extents from the frames.
    da = pytest.importorskip("dask.array")
    even, odd = pair
    series = np.stack([odd * np.exp(0.4j * t) for t in range(4)], axis=-1)
    fitted = tarvo.calibrate(even, odd)
    x = da.from_array(series, chunks=series.shape[:4] + (1,))
    for cal in (fitted, tarvo.Calibration.from_kernels(fitted.kernels)):
        E = cal.apply(x, threads=1).compute(scheduler="threads", num_workers=2)
        assert same_bits(E, fitted.apply(series, threads=1))


def test_public_face_version_phantom_module_and_calibration_construction():
    assert tarvo.__version__.count(".") == 2
    assert os.path.exists(os.path.join(os.path.dirname(tarvo.__file__), "py.typed"))
    even, odd, images, support = tarvo.phantom(32, 32, 1, 2)
    assert tarvo.phantom.ghost_to_signal(tarvo.phantom.coil_images(even), support) > 0.05
    with pytest.raises(TypeError, match=r"^a Calibration is made by tarvo\.calibrate"):
        tarvo.Calibration()
    with pytest.raises(TypeError, match=r"^progress= is for numpy series"):
        da = pytest.importorskip("dask.array")
        tarvo.calibrate(even, odd).apply(da.from_array(odd), progress=True)
