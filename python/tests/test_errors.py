"""Every refusal: its exception type and the message the user reads; no output, no leak."""

import numpy as np
import pytest

import tarvo
from tarvo import _core

LAYOUT = "need a complex M-by-N-by-...-by-L array for the input data"


def test_inputs_of_a_wrong_dtype_raise_type_error(pair):
    even, odd = pair
    for bad, got in [(even.real, "float64"), (even.astype(">c16"), ">c16"), (None, "object")]:
        with pytest.raises(TypeError) as e:
            tarvo.correct(bad, odd)
        assert str(e.value) == (
            f"even (1st input): {LAYOUT} (numpy complex128 or complex64, native byte order); "
            f"got {got}. x.astype(np.complex128) converts real data.")
    masked = np.ma.masked_array(odd, mask=np.zeros(odd.shape, bool))
    masked[0, 0, 0, 0] = np.ma.masked
    with pytest.raises(TypeError) as e:
        tarvo.calibrate(even, odd).apply(masked)
    assert str(e.value) == ("the frames to correct: a masked array is not accepted (its mask "
                            "would be ignored); x.filled(0) marks the masked samples as not "
                            "acquired.")
    with pytest.raises(TypeError, match=r"^odd \(2nd input\): need a complex"):
        tarvo.correct(even, odd.real)
    with pytest.raises(TypeError, match=r"^target \(3rd input\): need a complex "
                                        r"M-by-N-by-Z-by-L array"):
        tarvo.correct(even, odd, odd.real)
    with pytest.raises(TypeError, match=r"^the frames to correct: need a complex "
                                        r"M-by-N-by-Z-by-L\(-by-T\.\.\.\) array .* got float64"):
        tarvo.calibrate(even, odd).apply(odd.real)


def test_extents_the_core_cannot_take_raise_value_error(pair):
    even, odd = pair
    cases = [
        ((even[:, :, 0, 0], odd), f"even (1st input): {LAYOUT}; got 2 dimension(s), "
                                  "shape (24, 16)."),
        ((even, odd[:0]), "odd (2nd input): the array has no elements (shape (0, 16, 3, 4)); "
                          "every extent must be at least 1."),
        ((even, odd[:12]), "Input matrix size mismatch: even is 24 x 16 x 3 x 4 and odd is "
                           "12 x 16 x 3 x 4 (M x N x Z x L, slices folded); they must be the "
                           "same slices acquired twice."),
        ((even, odd, odd[..., None]), "target (3rd input): need a complex M-by-N-by-Z-by-L "
                                      "array for the input data; got 5 dimension(s), shape "
                                      "(24, 16, 3, 4, 1)."),
        ((even, odd, odd[:, :8]), "Input matrix size mismatch: target is 24 x 8 x 3 x 4 but "
                                  "even is 24 x 16 x 3 x 4 (M x N x Z x L, slices folded); they "
                                  "must be the same."),
    ]
    for args, message in cases:
        with pytest.raises(ValueError) as e:
            tarvo.correct(*args)
        assert str(e.value) == message
    # Beyond 32-bit extents: refused from the extents alone (the array takes no memory).
    huge = np.lib.stride_tricks.as_strided(np.zeros(1, np.complex128), (2**31, 1, 1, 2),
                                           (0, 0, 0, 0))
    with pytest.raises(ValueError, match=r"^even \(1st input\): too large: shape \(2147483648, "
                                         r"1, 1, 2\) .* at most 2147483647\.$"):
        tarvo.correct(huge, huge)
    folded = np.lib.stride_tricks.as_strided(np.zeros(1, np.complex128),
                                             (2, 2, 2**16, 2**16, 1), (0,) * 5)
    with pytest.raises(ValueError, match="too large"):
        tarvo.calibrate(folded, folded)
    cal = tarvo.calibrate(even, odd)
    with pytest.raises(ValueError, match=r"^The frame to correct is 24 x 16 x 2 x 4; the "
                                         r"kernels are for 24 x 16 x 3 x 4 volumes\.$"):
        cal.apply(odd[:, :, :2])
    for threads, kind in [(0, ValueError), (1.5, TypeError), (True, TypeError)]:
        with pytest.raises(kind, match="threads must be a whole number >= 1 or None"):
            tarvo.correct(even, odd, threads=threads)


