"""The command line: MAT files of formats 7 and 7.3 and plain HDF5, in and out, streamed."""

import os
import re
import signal
import subprocess
import sys

import numpy as np
import pytest
from conftest import same_bits
from scipy.io import loadmat, savemat

import tarvo

h5py = pytest.importorskip("h5py")


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "tarvo", *map(str, args)], capture_output=True,
                          text=True)


def write_matlab_h5(path, arrays):
    """The arrays as MATLAB -v7.3 writes them: extents reversed, complex as a compound of real
    and imag, a MATLAB_class attribute (double or single), a MAT header in the user block."""
    with h5py.File(path, "w", userblock_size=512) as f:
        for name, a in arrays.items():
            part = a.real.dtype
            c = np.empty(a.shape, np.dtype([("real", part), ("imag", part)]))
            c["real"], c["imag"] = a.real, a.imag
            f.create_dataset(name, data=c.T).attrs["MATLAB_class"] = np.bytes_(
                "double" if part == np.float64 else "single")
    with open(path, "r+b") as f:
        f.write(b"MATLAB 7.3 MAT-file, written by the tests".ljust(128, b" "))


def files(folder):
    return sorted(os.listdir(folder))


def frames_of(series):
    s = series.reshape(series.shape[:4] + (-1,), order="F")
    return [np.asfortranarray(s[..., t]) for t in range(s.shape[4])]


def test_format_7_file_gives_the_outputs_of_correct_and_refusals_write_nothing(pair, tmp_path):
    even, odd = pair
    savemat(tmp_path / "scan.mat", {"even": even, "odd": odd}, do_compression=True)
    done = run_cli(tmp_path / "scan.mat")
    assert done.returncode == 0, done.stderr
    out = loadmat(tmp_path / "scan_tarvo.mat")
    E, F, K = tarvo.correct(even, odd)
    assert same_bits(out["E"], E) and same_bits(out["F"], F)
    assert same_bits(tarvo.Calibration.from_kernels(out["K"]).apply(odd), E)
    lines = done.stdout.splitlines()
    assert lines[0] == (f"tarvo: reading {tmp_path / 'scan.mat'} (format 7): even 24 x 16 x 3 x 4 "
                        "complex double, odd 24 x 16 x 3 x 4 complex double (0.15 MB)")
    assert re.fullmatch(r"tarvo: \d+\.\d\d s; E \[24, 16, 3, 4\], F \[24, 16, 3, 4\] and K "
                        rf"\(1 x 3\) written to {re.escape(str(tmp_path))}/scan_tarvo.mat "
                        r"\(format 7\)", lines[-1])

    umask = os.umask(0)
    os.umask(umask)
    assert os.stat(tmp_path / "scan_tarvo.mat").st_mode & 0o777 == 0o666 & ~umask

    written = (tmp_path / "scan_tarvo.mat").read_bytes()  # kept when a later run fails
    savemat(tmp_path / "bad.mat", {"even": even, "odd": odd[:12]})
    refused = run_cli(tmp_path / "bad.mat", "-o", tmp_path / "scan_tarvo.mat")
    assert refused.returncode == 1 and "Input matrix size mismatch" in refused.stderr
    assert refused.stderr.endswith(f"tarvo: the data of {tmp_path / 'bad.mat'} were not "
                                   "corrected; nothing was written\n")
    assert files(tmp_path) == ["bad.mat", "scan.mat", "scan_tarvo.mat"]
    assert (tmp_path / "scan_tarvo.mat").read_bytes() == written


SERIES = [(False, (2, 2), "7.3"), (True, (3,), "7.3"), (False, (3,), "7"), (True, (2, 2), "7z")]


@pytest.mark.parametrize("single,frames,form", SERIES,
                         ids=[f"{'single' if s else 'double'}-{len(f) + 4}D-{i}"
                              for s, f, i in SERIES])
