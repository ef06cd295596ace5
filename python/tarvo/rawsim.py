"""Simulated ISMRMRD raw files of a multi-slice, multi-coil echo-planar acquisition (tests and
demo): tarvo.phantom's coil images acquired with a trapezoid readout sampled on its ramps,
reversed lines stored in acquisition-time order and flagged, three navigator lines per shot, a
noise scan, a dual-polarity calibration pair as repetitions 0 and 1, then T single-polarity
repetitions, on oblique slices; or (acceleration=R) an accelerated acquisition: a flagged
central calibration pair, then repetitions of every R-th line.

    sim = simulate("raw.h5", M=64, N=64, Z=3, L=8, T=4)
    sim.cartesian(2)          # the ideal Cartesian k-space of repetition 2 (M x N x Z x L)

The acquisition model, in the hybrid space (readout position x, line ky) of each coil image: a
line read forwards is multiplied by exp(+i phi(x)), a line read backwards by exp(-i phi(x)),
phi(x) = a + b (x - M/2) + drift * repetition; a sample at readout position kx (cycles per
field of view) is sum_x h(x) exp(-2 pi i kx (x - M/2) / M). Repetition 0 reads the odd lines
backwards, repetition 1 the even lines, the others as repetition 0. Pixel (i, j) of slice
counter s lies at position_s + (i - M/2) dx read_dir + (j - N/2) dy phase_dir (patient
coordinates, LPS); slices are acquired in interleaved spatial order, so the slice counter is
not the spatial order.
"""

import numpy as np

from .ismrmrd import NOISE, PARALLEL_CALIBRATION, PHASECORR, REVERSE, bit, trapezoid_positions
from .phantom import phantom

_ENCODING_COUNTERS = np.dtype([
    ("kspace_encode_step_1", "<u2"), ("kspace_encode_step_2", "<u2"), ("average", "<u2"),
    ("slice", "<u2"), ("contrast", "<u2"), ("phase", "<u2"), ("repetition", "<u2"),
    ("set", "<u2"), ("segment", "<u2"), ("user", "<u2", (8,))])

HEAD = np.dtype([
    ("version", "<u2"), ("flags", "<u8"), ("measurement_uid", "<u4"), ("scan_counter", "<u4"),
    ("acquisition_time_stamp", "<u4"), ("physiology_time_stamp", "<u4", (3,)),
    ("number_of_samples", "<u2"), ("available_channels", "<u2"), ("active_channels", "<u2"),
    ("channel_mask", "<u8", (16,)), ("discard_pre", "<u2"), ("discard_post", "<u2"),
    ("center_sample", "<u2"), ("encoding_space_ref", "<u2"), ("trajectory_dimensions", "<u2"),
    ("sample_time_us", "<f4"), ("position", "<f4", (3,)), ("read_dir", "<f4", (3,)),
    ("phase_dir", "<f4", (3,)), ("slice_dir", "<f4", (3,)),
    ("patient_table_position", "<f4", (3,)), ("idx", _ENCODING_COUNTERS),
    ("user_int", "<i4", (8,)), ("user_float", "<f4", (8,))])

FIRST_IN_SLICE, LAST_IN_SLICE, LAST_IN_MEASUREMENT = 7, 8, 25


def acquisition_dtype():
    import h5py

    vlen = h5py.vlen_dtype(np.float32)
    return np.dtype([("head", HEAD), ("traj", vlen), ("data", vlen)])


def rotation(angles_deg):
    """Columns read, phase, slice: the scanner axes turned by the three angles (about x, y, z)."""
    ax, ay, az = np.radians(angles_deg)
    rx = np.array([[1, 0, 0], [0, np.cos(ax), -np.sin(ax)], [0, np.sin(ax), np.cos(ax)]])
    ry = np.array([[np.cos(ay), 0, np.sin(ay)], [0, 1, 0], [-np.sin(ay), 0, np.cos(ay)]])
    rz = np.array([[np.cos(az), -np.sin(az), 0], [np.sin(az), np.cos(az), 0], [0, 0, 1]])
    return rz @ ry @ rx


