"""Figures of the raw-file command.

Accuracy: a simulated file (64 x 64, 40 % of the samples on the ramps, 3 oblique slices, 16
coils, 10 repetitions) through the command against tarvo on the ideal Cartesian frames
(pre-whitened alike): the largest normalised RMS difference over the object of a frame, and
the largest distance (mm) between the NIfTI affine's voxel positions and the simulator's.

Speed: the command against the correction alone: a simulated ISMRMRD file (noise scans,
navigators, the calibration pair and T single-polarity repetitions; --ramp=0.4 samples 40 %
of each line on the gradient ramps, R = 1.7 M samples; --ramp=0 is the Cartesian grid) is
converted to NIfTI by `python3 -m tarvo`, timed as a whole (start-up, reading, calibration,
correction, output), and Calibration.apply is timed over the same frames as the command
corrects them (read beforehand in single precision, in the command's chunks), in elapsed time
and in processor time of all threads (the steadier figure on a shared machine). For
comparison, also Calibration.apply over the same frames in double precision. Also prints the
command's peak resident memory (VmHWM): the interpreter with the modules loaded and the file
opened, the output, and the rest in frames of complex coil data (M N Z L x 16 bytes).

    PYTHONPATH=build/python /usr/bin/python3 bench/python/raw_bench.py [--size=128x96x4x32]
        [--reps=40] [--ramp=0.4] [--runs=3] [--dir=/tmp] [--file=raw.h5]

The command and the Calibration.apply runs alternate --runs times; the fastest of each is
printed (the least disturbed by other work on a shared machine).

The file (about 1 GB at the default size) is written to --dir and removed at the end; --file
names one written before (the same --size, --reps and --ramp), which is kept.
"""

import os
import resource
import subprocess
import sys
import time

import numpy as np

import tarvo
from tarvo import _rawcli, rawsim
from tarvo.ismrmrd import RawFile


# The command, then its process's peak resident memory (kB) on the last line.
COMMAND = """import sys
from tarvo.__main__ import main
status = main(sys.argv[1:])
print(next(l for l in open("/proc/self/status") if l.startswith("VmHWM")).split()[1])
sys.exit(status)
"""

# The command's modules loaded and the file opened: the resident memory (kB) owed to neither
# the frames nor the output.
BASELINE = """import sys
import h5py, nibabel, numpy
from tarvo import _rawcli, outputs, phantom
from tarvo.ismrmrd import RawFile
raw = RawFile(sys.argv[1])
print(next(l for l in open("/proc/self/status") if l.startswith("VmHWM")).split()[1])
"""


def accuracy(folder):
    import nibabel as nib

    path = os.path.join(folder, f"tarvo_raw_accuracy_{os.getpid()}.h5")
    out = path[:-3] + ".nii"
    try:
        sim = rawsim.simulate(path, M=64, N=64, Z=3, L=16, T=10, ramp=0.4, noisy_data=False)
        _rawcli.convert(path, out, say=lambda text: None)
        image = nib.load(out)
        magnitude = np.asanyarray(image.dataobj)
        with RawFile(path) as raw:
            W, counters = raw.whitening, raw.slice_counters
    finally:
        for p in (path, out):
            if os.path.exists(p):
                os.unlink(p)

    def ideal(t):
        return np.asfortranarray((sim.cartesian(t) @ W.T)[:, :, counters])

    cal = tarvo.calibrate(ideal(0), ideal(1))
    support = sim.support[:, :, counters]
    worst = 0.0
    for t in range(10):
        reference = np.sqrt((abs(cal.apply(ideal(t + 2))) ** 2).sum(axis=3))
        worst = max(worst, np.linalg.norm((magnitude[..., t] - reference)[support]) /
                    np.linalg.norm(reference[support]))
    distance = 0.0
    for z, s in enumerate(counters):
        for i in range(64):
            for j in (0, 31, 63):
                ras = sim.world(i, j, s) * [-1, -1, 1]
                distance = max(distance, np.abs(image.affine @ [i, j, z, 1] - [*ras, 1]).max())
    print(f"accuracy: NIfTI magnitude within {worst:.2e} (normalised RMS over the object, worst "
          f"of 10 frames) of tarvo on the ideal Cartesian frames; affine within {distance:.1e} mm")


