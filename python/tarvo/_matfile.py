"""MAT files and HDF5 for the command line: variables read whole or a frame at a time, outputs
written a frame at a time.

Inputs: MAT format 7 (5 to 7: scipy.io reads a variable whole; a series is read frame by frame
from the file, inflated as it goes when compressed and then checked to its end), format 7.3 and
plain HDF5 (h5py, a series read frame by frame). Outputs: MAT format 7 (E streamed by a small
writer of the format's elements, F and K by scipy.io.savemat), format 7.3 and HDF5 (h5py, with
MATLAB's layout and markers). Arrays are in MATLAB's axis order, Fortran-ordered.
"""

import io
import os
import struct

import numpy as np

V5_LIMIT = 2**31 - 1  # bytes of one variable in a format-7 file
_HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"
_MAT73_HEADER = b"MATLAB 7.3 MAT-file, created by tarvo"


class FileError(Exception):
    """The file cannot be read or written, or a variable is not an array (exit status 2)."""


class DataError(Exception):
    """A variable is an array of the wrong kind (exit status 1, as a refusal of the data)."""


def _size_text(shape):
    return " x ".join(map(str, shape))


class Variable:
    """One array of an input file: name, shape (MATLAB's order), dtype (complex64 or
    complex128); frame(t) is frame t (Fortran order over the extents after the 4th) as a
    Fortran-ordered complex128 M x N x Z x L array, read from the file when asked for.
    source: the open HDF5 file or the path."""

    def __init__(self, source, name, shape, dtype, read, read_frame):
        self.source, self.name, self.shape, self.dtype = source, name, tuple(shape), dtype
        self._read, self.frame = read, read_frame

    @property
    def nbytes(self):
        return int(np.prod(self.shape, dtype=np.int64)) * self.dtype.itemsize

    @property
    def frames(self):
        return int(np.prod(self.shape[4:], dtype=np.int64))

    def describe(self):
        cls = "single" if self.dtype == np.complex64 else "double"
        return f"{self.name} {_size_text(self.shape)} complex {cls}"

    def read(self):
        """The whole array as complex128, Fortran-ordered."""
        return np.asarray(self._read(), dtype=np.complex128, order="F")


def _kspace(path, name, cls, is_complex):
    """The dtype (complex128 or complex64) of a variable of MATLAB class cls; FileError for a
    variable that is not an array, DataError for an array that is not complex k-space."""
    if cls in ("double", "single") and is_complex:
        return np.dtype(np.complex128 if cls == "double" else np.complex64)
    if cls in ("cell", "struct", "object", "sparse", "char", "unknown"):
        raise FileError(f"{path}: {name} is a {cls}, not an array")
    raise DataError(f"{path}: {name} is {'complex' if is_complex else 'real'} ({cls}); need "
                    "complex double or complex single k-space")


def open_input(path, names, order=None):
    """(format, {name: Variable}) of the named variables present in the file. Raises FileError
    for a file that cannot be read and for a variable that is not an array, DataError for an
    array that is not complex k-space. order: None, "matlab" or "numpy", how to read an HDF5
    dataset without MATLAB's marker (None refuses it)."""
    try:
        with open(path, "rb") as f:
            head = f.read(520)
        size = os.path.getsize(path)
    except OSError as e:
        raise FileError(f"cannot read {path}: {e.strerror}") from None
    if not head:
        raise FileError(f"cannot read {path}: the file is empty")
    if head[:8] == _HDF5_SIGNATURE or head[512:520] == _HDF5_SIGNATURE:
        form = "7.3" if head.startswith(b"MATLAB 7.3 MAT-file") else "HDF5"
        return form, _open_hdf5(path, names, order)
    if len(head) >= 128 and head[124:126] in (b"\x00\x01", b"\x01\x00") and \
            head[126:128] in (b"IM", b"MI"):
        return "7", _open_v5(path, names, head[126:128], size)
    raise FileError(f"cannot read {path}: not a MAT file (format 7 or 7.3) or an HDF5 file")