class Simulated:
    """What the simulator wrote: the truth the tests compare against."""

    def acquired(self, repetition):
        """The lines read in a repetition: every line; with an acceleration R the central
        calibration block in repetitions 0 and 1 and every R-th line (from 0) in the others."""
        if not self.acceleration:
            return np.arange(self.N)
        if repetition < 2:
            return self.block
        return np.arange(0, self.N, self.acceleration)

    def pattern(self, repetition):
        """The lines read backwards in a repetition (N booleans; with an acceleration R the
        imaging repetitions alternate from one acquired line to the next)."""
        if self.acceleration and repetition >= 2:
            out = np.zeros(self.N, bool)
            out[self.acquired(repetition)[1::2]] = True
            return out
        odd = np.arange(self.N) % 2 == 1
        return ~odd if repetition == 1 and self.pair else odd

    def phase(self, repetition):
        return self.a + self.b * (np.arange(self.M) - self.M / 2) + self.drift * repetition

    def hybrid_lines(self, repetition):
        """The hybrid space of every line with its polarity's phase error (M x N x Z x L)."""
        phi = self.phase(repetition)[:, None]
        sign = np.where(self.pattern(repetition), -1.0, 1.0)[None, :]
        return self.hybrid * np.exp(1j * phi * sign)[:, :, None, None]

    def cartesian(self, repetition):
        """The ideal k-space of a repetition on the Cartesian grid, lines in k-space order,
        without noise: complex128 M x N x Z x L (Fortran order), slices in counter order."""
        h = self.hybrid_lines(repetition)
        k = np.fft.fftshift(np.fft.fft(np.fft.ifftshift(h, axes=0), axis=0), axes=0)
        return np.asfortranarray(k)

    def world(self, i, j, slice_counter):
        """LPS position (mm) of pixel (i, j) of a slice counter."""
        r, p, _ = self.directions.T
        return self.positions[slice_counter] + (i - self.M / 2) * self.dx * r + \
            (j - self.N / 2) * self.dy * p


def _xml(sim, tr):
    M, N, Z, L = sim.M, sim.N, sim.Z, sim.L
    trap = sim.trapezoid
    longs = "".join(f"<userParameterLong><name>{n}</name><value>{int(trap[n])}</value>"
                    "</userParameterLong>" for n in ("rampUpTime", "rampDownTime",
                                                     "flatTopTime", "acqDelayTime",
                                                     "numSamples"))
    parallel = "" if not sim.acceleration else (
        "<parallelImaging><accelerationFactor><kspace_encoding_step_1>"
        f"{sim.acceleration}</kspace_encoding_step_1><kspace_encoding_step_2>1"
        "</kspace_encoding_step_2></accelerationFactor><calibrationMode>separate"
        "</calibrationMode></parallelImaging>")
    space = (f"<matrixSize><x>{M}</x><y>{N}</y><z>1</z></matrixSize><fieldOfView_mm>"
             f"<x>{M * sim.dx:.6f}</x><y>{N * sim.dy:.6f}</y><z>{sim.thickness:.6f}</z>"
             "</fieldOfView_mm>")
    return (
        '<?xml version="1.0"?>\n<ismrmrdHeader xmlns="http://www.ismrm.org/ISMRMRD">'
        f"<version>1</version><acquisitionSystemInformation><receiverChannels>{L}"
        "</receiverChannels></acquisitionSystemInformation><experimentalConditions>"
        "<H1resonanceFrequency_Hz>123200000</H1resonanceFrequency_Hz></experimentalConditions>"
        f"<encoding><encodedSpace>{space}</encodedSpace><reconSpace>{space}</reconSpace>"
        "<encodingLimits><kspace_encoding_step_1><minimum>0</minimum>"
        f"<maximum>{N - 1}</maximum><center>{N // 2}</center></kspace_encoding_step_1>"
        f"<slice><minimum>0</minimum><maximum>{Z - 1}</maximum><center>0</center></slice>"
        f"<repetition><minimum>0</minimum><maximum>{sim.T + 1}</maximum><center>0</center>"
        "</repetition></encodingLimits><trajectory>epi</trajectory><trajectoryDescription>"
        f"<identifier>ConventionalEPI</identifier>{longs}<userParameterDouble><name>dwellTime"
        f"</name><value>{trap['dwellTime']}</value></userParameterDouble>"
        f"</trajectoryDescription>{parallel}<echoTrainLength>{N}</echoTrainLength></encoding>"
        f"<sequenceParameters><TR>{tr}</TR><TE>30</TE></sequenceParameters></ismrmrdHeader>")


