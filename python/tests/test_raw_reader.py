"""The ISMRMRD reader on simulated raw files: readout positions, reversed lines, sorting,
pre-whitening, and every refusal with its message (the geometry is checked on the NIfTI
output)."""

import os

import h5py
import numpy as np
import pytest
from conftest import same_bits

from tarvo import rawsim
from tarvo.ismrmrd import NotRawFile, RawFile, RawFileError, trapezoid_positions

SMALL = {"M": 16, "N": 12, "Z": 2, "L": 3, "T": 2}
FIRST_LINE = 2 + 3  # two noise scans, then three navigators before the first imaging line


def simulate(tmp_path, **kw):
    path = str(tmp_path / "raw.h5")
    return path, rawsim.simulate(path, **{**SMALL, **kw})


def line_index(rep, s, n, Z=2, N=12):
    return 2 + (rep * Z + s) * (3 + N) + 3 + n


def edit_xml(path, old, new):
    with h5py.File(path, "r+") as f:
        text = f["dataset/xml"][0].decode()
        assert old in text
        f["dataset/xml"][0] = text.replace(old, new, 1).encode()


def trajectory(path, name, old, new):
    """Changes the value of one parameter of the trajectory description."""
    edit_xml(path, f"<name>{name}</name><value>{old}", f"<name>{name}</name><value>{new}")


def set_xml(path, text):
    with h5py.File(path, "r+") as f:
        f["dataset/xml"][0] = text.encode()


def edit(path, i, **fields):
    """Sets header fields (idx fields by name too) and data/traj of acquisition i."""
    with h5py.File(path, "r+") as f:
        d = f["dataset/data"]
        rec = d[i]
        for name, value in fields.items():
            if name in ("data", "traj"):
                rec[name] = np.asarray(value, np.float32)
            elif name in rec["head"]["idx"].dtype.names:
                rec["head"]["idx"][name] = value
            else:
                rec["head"][name] = value
        d[i] = rec


def test_trapezoid_positions_follow_the_gradient_area_at_mid_sample_times():
    # No ramps, M samples: exactly the Cartesian grid.
    assert (trapezoid_positions(0, 64, 0, 0, 32, 2.0, 32) == np.arange(-16, 16)).all()
    # Ramps: the area of the trapezoid integrated numerically, sampled at delay + (n + 1/2) dwell.
    up, flat, down, delay, R, dwell, M = 30, 70, 40, 5, 61, 2.0, 48
    t = np.linspace(0, up + flat + down, 200001)
    g = np.interp(t, [0, up, up + flat, up + flat + down], [0, 1, 1, 0])
    area = np.concatenate([[0], np.cumsum((g[1:] + g[:-1]) / 2 * np.diff(t))])
    a = np.interp(delay + (np.arange(R) + 0.5) * dwell, t, area)
    expected = -M / 2 + (M - 1) * (a - a[0]) / (a[-1] - a[0])
    assert np.abs(trapezoid_positions(up, flat, down, delay, R, dwell, M) - expected).max() < 1e-6


@pytest.mark.parametrize("options", [{"shuffle": True}, {"traj": True}, {"ramp": 0.0}],
                         ids=["shuffled", "traj", "cartesian"])
def test_frames_are_the_ideal_cartesian_frames(tmp_path, options):
    path, sim = simulate(tmp_path, Z=3, noisy_data=False, **options)
    if options.get("traj"):  # the acquisitions' traj takes precedence over the description
        edit_xml(path, "<name>rampUpTime</name><value>", "<name>rampUpTime</name><value>1")
    with RawFile(path, prewhiten=False) as raw:
        assert raw.calibration_pair() == (0, 1) and raw.T == sim.T + 2
        assert raw.kx_source == ("traj" if options.get("traj") else "trapezoid")
        order = raw.slice_counters
        for frames, k in raw.read(range(raw.T), chunk=3):
            for i, t in enumerate(frames):
                ideal = sim.cartesian(t)[:, :, order]
                assert np.abs(k[..., i] - ideal).max() < 1e-6 * np.abs(ideal).max()
        assert raw.cartesian == (options.get("ramp") == 0)
        if raw.cartesian:  # lines flipped as placed: the bits tarvo.prepare gives
            flipped = [k for _, k in raw.read(range(raw.T))]
            raw.cartesian = False
            assert all(same_bits(a, b) for a, (_, b) in zip(flipped, raw.read(range(raw.T))))
    # Slices come in spatial order along the slice normal, whatever the counters.
    along = sim.positions[order] @ sim.directions[:, 2]
    assert (np.diff(along) > 0).all() and list(order) != sorted(order)