def test_series_streams_frame_by_frame_to_mat_and_hdf5_in_the_input_class(pair, tmp_path,
                                                                          single, frames, form):
    even, odd = pair
    T = int(np.prod(frames))
    series = np.stack([odd, 1j * odd, even, odd + even][:T], axis=-1).reshape(
        odd.shape + frames, order="F")
    kind = np.complex64 if single else np.complex128
    arrays = {"even": even.astype(kind), "odd": odd.astype(kind), "target": series.astype(kind)}
    if form == "7.3":
        write_matlab_h5(tmp_path / "run.mat", arrays)
    else:
        savemat(tmp_path / "run.mat", arrays, do_compression=form == "7z")
    # Each frame is computed in double (from the single-precision input when it is single).
    even, odd = (np.asfortranarray(a.astype(kind), dtype=np.complex128) for a in (even, odd))
    _, F, K = tarvo.correct(even, odd)
    cal = tarvo.calibrate(even, odd)
    expected = [cal.apply(np.asfortranarray(f.astype(kind), dtype=np.complex128)).astype(kind)
                for f in frames_of(series)]
    for name in ("out.mat", "out.h5"):
        done = run_cli(tmp_path / "run.mat", "-o", tmp_path / name, "--threads", 1)
        assert done.returncode == 0, done.stderr
        lines = done.stdout.splitlines()
        progress = [re.fullmatch(rf"tarvo: frame (\d+)/{T} done \(\d+\.\d\d s\)", line)
                    for line in lines]
        assert [int(m.group(1)) for m in progress if m] == list(range(1, T + 1))
        written = "7" if name == "out.mat" else "HDF5"
        word = "single" if single else "double"
        size = f"{(2 + T) * odd.size * np.dtype(kind).itemsize / 1e6:.2f}"
        extents = " x ".join(map(str, series.shape))
        assert lines[:2] == [
            f"tarvo: reading {tmp_path / 'run.mat'} (format {form.rstrip('z')}): even 24 x 16 x 3 "
            f"x 4 complex {word}, odd 24 x 16 x 3 x 4 complex {word}, target {extents} complex "
            f"{word} ({size} MB)",
            f"tarvo: correcting {T} frames of target {list(series.shape)}, calibrated on even and "
            f"odd [24, 16, 3, 4]; E written to {tmp_path / name} (format {written}) frame by frame"]
        if name == "out.mat":
            out = loadmat(tmp_path / name)
            E, F_out = out["E"], out["F"]
        else:
            E = tarvo.hdf5_series(tmp_path / name, "E").compute()
            with h5py.File(tmp_path / name, "r") as f:
                assert f["E"].attrs["MATLAB_class"] == word.encode()
                F_out = f["F"][()].T
                F_out = (F_out["real"] + 1j * F_out["imag"]).astype(kind)
        assert E.shape == series.shape and F_out.dtype == kind
        assert same_bits(F_out, F.astype(kind))
        for t, e in enumerate(frames_of(E)):
            assert same_bits(e.astype(kind), expected[t]), t
    assert files(tmp_path) == ["out.h5", "out.mat", "run.mat"]


def test_a_variable_beyond_2_gb_makes_the_mat_output_7_3_written_frame_by_frame(
        pair, tmp_path, monkeypatch, capsys):
    from tarvo import __main__, _matfile

    even, odd = pair
    series = np.stack([odd, 2 * odd], axis=-1)
    savemat(tmp_path / "run.mat", {"even": even, "odd": odd, "target": series})
    monkeypatch.setattr(_matfile, "V5_LIMIT", even.nbytes - 1)
    assert __main__.main([str(tmp_path / "run.mat"), "-o", str(tmp_path / "out.mat")]) == 0
    assert capsys.readouterr().out.splitlines()[-1].endswith("out.mat (format 7.3)")
    with open(tmp_path / "out.mat", "rb") as f:
        assert f.read(128).startswith(b"MATLAB 7.3 MAT-file")
    E = tarvo.hdf5_series(tmp_path / "out.mat", "E").compute()
    cal = tarvo.calibrate(even, odd)
    assert same_bits(E, cal.apply(series))
    with h5py.File(tmp_path / "out.mat", "r") as f:
        K = [{"dk": dk, "pattern": "".join(map(chr, f["K_pattern"][()].ravel())),
              "coef": c["real"] + 1j * c["imag"]}
             for dk, c in zip(f["K_dk"][()].ravel(), f["K_coef"][()].T.transpose(2, 0, 1))]
    assert same_bits(tarvo.Calibration.from_kernels(K).apply(odd), cal.apply(odd))