def test_a_failed_step_carries_its_reason_in_the_exception_and_prints_nothing(capfd):
    prefix = "tarvo: tarvo_interleave_frames failed; no outputs were assigned: "
    for M, reason in [(32768, "Error: align_phase frame extents 32768 x 2 are above 32767, "
                              "which is not supported"),
                      (70000, "2dfft: Error: image size 70000 x 2 is outside 1..65535.  "
                              "Unable to proceed.")]:
        x = np.ones((M, 2, 1, 2), np.complex128, order="F")
        with pytest.raises(RuntimeError) as e:
            tarvo.correct(x, x)
        assert str(e.value) == prefix + reason      # once, though both frames fail
    assert capfd.readouterr().err == ""


def test_bad_kernels_are_refused_with_the_core_messages(pair):
    even, odd = pair
    K = tarvo.correct(even, odd)[2]

    def changed(z, **fields):
        return [dict(k, **fields) if i == z else k for i, k in enumerate(K)]

    cases = [
        (changed(1, dk=3), ValueError, "Kernel 2 has line spacing dk = 3; this module's "
                                       "kernels have dk = 2."),
        (changed(0, dk=2.5), ValueError, "dk of kernel 1 must be a whole number; got 2.5"),
        (changed(2, pattern="*o*"), ValueError, "Kernel 3 has pattern '*o*'; this module's "
                                                "kernels have pattern '*x*'."),
        (changed(0, coef=K[0]["coef"][:20]), ValueError,
         "Kernel 1 has a 20 x 4 coef matrix; for a target of 4 coils it must be 40 x 4 "
         "(10 L x L)."),
        (changed(0, coef=K[0]["coef"].real), TypeError, "coef of kernel 1: need a complex128 "
                                                        "(5 S L) x L matrix (S source lines, L "
                                                        "coils)."),
        (changed(0, coef=K[0]["coef"][:, 0]), ValueError, "coef of kernel 1: need a (5 S L) x L "
                                                          "matrix; got 1 dimension(s)."),
        (changed(0, coef=K[0]["coef"][:, :0]), ValueError, "coef of kernel 1: need a (5 S L) x L "
                                                           "matrix with 1 <= L; got 40 x 0."),
        ([{"dk": 2, "pattern": "*x*"}], ValueError, "Kernel 1 lacks 'coef'; each kernel needs "
                                                    "dk, pattern and coef."),
        ([], ValueError, "The kernel list must hold one kernel per slice (1 or more); it holds "
                         "0."),
    ]
    for kernels, kind, message in cases:
        with pytest.raises(kind) as e:
            tarvo.Calibration.from_kernels(kernels)
        assert str(e.value) == message
    with pytest.raises(ValueError) as e:
        tarvo.Calibration.from_kernels(K).apply(odd[:, :, :2])
    assert str(e.value) == ("The frame to correct is 24 x 16 x 2 x 4; the kernels are for 3 "
                            "slices of 4 coils.")


@pytest.mark.parametrize("route", ["correct", "from_kernels", "twin"])
def test_every_failed_allocation_raises_memory_error_and_the_next_call_is_exact(pair, route):
    even, odd = pair
    c_even = np.ascontiguousarray(even)    # the gathered copy is among the allocations
    E, _, K = tarvo.correct(even, odd)
    if route == "correct":
        call = lambda: tarvo.correct(c_even, odd, odd, threads=1)  # noqa: E731
    elif route == "from_kernels":
        call = lambda: tarvo.Calibration.from_kernels(K).apply(c_even, threads=1)  # noqa: E731
    else:  # a twin, as dask's threads take them, of a calibration of its own
        cal = tarvo.Calibration.from_kernels(K)
        call = lambda: cal._wrap(cal._core.twin()).apply(c_even, threads=1)  # noqa: E731
    before = _core._alloc_count()
    expected = call()
    count = _core._alloc_count() - before
    assert count > 10
    for k in range(1, count + 1):
        _core._alloc_fail_at(k)
        try:
            with pytest.raises(MemoryError, match="^Out of memory"):
                call()
        finally:
            _core._alloc_fail_at(0)
    again = call()
    assert np.array_equal(again[0] if route == "correct" else again,
                          expected[0] if route == "correct" else expected)
