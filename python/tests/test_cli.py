"""The command line on small .mat files of formats 7 and 7.3."""

import re
import subprocess
import sys

import numpy as np
from conftest import same_bits
from scipy.io import loadmat, savemat

import tarvo


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "tarvo", *map(str, args)], capture_output=True,
                          text=True)


def test_format_7_file_gives_the_outputs_of_correct_and_refusals_write_nothing(pair, tmp_path):
    even, odd = pair
    savemat(tmp_path / "scan.mat", {"even": even, "odd": odd})
    done = run_cli(tmp_path / "scan.mat")
    assert done.returncode == 0, done.stderr
    out = loadmat(tmp_path / "scan_tarvo.mat")
    E, F, K = tarvo.correct(even, odd)
    assert same_bits(out["E"], E) and same_bits(out["F"], F)
    assert same_bits(tarvo.Calibration.from_kernels(out["K"]).apply(odd), E)

    savemat(tmp_path / "bad.mat", {"even": even, "odd": odd[:12]})
    refused = run_cli(tmp_path / "bad.mat", "-o", tmp_path / "bad_out.mat")
    assert refused.returncode == 1 and "Input matrix size mismatch" in refused.stderr
    assert not (tmp_path / "bad_out.mat").exists()
    savemat(tmp_path / "half.mat", {"even": even})
    assert "lacks the variable(s) odd" in run_cli(tmp_path / "half.mat").stderr


def test_hdf5_series_file_is_corrected_frame_by_frame_with_a_progress_line_each(pair, tmp_path):
    import h5py

    even, odd = pair
    series = np.stack([odd, 1j * odd, even], axis=-1)
    kind = np.dtype([("real", "<f8"), ("imag", "<f8")])
    with h5py.File(tmp_path / "run.mat", "w", userblock_size=512) as f:
        for name, a in {"even": even, "odd": odd, "target": series}.items():
            c = np.empty(a.shape, kind)
            c["real"], c["imag"] = a.real, a.imag
            f.create_dataset(name, data=c.T).attrs["MATLAB_class"] = np.bytes_("double")
    done = run_cli(tmp_path / "run.mat", "-o", tmp_path / "out.mat", "--threads", 1)
    assert done.returncode == 0, done.stderr
    progress = [re.fullmatch(r"tarvo: frame (\d+)/3 done \(\d+\.\d\d s\)", line)
                for line in done.stdout.splitlines()]
    assert [int(m.group(1)) for m in progress if m] == [1, 2, 3]
    out = loadmat(tmp_path / "out.mat")
    cal = tarvo.calibrate(even, odd)
    assert out["E"].shape == series.shape
    for t in range(3):
        assert same_bits(out["E"][..., t], cal.apply(np.asfortranarray(series[..., t])))