def simulate(path, M=64, N=64, Z=3, L=8, T=4, ramp=0.4, R=None, noise=1e-3, noisy_data=True,
             navigators=3, noise_scans=2, pair=True, a=0.4, b=0.04, drift=0.0, traj=False,
             shuffle=False, seed=0, tr=2000.0, angles=(20.0, -15.0, 10.0),
             center=(12.0, -25.0, 30.0), dx=3.0, dy=3.5, thickness=4.0, spacing=5.0,
             chunk=256, acceleration=None, calibration_lines=24):
    """Writes the raw file and returns a Simulated with the truth (attributes M, N, Z, L, T,
    kx, images, positions, directions, dx, dy, noise_covariance, ...).

    ramp: the fraction of the R samples of a line on the gradient ramps (R defaults to M
    without ramps, else round(1.7 M)); noise: the noise standard deviation per channel as a
    fraction of the largest k-space magnitude (the noise scans always have it; the imaging
    lines when noisy_data); traj: also store each line's trajectory (kx / M, ky / N);
    shuffle: write the acquisitions (but the noise scans) in a random order; pair=False reads
    repetition 1 as the others (no calibration pair); acceleration (2 to 4): repetitions 0 and
    1 read only the calibration_lines central lines (from N/2 - calibration_lines/2), flagged
    parallel calibration, and the others every acceleration-th line, their polarity
    alternating from one acquired line to the next; the header gives the factor."""
    import h5py

    if M % 2 or N % 2:
        raise ValueError("M and N must be even")
    rng = np.random.default_rng(seed)
    sim = Simulated()
    sim.M, sim.N, sim.Z, sim.L, sim.T, sim.pair = M, N, Z, L, T, pair
    sim.a, sim.b, sim.drift = a, b, drift
    sim.acceleration = acceleration
    if acceleration:
        start = N // 2 - calibration_lines // 2
        sim.block = np.arange(start, start + calibration_lines)
    sim.dx, sim.dy, sim.thickness, sim.spacing = dx, dy, thickness, spacing
    R = R or (M if ramp == 0 else int(round(1.7 * M)))
    dwell = 2.0
    ramp_time = int(round(ramp * R * dwell / 2))
    sim.trapezoid = {"rampUpTime": ramp_time, "rampDownTime": ramp_time,
                     "flatTopTime": int(R * dwell) - 2 * ramp_time, "acqDelayTime": 0,
                     "numSamples": R, "dwellTime": dwell}
    sim.R = R
    sim.kx = trapezoid_positions(ramp_time, R * dwell - 2 * ramp_time, ramp_time, 0, R, dwell,
                                 M)
    _, _, images, support = phantom(M, N, Z, L)
    sim.images, sim.support = images, support
    sim.hybrid = np.fft.fftshift(np.fft.fft(np.fft.ifftshift(images, axes=1), axis=1), axes=1)
    sim.directions = rotation(angles)
    spatial = list(range(0, Z, 2)) + list(range(1, Z, 2))  # spatial index of each counter
    sim.spatial_index = np.array(spatial)
    sim.positions = np.array([np.asarray(center) + (spatial[s] - (Z - 1) / 2) * spacing *
                              sim.directions[:, 2] for s in range(Z)])
    # Correlated coil noise: Psi = sigma^2 G C G, C_ij = 0.3^|i-j| exp(0.4 i (i - j)).
    d = np.arange(L)[:, None] - np.arange(L)[None, :]
    gains = np.diag(0.7 + 0.6 * rng.random(L))
    corr = 0.3 ** np.abs(d) * np.exp(0.4j * d)
    peak = np.abs(sim.cartesian(0)).max()
    sim.noise_covariance = (noise * peak) ** 2 * gains @ corr @ gains
    chol = np.linalg.cholesky(sim.noise_covariance)

    def noise_samples(shape):
        w = (rng.standard_normal(shape + (L,)) + 1j * rng.standard_normal(shape + (L,)))
        return (w / np.sqrt(2)) @ chol.T

    E = np.exp(-2j * np.pi * np.outer(sim.kx, np.arange(M) - M / 2) / M)  # R x M

    def lines_of(repetition):
        h = sim.hybrid_lines(repetition)
        data = np.tensordot(E, h, axes=(1, 0))  # R x N x Z x L, kx increasing
        data[:, sim.pattern(repetition)] = data[::-1, sim.pattern(repetition)]
        return data

    def navigator_lines(repetition):
        h = sim.hybrid[:, N // 2]
        out = []
        for k in range(navigators):
            sign = -1.0 if k % 2 else 1.0
            line = np.tensordot(E, h * np.exp(1j * sign * sim.phase(repetition))[:, None, None],
                                axes=(1, 0))
            out.append(line[::-1] if k % 2 else line)
        return out  # each R x Z x L

    dtype = acquisition_dtype()
    count = noise_scans + sum(Z * (navigators + len(sim.acquired(r))) for r in range(T + 2))
    heads = np.zeros(count, HEAD)
    trajs, samples_of = [np.zeros(0, np.float32)] * count, [None] * count
    mask = np.zeros(16, np.uint64)
    for c in range(L):
        mask[c // 64] |= np.uint64(1) << np.uint64(c % 64)

    def record(counter, flags, samples, line, slice_counter, repetition, kx_traj=None):
        h = heads[counter]
        h["version"], h["flags"], h["scan_counter"] = 1, flags, counter
        h["acquisition_time_stamp"] = counter
        h["number_of_samples"] = samples.shape[0]
        h["available_channels"] = h["active_channels"] = L
        h["channel_mask"] = mask
        h["center_sample"] = samples.shape[0] // 2
        h["sample_time_us"] = dwell
        h["position"] = sim.positions[slice_counter]
        h["read_dir"], h["phase_dir"], h["slice_dir"] = sim.directions.T
        h["idx"]["kspace_encode_step_1"] = line
        h["idx"]["slice"] = slice_counter
        h["idx"]["repetition"] = repetition
        pairs = np.empty((L, samples.shape[0], 2), np.float32)  # re/im, then samples, channels
        pairs[..., 0], pairs[..., 1] = samples.T.real, samples.T.imag
        samples_of[counter] = pairs.ravel()
        if kx_traj is not None:
            h["trajectory_dimensions"] = 2
            t = np.empty((samples.shape[0], 2), np.float32)
            t[:, 0], t[:, 1] = kx_traj / M, (line - N / 2) / N
            trajs[counter] = t.ravel()

    counter = 0
    for k in range(noise_scans):
        record(counter, bit(NOISE), noise_samples((256,)), 0, 0, 0)
        counter += 1
    cache = {}
    for rep in range(T + 2):
        key = (sim.pattern(rep).tobytes(), rep if drift else 0)
        if key not in cache:
            cache[key] = (lines_of(rep), navigator_lines(rep))
        data, navs = cache[key]
        reverse = sim.pattern(rep)
        for s in range(Z):
            for k, nav in enumerate(navs):
                flags = bit(PHASECORR) | (bit(REVERSE) if k % 2 else np.uint64(0))
                record(counter, flags, nav[:, s], N // 2, s, rep)
                counter += 1
            acquired = sim.acquired(rep)
            for n in acquired:
                samples = data[:, n, s]
                if noisy_data:
                    samples = samples + noise_samples((R,))
                flags = bit(REVERSE) if reverse[n] else np.uint64(0)
                if n == acquired[0]:
                    flags |= bit(FIRST_IN_SLICE)
                if n == acquired[-1]:
                    flags |= bit(LAST_IN_SLICE)
                if acceleration and rep < 2:
                    flags |= bit(PARALLEL_CALIBRATION)
                kx = (sim.kx[::-1] if reverse[n] else sim.kx) if traj else None
                record(counter, np.uint64(flags), samples, n, s, rep, kx)
                counter += 1
    heads[-1]["flags"] |= bit(LAST_IN_MEASUREMENT)
    order = np.arange(count)
    if shuffle:
        order[noise_scans:] = noise_scans + rng.permutation(count - noise_scans)
    with h5py.File(path, "w") as f:
        text = _xml(sim, tr)
        f.create_dataset("dataset/xml", data=np.array([text.encode()], dtype=object),
                         dtype=h5py.string_dtype("ascii"))
        table = f.create_dataset("dataset/data", shape=(count,), dtype=dtype,
                                 chunks=(min(chunk, count),), maxshape=(None,))
        for start in range(0, count, chunk):
            part = order[start:start + chunk]
            block = np.empty(len(part), dtype)
            block["head"] = heads[part]
            for i, r in enumerate(part):
                block["traj"][i], block["data"][i] = trajs[r], samples_of[r]
            table[start:start + len(part)] = block
    sim.acquisitions = count
    sim.order = order
    return sim
