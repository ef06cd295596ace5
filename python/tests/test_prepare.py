"""tarvo.prepare: exact pass-through with reversed lines flipped, resampling of a ramp-sampled
line against its closed form, and every refusal with its exception type."""

import numpy as np
import pytest

import tarvo
from conftest import same_bits


def _line_samples(kx, image, M):
    """Samples at kx of the line whose readout image on M pixels is `image` (the model)."""
    x = np.arange(M) - M // 2
    return np.exp(-2j * np.pi * np.outer(kx, x) / M) @ image


def test_uniform_grid_copies_and_flips_the_reversed_lines_exactly():
    rng = np.random.default_rng(1)
    raw = rng.standard_normal((8, 6, 2, 3)) + 1j * rng.standard_normal((8, 6, 2, 3))
    kx = np.arange(8) - 4
    for reversed_, flipped in (("odd", [1, 3, 5]), ("even", [0, 2, 4]),
                               (np.array([1, 0, 0, 0, 0, 1], bool), [0, 5])):
        k = tarvo.prepare(np.asfortranarray(raw), kx, reversed_, 8)
        want = raw.copy()
        want[:, flipped] = want[::-1, flipped]
        assert same_bits(k, want), reversed_
        assert k.flags.f_contiguous


def test_ramp_sampled_lines_reach_the_uniform_samples_of_their_image():
    M, R = 32, 54
    u = np.linspace(-1, 1, R)
    kx = 0.5 * M * (u + 0.2 * np.sin(np.pi * u) / np.pi) - 0.5  # denser on the ramps
    rng = np.random.default_rng(2)
    images = rng.standard_normal((M, 4)) + 1j * rng.standard_normal((M, 4))
    raw = np.stack([_line_samples(kx, images[:, l], M) for l in range(4)], axis=1)
    raw[:, 1::2] = raw[::-1, 1::2]  # odd lines read backwards
    k = tarvo.prepare(raw, kx, "odd", M, threads=2)
    want = np.stack([_line_samples(np.arange(M) - M // 2, images[:, l], M) for l in range(4)],
                    axis=1)
    assert np.max(np.abs(k - want)) < 1e-8 * np.max(np.abs(want))


@pytest.mark.parametrize("args, error, text", [
    ((np.ones((8, 4)), np.arange(8) - 4, "odd", 8), TypeError, r"raw must be complex samples "
     r"\(complex128 or complex64\), R x N x \.\.\.; got float64\. x\.astype\(np\.complex128\) "
     r"converts real data\.$"),
    ((np.ones((8, 4), complex), np.arange(8) * 1j, "odd", 8), TypeError, "kx must hold real"),
    ((np.ones((8, 4), complex), np.arange(8) - 4, np.ones(4, float), 8), TypeError,
     "reversed must be"),
    ((np.ones((8, 4), complex), np.arange(8) - 4, [0, 1, 2, 0], 8), ValueError,
     r"^reversed must hold only 1 \(read backwards\) and 0 \(forwards\)$"),
    ((np.ones((8, 4), complex), np.arange(8) - 4, "odd", 8.5), TypeError, "M must be"),
    ((np.ones((8, 4), complex), np.arange(8) - 4, "left", 8), ValueError, "'even', 'odd'"),
    ((np.ones((8, 4), complex), np.arange(7) - 4, "odd", 8), ValueError, "kx"),
    ((np.ones((8, 4), complex), np.arange(8)[::-1] - 4.0, "odd", 8), ValueError, "increasing"),
    ((np.ones((8, 4), complex), np.arange(8) - 4, np.ones(3, bool), 8), ValueError, "reversed"),
    ((np.ones(8, complex), np.arange(8) - 4, "odd", 8), ValueError, "dimension"),
])
def test_refusals_raise_their_exception_type(args, error, text):
    with pytest.raises(error, match=text):
        tarvo.prepare(*args)


def test_reversed_as_zeros_and_ones_and_complex64_raw_give_the_boolean_complex128_result():
    rng = np.random.default_rng(3)
    raw = rng.standard_normal((12, 6)) + 1j * rng.standard_normal((12, 6))
    kx = np.linspace(-5, 5.5, 12)
    flags = [0, 1, 0, 1, 1, 0]
    want = tarvo.prepare(raw, kx, np.array(flags, bool), 10)
    assert same_bits(tarvo.prepare(raw, kx, flags, 10), want)
    single = tarvo.prepare(raw.astype(np.complex64), kx, flags, 10)
    assert single.dtype == np.complex64
    assert np.max(np.abs(single - want)) < 1e-5 * np.max(np.abs(want))