_V5_CLASSES = {1: "cell", 2: "struct", 3: "object", 4: "char", 5: "sparse", 6: "double",
               7: "single", 8: "int8", 9: "uint8", 10: "int16", 11: "uint16", 12: "int32",
               13: "uint32", 14: "int64", 15: "uint64"}
_V5_TYPES = {1: "i1", 2: "u1", 3: "i2", 4: "u2", 5: "i4", 6: "u4", 7: "f4", 9: "f8", 12: "i8",
             13: "u8"}  # the data types of a numeric array's parts


def _damaged(path):
    return FileError(f"cannot read {path}: the file is truncated or damaged")


class _Stream:
    """The body of a format-5 element (the bytes after its tag at pos), read in order from the
    file, or inflated a piece at a time when the element is compressed (the tag of the matrix
    element inside is then skipped)."""

    def __init__(self, path, pos, nbytes, compressed, order):
        import zlib

        self.path, self.order, self.left, self.rest = path, order, nbytes, b""
        self.f = open(path, "rb")
        self.f.seek(pos + 8)
        self.z = zlib.decompressobj() if compressed else None
        if compressed:
            self.read(8)

    def _more(self, need):
        """The next bytes of the body: at most need from the file, or an inflated piece."""
        import zlib

        src = self.z.unconsumed_tail if self.z is not None else b""
        if not src:
            src = self.f.read(min(self.left, need if self.z is None else 1 << 16))
            self.left -= len(src)
            if not src:
                raise _damaged(self.path)
        if self.z is None:
            return src
        try:
            return self.z.decompress(src, need)
        except zlib.error:
            raise _damaged(self.path) from None

    def read(self, n):
        pieces, have = [self.rest], len(self.rest)
        while have < n:
            pieces.append(self._more(n - have))
            have += len(pieces[-1])
        data = b"".join(pieces) if len(pieces) > 1 else pieces[0]
        self.rest = data[n:]
        return data[:n] if len(data) > n else data

    def skip(self, n):
        while n > 0:
            step = min(n, 1 << 22)
            self.read(step)
            n -= step

    def tag(self):
        """(data type, byte count, the bytes of a small element or None) of the next
        sub-element; the bytes of a normal one follow (padded to 8)."""
        raw = self.read(8)
        kind, nbytes = struct.unpack(self.order + "II", raw)
        if kind >> 16:  # a small element: type and count in one word, its bytes in the next
            return kind & 0xFFFF, kind >> 16, raw[4:4 + (kind >> 16)]
        return kind, nbytes, None

    def finish(self):
        """Checks a compressed element's stream to its end, where zlib checks the sum of all it
        held."""
        while self.z is not None and not self.z.eof:
            self._more(1 << 16)

    def element(self):
        kind, nbytes, inline = self.tag()
        return inline if inline is not None else self.read(nbytes + (-nbytes % 8))[:nbytes]

    def close(self):
        self.f.close()


class _Inline:
    """The bytes of a small element, read like a stream."""

    def __init__(self, data):
        self.data = data

    def finish(self):
        pass

    def read(self, n):
        out, self.data = self.data[:n], self.data[n:]
        return out

    def skip(self, n):
        self.read(n)


def _v5_matrix(stream):
    """(name, shape, class, complex) of a matrix element read from its stream, which is left
    at the tag of the real part."""
    order = stream.order
    flags = struct.unpack_from(order + "I", stream.element())[0]
    dims = stream.element()
    shape = struct.unpack(f"{order}{len(dims) // 4}i", dims)
    name = stream.element().decode("latin-1")
    cls = "logical" if flags & 0x200 else _V5_CLASSES.get(flags & 0xFF, "unknown")
    return name, tuple(shape), cls, bool(flags & 0x800)