def test_prewhitening_uses_the_noise_covariance_scaled_by_the_dwell_ratio(tmp_path):
    path, sim = simulate(tmp_path, L=4, noise_scans=40)
    with RawFile(path) as raw, RawFile(path, prewhiten=False) as plain:
        psi = raw.noise_covariance
        assert np.linalg.norm(psi - sim.noise_covariance) < 0.05 * np.linalg.norm(psi)
        W = raw.whitening
        assert np.allclose(W @ psi @ W.conj().T, np.eye(4), atol=1e-12)
        (_, white), = raw.read([2])
        (_, k), = plain.read([2])
        assert np.allclose(white[..., 0], k[..., 0] @ W.T, rtol=0, atol=1e-9 * np.abs(k).max())
    for i in range(40):  # noise sampled at twice the dwell: half the bandwidth, half the power
        edit(path, i, sample_time_us=4.0)
    with RawFile(path) as raw:
        assert np.allclose(raw.noise_covariance, 2 * psi)


def test_single_precision_frames_in_reused_arrays_are_the_double_precision_frames(tmp_path):
    path, _ = simulate(tmp_path, T=3)  # ramp sampled, with noise scans: resampled and whitened
    with RawFile(path) as raw:
        double = np.concatenate([k for _, k in raw.read(range(raw.T), chunk=2)], axis=4)
        chunks = [(f, k.copy()) for f, k in raw.read(range(raw.T), chunk=2, dtype=np.complex64,
                                                     reuse=True)]
        assert [f for f, _ in chunks] == [[0, 1], [2, 3], [4]]
        single = np.concatenate([k for _, k in chunks], axis=4)
        assert single.dtype == np.complex64
        assert np.abs(single - double).max() < 1e-6 * np.abs(double).max()
        # The chunk after the next takes a chunk's array again.
        (_, a), (_, b), (_, c) = raw.read(range(raw.T), chunk=2, dtype=np.complex64, reuse=True)
        assert np.shares_memory(a, c) and not np.shares_memory(a, b)
        with pytest.raises(TypeError) as e:
            next(raw.read([0], dtype=np.float32))
        assert str(e.value) == "dtype must be complex64 or complex128; got float32"


def test_calibration_pair_named_or_found_and_refused(tmp_path):
    path, _ = simulate(tmp_path)
    with RawFile(path) as raw:
        assert raw.calibration_pair((1, 0)) == (0, 1)
        with pytest.raises(RawFileError) as e:
            raw.calibration_pair((0, 2))
        assert str(e.value) == "frames 0 and 2 are not a polarity pair: some lines are read " \
            "in the same direction in both"
        with pytest.raises(RawFileError) as e:
            raw.calibration_pair((0, 9))
        assert str(e.value) == "--calibration: frame 9 does not exist (frames 0 to 3)"
    path, _ = simulate(tmp_path, pair=False)
    with RawFile(path) as raw, pytest.raises(RawFileError) as e:
        raw.calibration_pair()
    assert str(e.value) == (
        f"{path} has no dual-polarity calibration pair: looked for two frames whose lines are "
        "read in opposite directions line for line (reverse flag 22) on every slice; its 4 "
        "frame(s) have 1 distinct pattern(s)")


def _garbage(path):
    with open(path, "w") as f:
        f.write("not HDF5")


def _group_only(path):
    with h5py.File(path, "w") as f:
        f.create_group("other")


def _no_xml(path):
    with h5py.File(path, "w") as f:
        f.create_dataset("dataset/data", data=np.zeros(3))