def test_plain_hdf5_is_refused_unless_order_numpy_reads_it_as_hdf5_series(pair, tmp_path):
    even, odd = pair
    series = np.stack([odd, 1j * odd, even], axis=-1)
    with h5py.File(tmp_path / "plain.h5", "w") as f:  # numpy's axis order, no MATLAB marker
        for name, a in {"even": even, "odd": odd, "target": series}.items():
            f.create_dataset(name, data=np.ascontiguousarray(a))
    with h5py.File(tmp_path / "reversed.h5", "w") as f:  # extents reversed, no marker
        for name, a in {"even": even, "odd": odd, "target": series}.items():
            f.create_dataset(name, data=a.T)
    refused = run_cli(tmp_path / "plain.h5")
    assert refused.returncode == 2 and refused.stdout == ""
    assert refused.stderr == (
        f"tarvo: {tmp_path / 'plain.h5'}: the dataset even lacks MATLAB's MATLAB_class "
        "attribute, so its axis order is unknown; --order numpy reads its extents as stored "
        "(M x N x Z x L [x T...])\n")
    done = run_cli(tmp_path / "plain.h5", "--order", "numpy", "-o", tmp_path / "out.h5")
    assert done.returncode == 0, done.stderr
    cal = tarvo.calibrate(even, odd)
    expected = cal.apply(tarvo.hdf5_series(tmp_path / "plain.h5", "target")).compute()
    assert same_bits(tarvo.hdf5_series(tmp_path / "out.h5", "E").compute(), expected)
    done = run_cli(tmp_path / "reversed.h5", "--order", "matlab", "-o", tmp_path / "out.mat")
    assert done.returncode == 0, done.stderr
    assert same_bits(loadmat(tmp_path / "out.mat")["E"], expected)
    assert files(tmp_path) == ["out.h5", "out.mat", "plain.h5", "reversed.h5"]


def test_series_frames_of_another_extent_are_refused_like_a_4d_target(pair, tmp_path):
    even, odd = pair
    for name, target in {"4d": odd[:12], "5d": np.stack([odd[:12]] * 2, axis=-1)}.items():
        savemat(tmp_path / f"{name}.mat", {"even": even, "odd": odd, "target": target})
        refused = run_cli(tmp_path / f"{name}.mat")
        assert refused.returncode == 1 and refused.stderr.startswith(
            "tarvo: Input matrix size mismatch: target is 12 x 16 x 3 x 4"), refused.stderr
    assert refused.stderr == (
        "tarvo: Input matrix size mismatch: target is 12 x 16 x 3 x 4 x 2 (frames of "
        "12 x 16 x 3 x 4) but even is 24 x 16 x 3 x 4 (M x N x Z x L, slices folded); they "
        "must be the same.\n"
        f"tarvo: the data of {tmp_path / '5d.mat'} were not corrected; nothing was written\n")
    assert files(tmp_path) == ["4d.mat", "5d.mat"]