def _v5_variables(path, endian, size):
    """{name: (shape, class, complex, (pos, nbytes, compressed))} of the format-5 file's
    variables; FileError unless its elements are whole and end where the file does."""
    order = "<" if endian == b"IM" else ">"
    out = {}
    with open(path, "rb") as f:
        pos = 128
        while pos < size:
            f.seek(pos)
            tag = f.read(8)
            if len(tag) < 8:
                raise _damaged(path)
            kind, nbytes = struct.unpack(order + "II", tag)
            if kind >> 16:  # a small element: its bytes are inside the tag
                kind, nbytes = kind & 0xFFFF, 0
            if pos + 8 + nbytes > size:
                raise _damaged(path)
            if kind in (14, 15):  # a matrix, or a compressed one
                where = (pos, nbytes, kind == 15)
                stream = _Stream(path, *where, order)
                try:
                    name, *info = _v5_matrix(stream)
                except (struct.error, UnicodeDecodeError):
                    raise _damaged(path) from None
                finally:
                    stream.close()
                out[name] = (*info, where)
            pos += 8 + nbytes + (-nbytes % 8 if kind != 15 else 0)  # compressed: unpadded
    return out


def _open_v5(path, names, endian, size):
    found = _v5_variables(path, endian, size)
    out = {}
    for n in names:
        if n not in found:
            continue
        shape, cls, is_complex, where = found[n]
        dtype = _kspace(path, n, cls, is_complex)
        frames = _V5Frames(path, where, "<" if endian == b"IM" else ">", shape)
        out[n] = Variable(path, n, shape, dtype, _V5Reader(path, n), frames)
    return out


class _V5Reader:
    """The variable read whole by scipy.io.loadmat."""

    def __init__(self, path, name):
        self.path, self.name = path, name

    def __call__(self):
        from scipy.io import loadmat

        try:
            return loadmat(self.path, variable_names=[self.name])[self.name]
        except MemoryError:
            raise
        except Exception:
            raise _damaged(self.path) from None


class _V5Frames:
    """Frame t (M x N x Z x L, complex128, Fortran order) of a complex format-5 variable, read
    from the file (inflated when compressed) by two streams, over the real and the imaginary
    part, moved forward a frame at a time (an earlier frame than the last restarts them)."""

    def __init__(self, path, where, order, shape):
        self.path, self.where, self.order, self.shape = path, where, order, shape
        self.n = int(np.prod(shape[:4], dtype=np.int64))
        self.total = int(np.prod(shape, dtype=np.int64))
        self.parts, self.next = None, 0

    def _part(self, imag):
        stream = _Stream(self.path, *self.where, self.order)
        _v5_matrix(stream)
        kind, nbytes, inline = stream.tag()
        if imag:
            if inline is None:
                stream.skip(nbytes + (-nbytes % 8))
            kind, nbytes, inline = stream.tag()
        part = np.dtype(self.order + _V5_TYPES.get(kind, "V1"))
        if kind not in _V5_TYPES or nbytes != self.total * part.itemsize:
            raise _damaged(self.path)
        return (stream if inline is None else _Inline(inline)), part

    def __call__(self, t):
        if self.parts is None or t < self.next:
            self.close()
            self.parts, self.next = [self._part(False), self._part(True)], 0
        out = np.empty(self.n, dtype=np.complex128)
        for k, (stream, part) in enumerate(self.parts):
            stream.skip((t - self.next) * self.n * part.itemsize)
            values = np.frombuffer(stream.read(self.n * part.itemsize), dtype=part)
            if k == 0:
                out.real = values
            else:
                out.imag = values
        self.next = t + 1
        if self.next * self.n == self.total:  # the imaginary part ends the element
            self.parts[1][0].finish()
        return out.reshape(self.shape[:4], order="F")

    def close(self):
        for stream, _ in self.parts or ():
            if isinstance(stream, _Stream):
                stream.close()


def _h5_class(dtype):
    """(MATLAB class, complex) of an HDF5 dataset's type; a compound of real and imag parts of
    one floating type is complex (as -v7.3 writes), so is h5py's complex type."""
    is_complex = dtype.kind == "c"
    if dtype.names is not None:
        if not ({"real", "imag"} <= set(dtype.names) and dtype["real"] == dtype["imag"]):
            return "struct", False
        dtype, is_complex = dtype["real"], True
    elif is_complex:
        dtype = np.dtype(f"f{dtype.itemsize // 2}")
    if dtype.kind in "fiu":
        name = {"f": "float", "i": "int", "u": "uint"}[dtype.kind] + str(dtype.itemsize * 8)
        return {"float32": "single", "float64": "double"}.get(name, name), is_complex
    return {"b": "logical", "S": "char", "U": "char", "O": "cell"}.get(dtype.kind, "unknown"), \
        is_complex