def _not_a_table(path):
    with h5py.File(path, "w") as f:
        f.create_dataset("dataset/data", data=np.zeros(3))
        f.create_dataset("dataset/xml", data=[b"<x/>"])


def _corrupt_heap(path, which):
    data = bytearray(open(path, "rb").read())
    at = [i for i in range(len(data)) if data[i:i + 4] == b"GCOL"][which]
    data[at:at + 4] = b"XXXX"
    open(path, "wb").write(data)


def _lacking_field(path):
    rawsim.simulate(path, **SMALL)
    with h5py.File(path, "r+") as f:
        old = f["dataset/data"][:]
        head = [(n, old.dtype["head"][n]) for n in old.dtype["head"].names if n != "center_sample"]
        kind = np.dtype([("head", head), ("traj", old.dtype["traj"]), ("data", old.dtype["data"])])
        new = np.empty(len(old), kind)
        for n, _ in head:
            new["head"][n] = old["head"][n]
        new["traj"], new["data"] = old["traj"], old["data"]
        del f["dataset/data"]
        f.create_dataset("dataset/data", data=new)


def _only_noise(path):
    rawsim.simulate(path, **SMALL)
    with h5py.File(path, "r+") as f:
        d = f["dataset/data"]
        d.resize((2,))


def _all_lines(path, **fields):
    with h5py.File(path, "r+") as f:
        d = f["dataset/data"]
        recs = d[2:]
        for name, value in fields.items():
            recs["head"][name] = value
        d[2:] = recs