def _setup_errors(folder, even, odd):
    savemat(folder / "scan.mat", {"even": even, "odd": odd})
    (folder / "text.mat").write_text("even, odd\n")
    (folder / "empty.mat").write_bytes(b"")
    data = (folder / "scan.mat").read_bytes()
    (folder / "cut.mat").write_bytes(data[:len(data) // 2])
    savemat(folder / "half.mat", {"even": even})
    savemat(folder / "real.mat", {"even": even.real, "odd": odd})
    savemat(folder / "struct.mat", {"even": even, "odd": {"a": 1}})
    write_matlab_h5(folder / "group.mat", {"even": even})
    with h5py.File(folder / "group.mat", "a") as f:
        f.create_group("odd").attrs["MATLAB_class"] = np.bytes_("struct")
    write_matlab_h5(folder / "cut73.mat", {"even": even, "odd": odd})
    data = (folder / "cut73.mat").read_bytes()
    (folder / "cut73.mat").write_bytes(data[:len(data) - 4000])
    write_matlab_h5(folder / "damaged.mat", {"even": even, "odd": odd})
    with h5py.File(folder / "damaged.mat", "a") as f:  # frame 2 of 3 fails to inflate
        c = np.empty(odd.shape + (3,), np.dtype([("real", "<f8"), ("imag", "<f8")]))
        c["real"], c["imag"] = np.stack([odd.real] * 3, -1), np.stack([odd.imag] * 3, -1)
        d = f.create_dataset("target", data=c.T, chunks=(1,) + odd.shape[::-1],
                             compression="gzip")
        d.attrs["MATLAB_class"] = np.bytes_("double")
        chunk = d.id.get_chunk_info(1)
    with open(folder / "damaged.mat", "r+b") as f:
        f.seek(chunk.byte_offset + 100)
        f.write(b"\xff" * 64)
    savemat(folder / "damaged7.mat", {"even": even, "odd": odd,
                                      "target": np.stack([odd] * 3, -1)}, do_compression=True)
    with open(folder / "damaged7.mat", "r+b") as f:  # inside the frames of target
        f.seek(-3000, os.SEEK_END)
        f.write(b"\xff" * 64)
    (folder / "subdir").mkdir()
    (folder / "folder.mat").mkdir()


ERRORS = [  # (arguments, exit status, message after "tarvo: ")
    (["text.mat"], 2, "cannot read {d}/text.mat: not a MAT file (format 7 or 7.3) or an HDF5 "
     "file"),
    (["empty.mat"], 2, "cannot read {d}/empty.mat: the file is empty"),
    (["cut.mat"], 2, "cannot read {d}/cut.mat: the file is truncated or damaged"),
    (["cut73.mat"], 2, "cannot read {d}/cut73.mat: the file is truncated or damaged"),
    (["damaged.mat"], 2, "cannot read {d}/damaged.mat: the file is truncated or damaged"),
    (["damaged7.mat"], 2, "cannot read {d}/damaged7.mat: the file is truncated or damaged"),
    (["missing.mat"], 2, "cannot read {d}/missing.mat: No such file or directory"),
    (["half.mat"], 2, "{d}/half.mat lacks the variable(s) odd"),
    (["group.mat"], 2, "{d}/group.mat: odd is an HDF5 group, not an array"),
    (["struct.mat"], 2, "{d}/struct.mat: odd is a struct, not an array"),
    (["real.mat"], 1, "{d}/real.mat: even is real (double); need complex double or complex "
     "single k-space"),
    (["scan.mat", "--threads", "0"], 2, "argument --threads: must be a whole number >= 1; got "
     "'0' (python3 -m tarvo --help shows the usage)"),
    (["scan.mat", "-o", "{d}/out.txt"], 2, "the output must end in .mat (a MAT file), .h5 or "
     ".hdf5 (HDF5); got {d}/out.txt"),
    (["scan.mat", "-o", "{d}/scan.mat"], 2, "the output file must differ from the input file "
     "{d}/scan.mat"),
    (["scan.mat", "-o", "{d}/subdir"], 2, "the output must end in .mat (a MAT file), .h5 or "
     ".hdf5 (HDF5); got {d}/subdir"),
    (["scan.mat", "-o", "{d}/folder.mat"], 2, "cannot write {d}/folder.mat: it is a folder"),
    (["scan.mat", "-o", "{d}/nowhere/out.mat"], 2, "cannot write {d}/nowhere/out.mat: the "
     "folder {d}/nowhere does not exist"),
    (["scan.mat", "-o", "/sys/out.mat"], 2, "cannot write /sys/out.mat: Permission denied"),
]


@pytest.mark.parametrize("args,status,message", ERRORS, ids=[" ".join(e[0]) for e in ERRORS])
def test_file_and_usage_errors_give_one_line_and_write_nothing(pair, tmp_path, args, status,
                                                               message):
    _setup_errors(tmp_path, *pair)
    before = files(tmp_path)
    run = run_cli(*[a.format(d=tmp_path) if "{d}" in a else str(tmp_path / a)
                    if a.endswith(".mat") else a for a in args])
    refused = f"tarvo: the data of {tmp_path}/{args[0]} were not corrected; nothing was written\n"
    assert (run.returncode, run.stderr) == (status, f"tarvo: {message.format(d=tmp_path)}\n"
                                            + (refused if status == 1 else ""))
    assert files(tmp_path) == before


def test_a_missing_optional_package_is_named(pair, tmp_path):
    write_matlab_h5(tmp_path / "run.mat", dict(zip(("even", "odd"), pair)))
    (tmp_path / "h5py.py").write_text("raise ModuleNotFoundError('no h5py', name='h5py')\n")
    path = os.pathsep.join(filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")]))
    run = subprocess.run([sys.executable, "-m", "tarvo", tmp_path / "run.mat"],
                         capture_output=True, text=True, env={**os.environ, "PYTHONPATH": path})
    assert (run.returncode, run.stderr) == (2, "tarvo: the Python package h5py is needed for "
                                               "this file and is not installed\n")
    assert files(tmp_path) == ["h5py.py", "run.mat"]


@pytest.mark.parametrize("sig,status,word", [(signal.SIGINT, 130, "interrupted"),
                                             (signal.SIGTERM, 143, "terminated")])
def test_a_stopped_run_removes_its_partial_output(tmp_path, sig, status, word):
    even, odd, _, _ = tarvo.phantom(64, 64, 2, 8)
    write_matlab_h5(tmp_path / "run.mat", {"even": even, "odd": odd})
    with h5py.File(tmp_path / "run.mat", "a") as f:  # 400 frames of zeros, never stored
        part = np.dtype([("real", "<f8"), ("imag", "<f8")])
        f.create_dataset("target", (400,) + odd.shape[::-1], part,
                         chunks=(1,) + odd.shape[::-1]).attrs["MATLAB_class"] = np.bytes_("double")
    out = tmp_path / "out.mat"
    cli = subprocess.Popen([sys.executable, "-m", "tarvo", tmp_path / "run.mat", "-o", out],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                           preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    for line in cli.stdout:
        if line.startswith("tarvo: frame 2/400"):
            break
    cli.send_signal(sig)
    rest, err = cli.communicate(timeout=60)
    assert cli.returncode == status, err
    assert "frame 400/400" not in rest
    assert err == f"tarvo: {word}; {out} was not written\n"
    assert files(tmp_path) == ["run.mat"]


PEAK = """import resource, subprocess, sys
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


def test_peak_memory_of_a_long_series_is_a_few_frames_beyond_two(tmp_path):
    """Peak resident memory of the command line on 48 frames against 2 frames of 1 MB: the
    frames are read, corrected and written one at a time (7.3 and compressed format-7 input;
    format-7 and HDF5 output)."""
    even, odd, _, _ = tarvo.phantom(64, 64, 2, 8)
    frame_mb = odd.nbytes / 2**20
    for T in (2, 48):
        arrays = {"even": even, "odd": odd, "target": np.stack([odd] * T, axis=-1)}
        write_matlab_h5(tmp_path / f"run{T}.mat", arrays)
        savemat(tmp_path / f"run{T}_v7.mat", arrays, do_compression=True)
    (tmp_path / "peak.py").write_text(PEAK)
    for suffix, out in (("", "out.mat"), ("", "out.h5"), ("_v7", "out.mat")):
        peak = {}
        for T in (2, 48):
            run = subprocess.run([sys.executable, tmp_path / "peak.py", sys.executable, "-m",
                                  "tarvo", tmp_path / f"run{T}{suffix}.mat", "-o",
                                  tmp_path / out], capture_output=True, text=True, check=True)
            peak[T] = int(run.stdout) / 1024  # MB
        print(f"run{suffix}.mat -> {out}: peak RSS {peak[2]:.1f} MB (2 frames), "
              f"{peak[48]:.1f} MB (48 frames of {frame_mb:.0f} MB)")
        assert peak[48] - peak[2] < 8 * frame_mb, (suffix, out, peak)