def _h5_complex(data, dtype):
    """The complex array (dtype) of a compound of 'real' and 'imag' (each bit kept)."""
    out = np.empty(data.shape, dtype=dtype)
    out.real, out.imag = data["real"], data["imag"]
    return out


def _open_hdf5(path, names, order):
    import h5py

    try:
        f = h5py.File(path, "r")
    except OSError:
        raise FileError(f"cannot read {path}: the file is truncated or damaged") from None
    out = {}
    for n in names:
        if n not in f:
            continue
        d = f[n]
        if not isinstance(d, h5py.Dataset):
            raise FileError(f"{path}: {n} is an HDF5 group, not an array")
        matlab = "MATLAB_class" in d.attrs
        if not matlab and order is None:
            raise FileError(f"{path}: the dataset {n} lacks MATLAB's MATLAB_class attribute, so "
                            "its axis order is unknown; --order numpy reads its extents as "
                            "stored (M x N x Z x L [x T...])")
        reverse = matlab or order == "matlab"
        cls, is_complex = _h5_class(d.dtype)
        if matlab:  # MATLAB's class name: char, logical and struct have their own
            cls = np.asarray(d.attrs["MATLAB_class"]).tobytes().decode("ascii", "replace")
        dtype = _kspace(path, n, cls, is_complex)
        shape = d.shape[::-1] if reverse else d.shape
        out[n] = Variable(f, n, shape, dtype, _Hdf5Reader(path, d, reverse, dtype),
                          _Hdf5Reader(path, d, reverse, np.dtype(np.complex128), shape))
    return out


class _Hdf5Reader:
    """Reads a dataset whole (no frame shape) or frame t of it (M x N x Z x L, complex128,
    Fortran-ordered) in the axis order given by reverse (True: MATLAB's)."""

    def __init__(self, path, dataset, reverse, dtype, shape=None):
        self.path, self.d, self.reverse, self.dtype, self.shape = path, dataset, reverse, \
            dtype, shape

    def __call__(self, t=None):
        try:
            if t is None:
                data = self.d[()]
            else:
                index = np.unravel_index(t, self.shape[4:], order="F") if len(self.shape) > 4 \
                    else ()
                key = (slice(None),) * 4 + tuple(int(i) for i in index)
                data = self.d[key[::-1] if self.reverse else key]
        except OSError:
            raise FileError(f"cannot read {self.path}: the file is truncated or damaged") \
                from None
        if data.dtype.names is not None:
            data = _h5_complex(data, self.dtype)
        data = data.T if self.reverse else data
        return np.asarray(data, dtype=self.dtype, order="F")


def kernel_struct(K):
    """K (a list of dicts) as a 1 x Z struct array for savemat."""
    record = np.dtype([("dk", object), ("pattern", object), ("coef", object)])
    out = np.empty((1, len(K)), dtype=record)
    for z, k in enumerate(K):
        out[0, z] = (float(k["dk"]), k["pattern"], k["coef"])
    return out