X = "<x>16</x>"
BAD = [  # (what is done to a simulated file, exception, message; {p} is the path)
    (_garbage, NotRawFile, "{p} is not an HDF5 file"),
    (os.unlink, NotRawFile, "{p} does not exist"),
    (_group_only, NotRawFile, "{p} holds no /dataset group: not an ISMRMRD raw file"),
    (_no_xml, NotRawFile, "{p} lacks /dataset/data or /dataset/xml: not an ISMRMRD raw file"),
    (_not_a_table, NotRawFile,
     "/dataset/data of {p} is not a table of acquisitions (head, traj, data)"),
    (lambda p: os.truncate(p, 60000), NotRawFile, "cannot open {p}: Unable to open file "
     "(truncated file: eof = 60000, sblock->base_addr = 0, stored_eof = 170520)"),
    (lambda p: _corrupt_heap(p, 0), RawFileError,
     "cannot read {p}: Can't read data (bad global heap collection signature)"),
    (lambda p: _corrupt_heap(p, 1), RawFileError, "cannot read the data of acquisition(s) 0, 1 "
     "of {p}: Can't read data (bad global heap collection signature)"),
    (_lacking_field, RawFileError, "the acquisition headers lack center_sample"),
    (_only_noise, RawFileError, "{p} holds no imaging lines"),
    (lambda p: set_xml(p, "<ismrmrdHeader>"), RawFileError,
     "the XML header cannot be parsed: no element found: line 1, column 15"),
    (lambda p: edit_xml(p, "<encoding>", "<encodingX>") or edit_xml(p, "</encoding>",
                                                                       "</encodingX>"),
     RawFileError, "the XML header has no <encoding>"),
    (lambda p: edit_xml(p, "<fieldOfView_mm>", "<fov>") or edit_xml(p, "</fieldOfView_mm>",
                                                                    "</fov>"),
     RawFileError, "the XML header lacks encodedSpace/matrixSize or fieldOfView_mm (x and y)"),
    (lambda p: edit_xml(p, X, "<x>many</x>"), RawFileError,
     "the XML header's encodedSpace/matrixSize/x is not a number: 'many'"),
    (lambda p: edit_xml(p, X, "<x>0</x>"), RawFileError,
     "the encoded matrix 0 x 12 or field of view 48.0 x 42.0 mm is not positive"),
    (lambda p: edit_xml(p, "<value>2.0</value>", "<value>fast</value>"), RawFileError,
     "trajectory description: dwellTime is not a number: 'fast'"),
    (lambda p: edit_xml(p, "<name>acqDelayTime</name>", "<name>delay</name>"), RawFileError,
     "the ConventionalEPI trajectory description lacks acqDelayTime"),
    (lambda p: edit_xml(p, "<value>2.0</value>", "<value>0</value>"), RawFileError,
     "the trajectory description's dwellTime is 0 us: it must be positive"),
    (lambda p: trajectory(p, "rampDownTime", "11", "-1"), RawFileError,
     "the trajectory description needs times >= 0 and numSamples >= 2; got rampUpTime 11, "
     "flatTopTime 32, rampDownTime -1, acqDelayTime 0, numSamples 27"),
    (lambda p: trajectory(p, "rampUpTime", "11", "500"), RawFileError, "the trajectory "
     "description's rampUpTime (500 us) is longer than the readout (27 samples x 2 us = 54 us)"),
    (lambda p: trajectory(p, "acqDelayTime", "0", "10"), RawFileError,
     "the samples (acqDelayTime 10 us + 54 us) end after the gradient trapezoid (54 us)"),
    (lambda p: trajectory(p, "numSamples", "27", "26"), RawFileError,
     "the trajectory description has numSamples 26; the imaging lines hold 27 samples"),
    (lambda p: edit(p, line_index(1, 1, 4), number_of_samples=26), RawFileError,
     f"number_of_samples varies between imaging lines: acquisition 5 has 27, acquisition "
     f"{line_index(1, 1, 4)} has 26"),
    (lambda p: edit(p, line_index(0, 1, 4), active_channels=2), RawFileError,
     "the channel count (active_channels) varies between imaging lines: acquisition 5 has 3, "
     f"acquisition {line_index(0, 1, 4)} has 2"),
    (lambda p: edit(p, line_index(0, 0, 1), trajectory_dimensions=1), RawFileError,
     "trajectory_dimensions varies between imaging lines: acquisition 5 has 0, acquisition 6 "
     "has 1"),
    (lambda p: _all_lines(p, active_channels=0), RawFileError,
     "the imaging lines hold 27 samples of 0 channels"),
    (lambda p: edit(p, line_index(0, 0, 3), kspace_encode_step_1=14), RawFileError,
     "acquisition 8 is line 14, beyond the encoded matrix of 12 lines"),
    (lambda p: edit(p, line_index(0, 0, 3), kspace_encode_step_2=1), RawFileError,
     "3-D encoding (kspace_encode_step_2 or an encoded z above 1) is not supported: the "
     "correction works on 2-D slices"),
    (lambda p: [edit(p, line_index(r, s, n), flags=1 << 26) for r in range(4) for s in range(2)
                for n in range(1, 12, 2)], RawFileError,
     "{p} is an accelerated acquisition (lines 2 apart) without a calibration block: looked "
     "for frames of lines flagged parallel calibration (flag 20) to calibrate from; "
     "found none"),
    (lambda p: edit(p, line_index(0, 1, 3), kspace_encode_step_1=2), RawFileError,
     "line 2 of slice 1 appears more than once in frame 0 (repetition 0)"),
    (lambda p: edit(p, line_index(2, 0, 7), flags=1 << 26), RawFileError,
     "frame 2 (repetition 2) lacks line 7 of slice 0 (1 lines missing; partial Fourier and "
     "other incomplete frames are not supported)"),
    (lambda p: edit(p, 0, active_channels=2), RawFileError,
     "the noise scans have 2, 3 channel(s); the imaging lines have 3"),
    (lambda p: [edit(p, i, data=np.zeros(2 * 256 * 3)) for i in (0, 1)], RawFileError,
     "the noise covariance of the 2 noise scan(s) is singular (a channel without noise, or "
     "fewer noise samples than channels); run without pre-whitening (--no-prewhiten)"),
    (lambda p: edit(p, 1, data=np.zeros(10)), RawFileError, "acquisition 1 holds 10 values; "
     "its header asks for 256 samples x 3 channels x 2 = 1536 (a truncated record)"),
    (lambda p: rawsim.simulate(p, traj=True, **SMALL) and edit(p, FIRST_LINE, traj=np.zeros(54)),
     RawFileError,
     "the readout positions (traj) are not strictly increasing along a line read forwards"),
    (lambda p: rawsim.simulate(p, traj=True, **SMALL) and edit(p, FIRST_LINE, traj=np.zeros(5)),
     RawFileError, "acquisition 5 holds 5 trajectory values; its header asks for 27 x 2"),
]


