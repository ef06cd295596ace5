"""The reference ISMRMRD library (Debian's libismrmrd, through tests/raw/ismrmrd_dump) reads the
simulator's files as the simulator meant them, and tarvo's reader reads a file that the
library's own generator wrote."""

import os
import shutil
import subprocess

import numpy as np
import pytest

from tarvo import _rawcli, rawsim
from tarvo.ismrmrd import PARALLEL_CALIBRATION, REVERSE, RawFile, RawFileError, has_flag


def dump(path):
    program = os.environ.get("TARVO_ISMRMRD_DUMP")
    if not program:
        pytest.skip("TARVO_ISMRMRD_DUMP (tests/raw/tarvo_ismrmrd_dump, needs libismrmrd-dev) is "
                    "not set")
    run = subprocess.run([program, str(path)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    lines = [line.split() for line in run.stdout.splitlines()]
    acqs = np.array([[float(v) for v in line[1:]] for line in lines if line[0] == "acq"])
    return lines, acqs


def test_reference_library_reads_the_simulated_file_as_written(tmp_path):
    path = tmp_path / "raw.h5"
    sim = rawsim.simulate(path, M=16, N=12, Z=3, L=3, T=2, traj=True, shuffle=True)
    lines, acqs = dump(path)
    assert lines[0] == ["header", "16", "12", "1", "48.000000", "42.000000", "4.000000", "1",
                        "2000.000000"]
    assert lines[1] == ["describe", "ConventionalEPI"]
    assert {k: float(v) for k, v in lines[2:8]} == sim.trapezoid
    assert lines[8] == ["acquisitions", str(sim.acquisitions)] and len(acqs) == sim.acquisitions
    with RawFile(str(path)) as raw:
        h = raw.heads
        idx = h["idx"]
        ours = np.column_stack([
            np.arange(len(h)), h["flags"], h["number_of_samples"], h["active_channels"],
            h["center_sample"], h["trajectory_dimensions"], h["sample_time_us"],
            idx["kspace_encode_step_1"], idx["slice"], idx["repetition"], idx["contrast"],
            idx["phase"], idx["set"], idx["average"], h["position"], h["read_dir"],
            h["phase_dir"], h["slice_dir"]]).astype(np.float64)
        assert (acqs[:, :14] == ours[:, :14]).all()  # whole numbers; then float32 values
        assert (np.float32(acqs[:, 14:ours.shape[1]]) == np.float32(ours[:, 14:])).all()
        records = raw._data.fields("data")[:]
        for i in range(len(h)):
            x = raw._samples(records[i], h[i], i)
            ends = [x[0, 0].real, x[0, 0].imag, x[-1, -1].real, x[-1, -1].imag]  # L x R
            assert (np.float32(acqs[i, ours.shape[1]:ours.shape[1] + 4]) == ends).all()
    # What the simulator meant: reverse flags, counters and geometry of every imaging line.
    not_imaging = np.uint64(1 << 18 | 1 << 23)  # noise scans and navigators
    imaging = acqs[(acqs[:, 1].astype(np.uint64) & not_imaging) == 0]
    line, slc, rep = imaging[:, 7].astype(int), imaging[:, 8].astype(int), imaging[:, 9].astype(int)
    assert sorted(zip(rep, slc, line)) == [(r, s, n) for r in range(4) for s in range(3)
                                           for n in range(12)]
    reverse = has_flag(imaging[:, 1].astype(np.uint64), REVERSE)
    assert (reverse == np.array([sim.pattern(r)[n] for r, n in zip(rep, line)])).all()
    assert np.allclose(imaging[:, 14:17], sim.positions[slc], atol=1e-5)
    kx0 = np.where(reverse, sim.kx[-1], sim.kx[0]) / 16
    assert np.allclose(imaging[:, -1], kx0, atol=1e-6)


def test_reference_library_reads_an_accelerated_file_as_written(tmp_path):
    path = tmp_path / "acc.h5"
    sim = rawsim.simulate(path, M=16, N=12, Z=2, L=3, T=2, acceleration=2, calibration_lines=6)
    lines, acqs = dump(path)
    assert ["parallel", "2", "1"] in lines
    flags = acqs[:, 1].astype(np.uint64)
    imaging = acqs[(flags & np.uint64(1 << 18 | 1 << 23)) == 0]
    flags, line, rep = imaging[:, 1].astype(np.uint64), imaging[:, 7].astype(int), \
        imaging[:, 9].astype(int)
    calibration = has_flag(flags, PARALLEL_CALIBRATION)
    assert (calibration == (rep < 2)).all()
    assert sorted(set(zip(rep, line))) == [(r, n) for r in range(4)
                                           for n in (range(3, 9) if r < 2 else range(0, 12, 2))]
    reverse = has_flag(flags, REVERSE)
    assert (reverse == np.array([sim.pattern(r)[n] for r, n in zip(rep, line)])).all()
    assert (reverse[rep >= 2] == (line[rep >= 2] % 4 == 2)).all()  # alternating, every 2nd


def test_file_of_the_reference_generator_is_read_and_refused_for_lacking_a_pair(tmp_path,
                                                                                 capsys):
    generator = shutil.which("ismrmrd_generate_cartesian_shepp_logan")
    if generator is None:
        pytest.skip("ismrmrd_generate_cartesian_shepp_logan (ismrmrd-tools) is not installed")
    path = tmp_path / "phantom.h5"
    subprocess.run([generator, "-m", "32", "-c", "4", "-r", "2", "-C", "-o", str(path)],
                   check=True, capture_output=True)
    _, acqs = dump(path)
    with RawFile(str(path)) as raw:
        assert (raw.M, raw.N, raw.Z, raw.L, raw.T, raw.R) == (64, 32, 1, 4, 2, 64)
        assert raw.output_matrix() == (32, 32) and raw.kx_source == "uniform"
        assert raw.noise_lines.size == 1 and not raw.oriented
        assert (raw.heads["flags"] == acqs[:, 1]).all()
        assert (raw.heads["idx"]["kspace_encode_step_1"] == acqs[:, 7]).all()
        with pytest.raises(RawFileError) as e:
            raw.calibration_pair()
    message = (f"{path} has no dual-polarity calibration pair: looked for two frames whose lines "
               "are read in opposite directions line for line (reverse flag 22) on every slice; "
               "its 2 frame(s) have 1 distinct pattern(s)")
    assert str(e.value) == message
    assert _rawcli.main([str(path), "-o", str(tmp_path / "out.nii")]) == 1
    assert capsys.readouterr().err == f"tarvo: {message}; nothing was written\n"
    assert os.listdir(tmp_path) == ["phantom.h5"]
