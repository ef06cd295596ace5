"""A series larger than the workers' memory, stored in HDF5, corrected through dask.distributed."""

import numpy as np
import pytest
from conftest import same_bits

import tarvo

distributed = pytest.importorskip("distributed")
h5py = pytest.importorskip("h5py")


def test_hdf5_series_through_a_local_cluster_equals_apply_frame_by_frame(tmp_path):
    shape = (64, 64, 5, 32)                  # 10 MiB a frame, 400 MiB the series
    even, odd, _, _ = tarvo.phantom(*shape)
    cal = tarvo.calibrate(even, odd)
    frames = 40
    path = tmp_path / "series.h5"
    rng = np.random.default_rng(5)
    with h5py.File(path, "w") as f:
        d = f.create_dataset("series", shape=shape + (frames,), dtype=np.complex128,
                             chunks=shape + (1,))
        for t in range(frames):
            d[..., t] = odd * np.exp(1j * rng.uniform(0, 6.3)) * (1 + t / frames)
    series_bytes = 16 * np.prod(shape) * frames
    limit = 190 * 2**20                      # per worker; both together hold less
    assert 2 * limit < series_bytes

    per = 1
    x = tarvo.hdf5_series(path, "series", frames_per_chunk=per)
    E = cal.apply(x, threads=1)
    assert E.chunks == x.chunks
    graph = dict(E.__dask_graph__())
    assert sum(isinstance(v, tarvo.Calibration) for v in graph.values()) == 1

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  memory_limit=limit, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        blocks = E.to_delayed().ravel()
        futures = client.compute(list(blocks))
        index = {f.key: b for b, f in enumerate(futures)}
        checked = 0
        with h5py.File(path, "r") as f:
            for future in distributed.as_completed(futures):
                b = index[future.key]
                block = future.result()
                future.release()
                for j in range(block.shape[4]):
                    t = per * b + j
                    assert same_bits(block[..., j], cal.apply(f["series"][..., t], threads=1))
                    checked += 1
    assert checked == frames