def _children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def main(argv):
    opts = dict(a[2:].split("=", 1) for a in argv if a.startswith("--"))
    M, N, Z, L = (int(v) for v in opts.get("size", "128x96x4x32").split("x"))
    T = int(opts.get("reps", 40))
    folder = opts.get("dir", "/tmp")
    accuracy(folder)
    path = opts.get("file") or os.path.join(folder, f"tarvo_raw_bench_{os.getpid()}.h5")
    out = os.path.join(folder, f"tarvo_raw_bench_{os.getpid()}.nii")
    kept = "file" in opts
    try:
        start = time.perf_counter()
        ramp = float(opts.get("ramp", 0.4))
        if not kept:
            rawsim.simulate(path, M=M, N=N, Z=Z, L=L, T=T, ramp=ramp, chunk=1024)
        made = "given" if kept else f"written in {time.perf_counter() - start:.1f} s"
        print(f"file: {M}x{N}x{Z}x{L}, ramp {ramp}, {T} repetitions after the pair, "
              f"{os.path.getsize(path) / 2**20:.0f} MiB, {made}")
        chunk = _rawcli._parser().get_default("chunk")
        with RawFile(path) as raw:
            (_, pair), = raw.read([0, 1], dtype=np.complex64)
            cal = _rawcli._calibrate(pair[..., 0], pair[..., 1], None)
            del pair
            single = [k.copy() for _, k in raw.read(range(2, raw.T), chunk=chunk,
                                                      dtype=np.complex64, reuse=True)]
            double = [k for _, k in raw.read(range(2, raw.T), chunk=chunk)]
        for k in (single[0], double[0]):
            cal.apply(k)  # the first calls take their memory from the system
        baseline = int(subprocess.run([sys.executable, "-c", BASELINE, path], check=True,
                                      capture_output=True, text=True).stdout.split()[-1]) * 1024
        runs = []
        for _ in range(int(opts.get("runs", 3))):  # alternated; the fastest of each counts
            start, used = time.perf_counter(), _children_cpu()
            run = subprocess.run([sys.executable, "-c", COMMAND, path, "-o", out],
                                 capture_output=True, text=True)
            if run.returncode:
                raise SystemExit(run.stderr)
            times = [time.perf_counter() - start, _children_cpu() - used]
            peak = int(run.stdout.split()[-1]) * 1024
            for frames in (single, double):
                start, used = time.perf_counter(), time.process_time()
                for k in frames:
                    cal.apply(k)
                times += [time.perf_counter() - start, time.process_time() - used]
            runs.append(times)
        command, command_cpu, apply, apply_cpu, apply2, apply2_cpu = np.min(runs, axis=0)
        print(f"command: {command:.2f} s; Calibration.apply over the same {T} frames: "
              f"{apply:.2f} s; ratio {command / apply:.2f} (processor time, all threads: "
              f"{command_cpu:.2f} s against {apply_cpu:.2f} s, ratio "
              f"{command_cpu / apply_cpu:.2f})")
        print(f"  Calibration.apply over the frames in double precision: {apply2:.2f} s, "
              f"processor time {apply2_cpu:.2f} s (the command's ratios to it: "
              f"{command / apply2:.2f}, {command_cpu / apply2_cpu:.2f})")
        frame = M * N * Z * L * 16
        output = M * N * Z * T * 4
        print(f"command peak resident memory: {peak / 2**20:.0f} MiB = interpreter, modules "
              f"and the opened file {baseline / 2**20:.0f} MiB + output {output / 2**20:.1f} MiB"
              f" + {(peak - baseline - output) / frame:.1f} frames of {frame / 2**20:.1f} MiB")
    finally:
        for p in (out,) if kept else (path, out):
            if os.path.exists(p):
                os.unlink(p)


if __name__ == "__main__":
    main(sys.argv[1:])
