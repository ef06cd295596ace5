"""Shared helpers: small phantoms and the test host program that runs the MEX entry point."""

import os
import subprocess

import numpy as np
import pytest

import tarvo


@pytest.fixture(scope="session")
def pair():
    """(even, odd) of a small phantom: 24 x 16 readout x lines, 3 slices, 4 coils."""
    even, odd, _, _ = tarvo.phantom(24, 16, 3, 4, a=0.4, b=0.05)
    return even, odd


def same_bits(a, b):
    """True when the arrays have the same shape and the same bytes, element by element."""
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and \
        a.tobytes(order="F") == b.tobytes(order="F")


def _write_array(path, a):
    a = np.asarray(a)
    with open(path, "wb") as f:
        np.array([a.ndim] + list(a.shape), dtype="<i4").tofile(f)
        np.ascontiguousarray(a.real.ravel(order="F"), dtype="<f8").tofile(f)
        np.ascontiguousarray(a.imag.ravel(order="F"), dtype="<f8").tofile(f)


def _read_array(f):
    ndims = int(np.fromfile(f, "<i4", 1)[0])
    shape = tuple(np.fromfile(f, "<i4", ndims))
    n = int(np.prod(shape))
    out = np.empty(n, dtype=np.complex128)
    out.real, out.imag = np.fromfile(f, "<f8", n), np.fromfile(f, "<f8", n)
    return out.reshape(shape, order="F")


def hostrun(tmp_path, *inputs):
    """(E, F, K) of the MEX entry point on these inputs, run by tarvo_hostrun (the test host,
    whose outputs the Octave suite checks against Octave's module bit for bit)."""
    program = os.environ.get("TARVO_HOSTRUN")
    if not program:
        pytest.skip("TARVO_HOSTRUN (the tarvo_hostrun program) is not set")
    for k, a in enumerate(inputs):
        _write_array(tmp_path / f"in{k + 1}.bin", a)
    run = subprocess.run([program, str(tmp_path)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    outputs = []
    for k in (1, 2):
        with open(tmp_path / f"out{k}.bin", "rb") as f:
            outputs.append(_read_array(f))
    K = []
    with open(tmp_path / "out3.bin", "rb") as f:
        for _ in range(int(np.fromfile(f, "<i4", 1)[0])):
            dk = float(np.fromfile(f, "<f8", 1)[0])
            length = int(np.fromfile(f, "<i4", 1)[0])
            pattern = f.read(length).decode()
            K.append({"dk": dk, "pattern": pattern, "coef": _read_array(f)})
    return outputs[0], outputs[1], K