@pytest.mark.parametrize("damage, kind, message", BAD, ids=range(len(BAD)))
def test_bad_files_are_refused_before_any_frame_with_the_reason(tmp_path, damage, kind, message):
    path, _ = simulate(tmp_path)
    damage(path)
    with pytest.raises(kind) as e:
        RawFile(path)
    assert str(e.value) == message.format(p=path)


@pytest.mark.parametrize("options, damage, message", [
    ({}, lambda p: edit(p, line_index(3, 1, 11), data=np.zeros(7)),
     f"acquisition {line_index(3, 1, 11)} holds 7 values; its header asks for 27 samples x 3 "
     "channels x 2 = 162 (a truncated record)"),
    ({}, lambda p: _corrupt_heap(p, -1), "cannot read the data of acquisitions 35 to 61 of {p}: "
     "Can't read data (bad global heap collection signature)"),
    ({"R": 12}, lambda p: None, "the readout positions (trapezoid) cannot be resampled onto 16 "
     "samples: only 12 of the 12 kx positions lie within -M/2 .. M/2 (M = 16); at least M are "
     "needed"),
    ({"traj": True}, lambda p: edit(p, line_index(2, 1, 5), traj=np.zeros(3)),
     f"acquisition {line_index(2, 1, 5)} holds 3 trajectory values; its header asks for 27 x 2"),
    ({"traj": True}, lambda p: edit(p, line_index(2, 1, 6), traj=np.ones(54)),
     f"acquisition {line_index(2, 1, 6)} has other readout positions than acquisition 5 (traj); "
     "every line must be "
     "sampled at the same positions, reversed lines in the opposite order"),
], ids=["truncated", "unreadable", "too-few-positions", "traj-size", "traj-other"])
def test_bad_records_are_refused_when_their_frame_is_read(tmp_path, options, damage, message):
    path, _ = simulate(tmp_path, **options)
    damage(path)
    with RawFile(path) as raw, pytest.raises(RawFileError) as e:
        for _ in raw.read(range(raw.T), chunk=2):
            pass
    assert str(e.value) == message.format(p=path)


def test_mutated_headers_give_frames_or_a_refusal(tmp_path):
    """Random header values on random acquisitions: the reader reads the frames or raises
    RawFileError; nothing else escapes."""
    rng = np.random.default_rng(7)
    fields = ["flags", "number_of_samples", "active_channels", "center_sample",
              "trajectory_dimensions", "sample_time_us", "kspace_encode_step_1", "slice",
              "repetition", "contrast", "set", "average", "encoding_space_ref"]
    for trial in range(30):
        path, _ = simulate(tmp_path, seed=trial)
        for _ in range(3):
            name = fields[rng.integers(len(fields))]
            value = int(rng.choice([0, 1, 2, 3, 11, 12, 27, 255, 65535, 1 << 21, 1 << 23]))
            if name not in ("flags", "sample_time_us"):
                value %= 65536
            edit(path, int(rng.integers(0, 90)), **{name: value})
        try:
            with RawFile(path) as raw:
                for _ in raw.read(range(raw.T)):
                    pass
        except RawFileError:
            pass


def _acquisition(path, rep, s, n):
    """The index of the imaging acquisition of repetition rep, slice s, line n."""
    with h5py.File(path, "r") as f:
        h = f["dataset/data"].fields("head")[:]
    imaging = (h["flags"] & np.uint64((1 << 18) | (1 << 23))) == 0
    idx = h["idx"]
    return int(np.flatnonzero(imaging & (idx["repetition"] == rep) & (idx["slice"] == s) &
                              (idx["kspace_encode_step_1"] == n))[0])


ACCELERATED = {"acceleration": 2, "calibration_lines": 6}


