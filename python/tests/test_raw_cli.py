"""tarvo raw.h5 -o out.nii.gz: end to end on small simulated files, the accuracy figure, and
the refusals (nothing left behind)."""

import os
import re
import struct
import subprocess
import sys

import h5py
import nibabel as nib
import numpy as np
import pytest
from conftest import same_bits

import tarvo
from tarvo import _rawcli, rawsim
from tarvo.ismrmrd import RawFile


def test_command_writes_nifti_coils_and_preview_and_reports_what_it_found(tmp_path):
    raw_path = tmp_path / "scan.h5"
    rawsim.simulate(raw_path, M=32, N=24, Z=3, L=4, T=3)
    run = subprocess.run([sys.executable, "-m", "tarvo", "--coils", tmp_path / "c.h5", raw_path,
                          "--preview", tmp_path / "p.png", "--threads", "1", "--chunk", "2"],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[:5] == [
        f"tarvo: {raw_path}: 32 x 24 matrix (readout x lines), 3 slice(s), 4 coil(s), 5 frame(s)",
        "tarvo: readout: 54 samples per line, 41 % on the gradient ramps (trapezoid of the "
        "trajectory description)",
        "tarvo: noise scans: 2; pre-whitened with their covariance",
        "tarvo: skipped: 45 navigator, phase-correction, dummy or feedback line(s)",
        "tarvo: calibration pair: frames 0 (even) and 1 (odd) (repetition 0; repetition 1)"]
    assert [re.sub(r"\(\d+\.\d\d s\)$", "", line) for line in lines[5:7]] == [
        "tarvo: frames 2/3 corrected ", "tarvo: frames 3/3 corrected "]
    before, after = (float(v.rstrip(",")) for v in lines[7].split()[5:8:2])
    assert lines[7].startswith("tarvo: ghost-to-signal estimate, frame 2:") and after < before / 5

    nifti = nib.load(tmp_path / "scan.nii.gz")
    magnitude = np.asanyarray(nifti.dataobj)
    assert magnitude.shape == (32, 24, 3, 3) and magnitude.dtype == np.float32
    assert nifti.header.get_zooms()[3] == 2000 and nifti.header.get_xyzt_units() == ("mm", "msec")
    with RawFile(str(raw_path)) as raw:
        assert np.abs(nifti.affine - raw.affine()).max() < 1e-4
        assert (nifti.header.get_sform(coded=True)[1], nifti.header.get_qform(coded=True)[1]) \
            == (1, 1)
        # Frames are read in single precision.
        (_, pair), = raw.read([0, 1], dtype=np.complex64)
        cal = tarvo.calibrate(pair[..., 0], pair[..., 1], threads=1)
        restore = _rawcli._single_threaded_blas()  # as the command reads them: the same bits
        frames = np.concatenate([k for _, k in raw.read([2, 3, 4], dtype=np.complex64)], axis=4)
        restore()
    with h5py.File(tmp_path / "c.h5", "r") as f:
        E = f["E"][()].T
        E = E["real"] + 1j * E["imag"]
        assert same_bits(E, cal.apply(frames, threads=1).astype(np.complex128))
        assert same_bits(f["K_coef"][()].T["real"][..., 0], cal.kernels[0]["coef"].real)
    assert np.allclose(magnitude, np.sqrt((abs(E) ** 2).sum(axis=3)), rtol=1e-6)
    png = open(tmp_path / "p.png", "rb").read()
    assert png[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", png[16:24])[0] > 2 * 24


def test_figure_nifti_magnitude_is_tarvo_on_the_ideal_cartesian_frames(tmp_path):
    """Ramp sampling on 40 % of the samples, 3 oblique slices, 16 coils, 10 repetitions."""
    path = str(tmp_path / "raw.h5")
    sim = rawsim.simulate(path, M=64, N=64, Z=3, L=16, T=10, ramp=0.4, noisy_data=False)
    _rawcli.convert(path, str(tmp_path / "out.nii"), say=lambda text: None)
    image = nib.load(tmp_path / "out.nii")
    magnitude = np.asanyarray(image.dataobj)
    with RawFile(path) as raw:
        W, counters, affine = raw.whitening, raw.slice_counters, raw.affine()

    def ideal(t):
        return np.asfortranarray((sim.cartesian(t) @ W.T)[:, :, counters])

    cal = tarvo.calibrate(ideal(0), ideal(1))
    support = sim.support[:, :, counters]
    for t in range(10):
        reference = np.sqrt((abs(cal.apply(ideal(t + 2))) ** 2).sum(axis=3))
        error = np.linalg.norm((magnitude[..., t] - reference)[support])
        assert error < 0.01 * np.linalg.norm(reference[support])
    for z, s in enumerate(counters):
        for i, j in ((0, 0), (63, 0), (0, 63), (63, 63)):
            ras = sim.world(i, j, s) * [-1, -1, 1]
            assert np.abs(image.affine @ [i, j, z, 1] - [*ras, 1]).max() < 1e-4
    assert np.abs(image.affine - affine).max() < 1e-4


def run_main(capsys, *args):
    status = _rawcli.main([str(a) for a in args])
    out = capsys.readouterr()
    return status, out.err.strip()


def test_refusals_exit_with_a_status_and_leave_no_output(tmp_path, capsys, monkeypatch):
    raw_path = str(tmp_path / "raw.h5")
    rawsim.simulate(raw_path, M=16, N=12, Z=2, L=3, T=3)
    out = str(tmp_path / "out.nii.gz")
    usage = {
        ("-o", tmp_path / "out.img"): f"tarvo: the output must end in .nii or .nii.gz; got "
                                       f"{tmp_path / 'out.img'}",
        ("-o", out, "--preview", out): "tarvo: the input and output files must all differ",
        ("-o", out, "--chunk", "0"): "tarvo: --chunk must be 1 or more; got 0",
        ("-o", out, "--calibration", "1"): "tarvo: --calibration takes two frame numbers A,B; "
                                           "got '1'",
        ("-o", out, "--calibration", "2,2"): "tarvo: --calibration needs two different frames; "
                                             "got '2,2'",
    }
    for args, message in usage.items():
        assert run_main(capsys, raw_path, *args) == (2, message)
    missing = tmp_path / "no" / "out.nii"
    assert run_main(capsys, raw_path, "-o", missing) == (2, (
        f"tarvo: cannot write the output: [Errno 2] No such file or directory: "
        f"'{tmp_path}/no/.out.nii.{os.getpid()}.partial.nii'; nothing was written"))
    assert run_main(capsys, raw_path, "-o", out, "--coils", tmp_path / "c.h5", "--preview",
                    tmp_path / "no" / "p.png")[0] == 2
    os.mkdir(tmp_path / "dir.nii")
    assert run_main(capsys, raw_path, "-o", tmp_path / "dir.nii") == (2, (
        f"tarvo: cannot write the output: [Errno 21] is a folder: '{tmp_path}/dir.nii'; "
        "nothing was written"))
    os.rmdir(tmp_path / "dir.nii")
    with open(tmp_path / "notes.txt", "w") as f:
        f.write("text")
    assert run_main(capsys, tmp_path / "notes.txt", "-o", out) == (
        2, f"tarvo: {tmp_path / 'notes.txt'} is not an HDF5 file; nothing was written")

    with open(out, "wb") as f:
        f.write(b"kept")
    with monkeypatch.context() as m:
        m.setattr(tarvo, "calibrate", lambda *a, **k: (_ for _ in ()).throw(RuntimeError("no")))
        assert run_main(capsys, raw_path, "-o", out, "--coils", tmp_path / "c.h5") == (
            1, "tarvo: the correction failed: no; nothing was written")
    # A record that cannot be read in the last frame: found after the first chunk was written.
    data = bytearray(open(raw_path, "rb").read())
    at = [i for i in range(len(data)) if data[i:i + 4] == b"GCOL"][-1]
    data[at:at + 4] = b"XXXX"
    open(raw_path, "wb").write(data)
    status, message = run_main(capsys, raw_path, "-o", out, "--coils", tmp_path / "c.h5",
                               "--preview", tmp_path / "p.png", "--chunk", "1")
    assert status == 1 and message.startswith("tarvo: cannot read the data of acquisitions ")
    assert sorted(os.listdir(tmp_path)) == ["notes.txt", "out.nii.gz", "raw.h5"]
    assert open(out, "rb").read() == b"kept"
    # A file without a polarity pair, through python3 -m tarvo.
    rawsim.simulate(raw_path, M=16, N=12, Z=2, L=3, T=1, pair=False)
    run = subprocess.run([sys.executable, "-m", "tarvo", raw_path, "-o", out],
                         capture_output=True, text=True)
    assert run.returncode == 1 and run.stderr.startswith(
        f"tarvo: {raw_path} has no dual-polarity calibration pair: looked for two frames")


def test_accelerated_file_corrected_within_a_percent_of_the_truth(tmp_path):
    """R = 2, a 24-line central calibration block, noiseless: the NIfTI magnitude (without
    pre-whitening, so in the coils' units) against the root sum of squares of the simulator's
    coil images, normalised RMS over the object (measured 0.4 %)."""
    raw_path = tmp_path / "acc.h5"
    sim = rawsim.simulate(raw_path, M=64, N=64, Z=2, L=8, T=2, acceleration=2,
                          calibration_lines=24, noisy_data=False)
    said = []
    _rawcli.convert(str(raw_path), str(tmp_path / "acc.nii.gz"), coils=str(tmp_path / "c.h5"),
                    prewhiten=False, threads=1, say=said.append)
    assert "accelerated: R = 2, lines 0 to 62 read; calibration block of 24 lines (20 to 43)" \
        in said
    magnitude = np.asanyarray(nib.load(tmp_path / "acc.nii.gz").dataobj)
    with RawFile(str(raw_path)) as raw:
        truth = np.sqrt((abs(sim.images) ** 2).sum(axis=3))[:, :, raw.slice_counters]
        support = sim.support[:, :, raw.slice_counters]
    assert magnitude.shape == (64, 64, 2, 2)
    for t in range(2):
        error = magnitude[..., t] - truth
        assert np.linalg.norm(error[support]) / np.linalg.norm(truth[support]) < 0.01
    with h5py.File(tmp_path / "c.h5", "r") as f:  # every kernel's own pattern is kept
        patterns = ["".join(map(chr, row)).rstrip() for row in f["K_pattern"][()].T]
        coef = f["K_coef"][()].T
        K = [{"dk": int(dk), "pattern": p, "coef": c["real"][:int(r)] + 1j * c["imag"][:int(r)]}
             for dk, p, r, c in zip(f["K_dk"][()].ravel(), patterns, f["K_rows"][()].ravel(),
                                    coef.transpose(2, 0, 1))]
        E = f["E"][()].T
    assert len(K) == 56 and len(set(patterns)) == 28
    assert {k["coef"].shape for k in K} == {(5 * 8 * S, 8) for S in (2, 3, 4, 5)}
    with RawFile(str(raw_path), prewhiten=False) as raw:
        (_, k), = raw.read([2], dtype=np.complex64)
    again = tarvo.Calibration.from_kernels(K).apply(k, lines=np.arange(0, 64, 2), threads=1)
    E = (E["real"] + 1j * E["imag"])[..., 0]  # the command resamples with other BLAS threads
    assert np.abs(again[..., 0] - E).max() < 1e-6 * np.abs(E).max()
