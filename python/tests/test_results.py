"""Results: the MEX entry point's bits, whatever the memory layout, thread count or route."""

import pickle

import numpy as np
import pytest
from conftest import hostrun, same_bits

import tarvo


def test_correct_gives_the_bits_of_the_mex_entry_with_two_and_three_inputs(pair, tmp_path):
    even, odd = pair
    target = np.asfortranarray(odd * (0.5 - 0.25j) + even * 0.1)
    for inputs in [(even, odd), (even, odd, target)]:
        E, F, K = tarvo.correct(*inputs)
        E_mex, F_mex, K_mex = hostrun(tmp_path, *inputs)
        assert same_bits(E, E_mex) and same_bits(F, F_mex)
        assert len(K) == len(K_mex) == even.shape[2]
        for k, k_mex in zip(K, K_mex):
            assert k["dk"] == k_mex["dk"] and k["pattern"] == k_mex["pattern"]
            assert same_bits(k["coef"], k_mex["coef"])
        assert E.flags.f_contiguous and F.flags.f_contiguous
        assert K[0]["coef"].shape == (10 * even.shape[3], even.shape[3])


def test_slice_extents_are_folded_as_the_mex_entry_folds_them(tmp_path):
    even, odd, _, _ = tarvo.phantom(16, 12, 6, 3)
    even5 = even.reshape(16, 12, 2, 3, 3, order="F")
    odd5 = odd.reshape(16, 12, 2, 3, 3, order="F")
    E, F, K = tarvo.correct(even5, odd5)
    E_mex, F_mex, _ = hostrun(tmp_path, even5, odd5)
    assert E.shape == (16, 12, 6, 3) and len(K) == 6
    assert same_bits(E, E_mex) and same_bits(F, F_mex)
    assert same_bits(E, tarvo.correct(even, odd)[0])


def test_every_layout_and_thread_count_gives_the_same_bits_and_inputs_stay_unchanged(pair):
    even, odd = pair
    reference = tarvo.correct(even, odd)
    kept = (even.copy(order="F"), odd.copy(order="F"))
    # C order; a strided view (every other line of a twice-as-long array); reversed strides;
    # an unaligned buffer.
    wide = np.zeros(even.shape[:1] + (2 * even.shape[1],) + even.shape[2:], np.complex128)
    wide[:, ::2] = even
    reversed_odd = np.asfortranarray(odd[::-1])[::-1]
    raw = np.zeros(odd.size * 16 + 1, np.uint8)
    unaligned = raw[1:].view(np.complex128).reshape(odd.shape, order="F")
    unaligned[...] = odd
    assert not unaligned.flags.aligned
    for e, o, threads in [(np.ascontiguousarray(even), odd, None), (wide[:, ::2], odd, 1),
                          (even, reversed_odd, 2), (even, unaligned, 3)]:
        E, F, K = tarvo.correct(e, o, threads=threads)
        assert same_bits(E, reference[0]) and same_bits(F, reference[1])
    assert same_bits(even, kept[0]) and same_bits(odd, kept[1])


def test_apply_corrects_each_frame_of_a_series_as_the_mex_entry_corrects_a_target(pair,
                                                                                  tmp_path):
    even, odd = pair
    cal = tarvo.calibrate(even, odd)
    frames = [odd, even, np.asfortranarray(odd * 1j - 0.3 * even)]
    series = np.stack(frames, axis=-1)              # C-ordered frames: copied one at a time
    E = cal.apply(series, threads=1)
    assert E.shape == series.shape and E.flags.f_contiguous
    for t, frame in enumerate(frames):
        assert same_bits(E[..., t], cal.apply(frame))
    assert same_bits(E[..., 2], hostrun(tmp_path, even, odd, frames[2])[0])
    # Two series extents of different lengths, C-ordered: each of six distinct frames, counted
    # across both extents, is gathered from its own place.
    six = np.stack([odd * np.exp(0.4j * t) + 0.1 * t * even for t in range(6)], axis=-1)
    E6 = cal.apply(np.ascontiguousarray(six.reshape(six.shape[:4] + (2, 3), order="F")))
    for t in range(6):
        assert same_bits(E6[..., t % 2, t // 2], cal.apply(six[..., t]))


def test_kernels_round_trip_through_from_kernels_pickle_and_a_mat_file(pair, tmp_path):
    from scipy.io import loadmat, savemat

    from tarvo._matfile import kernel_struct

    even, odd = pair
    E, _, K = tarvo.correct(even, odd)
    savemat(tmp_path / "k.mat", {"K": kernel_struct(K)})
    loaded = loadmat(tmp_path / "k.mat")["K"]
    _, _, K_mex = hostrun(tmp_path, even, odd)     # dk as a double, as the MEX gives it
    for kernels in [K, loaded, K_mex]:
        cal = tarvo.Calibration.from_kernels(kernels)
        assert cal.shape == (None, None, even.shape[2], even.shape[3])
        assert same_bits(cal.apply(odd), E)
        assert cal.shape == even.shape
        again = pickle.loads(pickle.dumps(cal))
        assert again.shape == even.shape and same_bits(again.apply(odd), E)
    back = tarvo.Calibration.from_kernels(loaded).kernels
    assert all(same_bits(a["coef"], b["coef"]) and a["dk"] == b["dk"] for a, b in zip(K, back))
    # A fixed frame size from the start.
    with pytest.raises(ValueError, match="the kernels are for 48 x 16 x 3 x 4 volumes"):
        tarvo.Calibration.from_kernels(K, shape=(48, 16)).apply(odd)


def test_outputs_do_not_rely_on_cleared_memory(pair):
    # Outputs are allocated uncleared: every element must be written by the core. Freed blocks
    # full of NaN make a missed element show.
    even, odd = pair
    cal = tarvo.calibrate(even, odd)
    kx = np.linspace(-13, 12.5, 30)                   # resampled, not copied
    raw = np.asfortranarray(np.concatenate([odd, odd[:6]]))
    expected = (tarvo.correct(even, odd), cal.apply(odd), tarvo.prepare(raw, kx, "odd", 24))
    for size in (odd.size, 2 * odd.size, raw.size):
        junk = [np.full(size + k, np.nan, np.complex128) for k in range(4)]
        del junk
        got = (tarvo.correct(even, odd), cal.apply(odd), tarvo.prepare(raw, kx, "odd", 24))
        assert all(same_bits(a, b) for a, b in zip(got[0][:2], expected[0][:2]))
        assert same_bits(got[1], expected[1]) and same_bits(got[2], expected[2])
