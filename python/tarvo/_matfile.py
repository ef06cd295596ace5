"""Reading and writing MATLAB .mat files: formats 4 to 7 with scipy.io, 7.3 (HDF5) with h5py."""

import numpy as np

from ._dask import _complex

_MAT73_HEADER = b"MATLAB 7.3 MAT-file, created by tarvo"
_V5_LIMIT = 2**31 - 1  # bytes of one variable in a format-7 file


def is_hdf5(path):
    with open(path, "rb") as f:
        head = f.read(520)
    return head[512:520] == b"\x89HDF\r\n\x1a\n" or head[:8] == b"\x89HDF\r\n\x1a\n"


def variables(path):
    """Names of the variables stored in the file."""
    if is_hdf5(path):
        import h5py

        with h5py.File(path, "r") as f:
            return [k for k in f.keys() if not k.startswith("#")]
    from scipy.io import whosmat

    return [w[0] for w in whosmat(path)]


def load(path, names):
    """{name: array} of the named numeric variables present in the file, in MATLAB's axis order
    (complex kept complex; a v7.3 array comes back as a Fortran-ordered view)."""
    if is_hdf5(path):
        import h5py

        out = {}
        with h5py.File(path, "r") as f:
            for n in names:
                if n not in f:
                    continue
                data = f[n][()]
                if data.dtype.names is not None:
                    data = _complex(data)
                out[n] = np.asarray(data).T
        return out
    from scipy.io import loadmat

    data = loadmat(path, variable_names=list(names))
    return {n: data[n] for n in names if n in data}


def kernel_struct(K):
    """K (a list of dicts) as a 1 x Z struct array for savemat."""
    record = np.dtype([("dk", object), ("pattern", object), ("coef", object)])
    out = np.empty((1, len(K)), dtype=record)
    for z, k in enumerate(K):
        out[0, z] = (float(k["dk"]), k["pattern"], k["coef"])
    return out


def save(path, arrays, K):
    """Writes the complex arrays and the kernels K: format 7 when every variable fits, else 7.3
    (there the kernels are stored as K_dk (1 x Z), K_pattern and K_coef ((10 L) x L x Z))."""
    if all(a.nbytes <= _V5_LIMIT for a in arrays.values()):
        from scipy.io import savemat

        savemat(path, {**arrays, "K": kernel_struct(K)}, format="5", do_compression=False,
                oned_as="column")
        return "7"
    import h5py

    complex_type = np.dtype([("real", "<f8"), ("imag", "<f8")])

    def put(f, name, a, matlab_class="double"):
        if np.iscomplexobj(a):
            c = np.empty(a.shape, dtype=complex_type, order="F")
            c["real"], c["imag"] = a.real, a.imag
            a = c
        d = f.create_dataset(name, data=np.asarray(a).T)
        d.attrs["MATLAB_class"] = np.bytes_(matlab_class)

    with h5py.File(path, "w", userblock_size=512) as f:
        for n, a in arrays.items():
            put(f, n, a)
        put(f, "K_dk", np.array([[float(k["dk"]) for k in K]]))
        put(f, "K_pattern", np.array([[ord(ch) for ch in (K[0]["pattern"] if K else "")]],
                                     dtype=np.uint16), "char")
        put(f, "K_coef", np.stack([k["coef"] for k in K], axis=2))
    with open(path, "r+b") as f:
        header = _MAT73_HEADER.ljust(116, b" ") + b"\0" * 8 + b"\x00\x02" + b"IM"
        f.write(header.ljust(512, b"\0"))
    return "7.3"