def _calibration_and_imaging(path):
    """Flags the calibration lines 21 (calibration and imaging) instead of 20."""
    with h5py.File(path, "r+") as f:
        d = f["dataset/data"]
        rec = d[:]
        flags = rec["head"]["flags"]
        calibration = (flags & np.uint64(1 << 19)) != 0
        flags[calibration] ^= np.uint64(1 << 19 | 1 << 20)
        rec["head"]["flags"] = flags
        d[:] = rec
FACTOR = "<kspace_encoding_step_1>2</kspace_encoding_step_1>"


@pytest.mark.parametrize("options, damage, message", [
    ({"calibration_lines": 4}, None,
     "the calibration pair (frames 0 and 1) reads 4 line(s) from 4 to 7 on slice 0: with R = 2 "
     "it must read one contiguous block of at least 5 lines on every slice"),
    ({}, lambda p: edit(p, _acquisition(p, 1, 0, 5), flags=(1 << 19) | (1 << 21)), "{p} has no "
     "dual-polarity calibration pair among its parallel calibration lines: looked for two "
     "frames of lines flagged parallel calibration (flag 20) that read the same lines in "
     "opposite directions line for line (reverse flag 22) on every slice; its 2 calibration "
     "frame(s) have 2 distinct pattern(s)"),
    ({}, lambda p: edit(p, _acquisition(p, 3, 1, 2), flags=0), "frame 3 (repetition 3): the "
     "readout polarity of slice 1 does not alternate from one acquired line to the next "
     "(lines 0 and 2 are both read forwards)"),
    ({}, lambda p: edit_xml(p, FACTOR, FACTOR.replace("2", "6")),
     "{p} is accelerated by R = 6: the correction handles R = 1 to 4"),
    ({}, lambda p: edit_xml(p, FACTOR, FACTOR.replace("2", "3")),
     "the imaging frames read lines 0 to 10 with steps of 2; with R = 3 they must read every "
     "R-th line (partial Fourier and other layouts are not supported from raw files)"),
    ({}, lambda p: edit(p, _acquisition(p, 3, 0, 10), flags=1 << 26),
     "frame 3 (repetition 3) reads other lines than slice 0 of frame 2: every imaging frame "
     "and slice of an accelerated file must read the same lines"),
    ({"T": 0}, None, "{p} holds only parallel calibration frames: no frame to correct"),
    ({}, _calibration_and_imaging, "{p} is an accelerated acquisition (parallel calibration "
     "lines or an acceleration factor in the header) without a calibration block: looked for "
     "frames of lines flagged parallel calibration (flag 20) to calibrate from; found none"),
], ids=["short-block", "no-pair", "polarity", "R-6", "steps", "other-lines", "no-imaging",
        "flag-21"])
def test_accelerated_files_refused_with_what_was_looked_for(tmp_path, options, damage, message):
    path, _ = simulate(tmp_path, **{**ACCELERATED, **options})
    if damage:
        damage(path)
    with pytest.raises(RawFileError) as e, RawFile(path) as raw:
        raw.calibration_pair()
    assert str(e.value) == message.format(p=path)


def test_accelerated_file_read_zero_filled_with_its_layout(tmp_path):
    path, sim = simulate(tmp_path, ramp=0.0, noisy_data=False, **ACCELERATED)
    with RawFile(path, prewhiten=False) as raw:
        # The block starts at line 3, which repetition 0 reads backwards: it is the odd one.
        assert raw.calibration_pair() == (1, 0) and raw.acceleration == 2
        assert list(raw.block) == list(range(3, 9)) and list(raw.acquired) == list(range(0, 12, 2))
        with pytest.raises(RawFileError) as e:
            raw.calibration_pair((0, 2))
        assert str(e.value) == "frames 0 and 2 are not a polarity pair: they do not read the " \
            "same lines"
        (_, k), = raw.read(range(4), chunk=4)
        order = raw.slice_counters
    for rep, lines in ((0, sim.block), (3, np.arange(0, 12, 2))):
        truth = np.zeros_like(k[..., 0])
        truth[:, lines] = sim.cartesian(rep)[:, lines][:, :, order]
        assert np.abs(k[..., rep] - truth).max() < 1e-4 * np.abs(truth).max()