class V5Writer:
    """A MAT file of format 7 (uncompressed), written to the open binary file f: F and the
    kernels K through scipy.io.savemat, then the complex array E (shape, dtype complex64 or
    complex128) whose real and imaginary parts are written frame by frame in place."""

    format = "7"

    def __init__(self, f, shape, dtype, F, K):
        from scipy.io import savemat

        buffer = io.BytesIO()
        savemat(buffer, {"F": F, "K": kernel_struct(K)}, format="5", do_compression=False,
                oned_as="column")
        f.write(buffer.getbuffer())
        single = np.dtype(dtype) == np.complex64
        self.part = np.dtype("<f4" if single else "<f8")
        n = int(np.prod(shape, dtype=np.int64))
        part_bytes = n * self.part.itemsize
        pad = -part_bytes % 8
        dims = struct.pack(f"<{len(shape)}i", *shape)
        data_type = 7 if single else 9  # miSINGLE, miDOUBLE
        body = (struct.pack("<II", 6, 8) + struct.pack("<II", 0x800 | (7 if single else 6), 0)
                + struct.pack("<II", 5, len(dims)) + dims + b"\0" * (-len(dims) % 8)
                + struct.pack("<HH", 1, 1) + b"E\0\0\0"  # the name, a small element
                + struct.pack("<II", data_type, part_bytes))
        total = len(body) + part_bytes + pad + 8 + part_bytes + pad
        start = f.tell()
        f.write(struct.pack("<II", 14, total) + body)  # miMATRIX
        self.real_at = f.tell()
        self.imag_at = self.real_at + part_bytes + pad + 8
        f.seek(self.imag_at - 8)
        f.write(struct.pack("<II", data_type, part_bytes))
        f.truncate(start + 8 + total)
        self.f, self.frame_bytes = f, 0

    def put(self, t, frame):
        """Writes frame t (M x N x Z x L) of E."""
        n = frame.size * self.part.itemsize
        for at, part in ((self.real_at, frame.real), (self.imag_at, frame.imag)):
            self.f.seek(at + t * n)
            self.f.write(np.asarray(part, dtype=self.part).tobytes(order="F"))

    def close(self):
        self.f.close()

    def discard(self):
        self.f.close()


class Hdf5Writer:
    """An HDF5 file (with a MAT header in a 512-byte user block when mat73): F, the kernels as
    K_dk (1 x Z), K_pattern and K_coef ((10 L) x L x Z), and E (shape, dtype) written frame by
    frame; every array in MATLAB's layout (extents reversed, complex as a compound of real and
    imag, a MATLAB_class attribute)."""

    def __init__(self, path, shape, dtype, F, K, mat73):
        import h5py

        self.format = "7.3" if mat73 else "HDF5"
        self.path, self.mat73 = path, mat73
        self.h5 = h5py.File(path, "w", userblock_size=512 if mat73 else 0)
        self._put(F, "F")
        self._put(np.array([[float(k["dk"]) for k in K]]), "K_dk")
        pattern = K[0]["pattern"] if K else ""
        self._put(np.array([[ord(ch) for ch in pattern]], dtype=np.uint16), "K_pattern", "char")
        self._put(np.stack([k["coef"] for k in K], axis=2), "K_coef")
        single = np.dtype(dtype) == np.complex64
        self.part = np.dtype("<f4" if single else "<f8")
        self.kind = np.dtype([("real", self.part), ("imag", self.part)])
        self.shape = tuple(shape)
        self.E = self.h5.create_dataset("E", shape=self.shape[::-1], dtype=self.kind)
        self.E.attrs["MATLAB_class"] = np.bytes_("single" if single else "double")

    def _put(self, a, name, matlab_class=None):
        if np.iscomplexobj(a):
            part = a.real.dtype
            c = np.empty(a.shape, dtype=[("real", part), ("imag", part)], order="F")
            c["real"], c["imag"] = a.real, a.imag
            matlab_class = matlab_class or ("single" if part == np.float32 else "double")
            a = c
        d = self.h5.create_dataset(name, data=np.asarray(a).T)
        d.attrs["MATLAB_class"] = np.bytes_(matlab_class or "double")

    def put(self, t, frame):
        """Writes frame t (M x N x Z x L) of E."""
        index = np.unravel_index(t, self.shape[4:], order="F") if len(self.shape) > 4 else ()
        c = np.empty(frame.shape[::-1], dtype=self.kind)
        c["real"], c["imag"] = frame.real.T, frame.imag.T
        self.E[tuple(int(i) for i in index)[::-1] + (slice(None),) * 4] = c

    def discard(self):
        self.h5.close()

    def close(self):
        self.h5.close()
        if self.mat73:
            with open(self.path, "r+b") as f:
                header = _MAT73_HEADER.ljust(116, b" ") + b"\0" * 8 + b"\x00\x02" + b"IM"
                f.write(header.ljust(512, b"\0"))
