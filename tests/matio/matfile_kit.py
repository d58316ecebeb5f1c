"""Building MAT v5 files byte by byte (either byte order, damaged on purpose)
and comparing what two readers made of a file."""
import struct
import zlib

import numpy as np

miINT8, miUINT8, miINT16, miUINT16, miINT32, miUINT32, miSINGLE, miDOUBLE = 1, 2, 3, 4, 5, 6, 7, 9
miINT64, miUINT64, miMATRIX, miCOMPRESSED, miUTF8, miUTF16, miUTF32 = 12, 13, 14, 15, 16, 17, 18
mxCELL, mxSTRUCT, mxOBJECT, mxCHAR, mxSPARSE, mxDOUBLE = 1, 2, 3, 4, 5, 6
mxINT16, mxUINT16, mxINT32 = 10, 11, 12
LOGICAL, GLOBAL, COMPLEX = 1 << 9, 1 << 10, 1 << 11


class MatBuilder:
    """Elements of a MAT v5 file in byte order ``order`` ('<' or '>')."""

    def __init__(self, order="<"):
        self.o = order

    def u32(self, *values):
        return struct.pack(self.o + "%dI" % len(values), *values)

    def header(self, text=b"MATLAB 5.0 MAT-file, written by a test", version=0x0100):
        mark = b"IM" if self.o == "<" else b"MI"
        return text.ljust(116, b" ") + bytes(8) + struct.pack(self.o + "H", version) + mark

    def element(self, dtype, payload, small=None):
        """A data element; small (<= 4 bytes) ones share their tag's 8 bytes unless small=False."""
        n = len(payload)
        if small is None:
            small = n <= 4
        if small:
            return self.u32((n << 16) | dtype) + payload.ljust(4, b"\0")
        return self.u32(dtype, n) + payload + bytes(-n % 8)

    def flags(self, cls, flags=0):
        return self.u32(miUINT32, 8) + self.u32(cls | flags, 0)

    def matrix(self, cls, dims, payload=b"", name=b"", flags=0, dims_type=miINT32):
        body = (self.flags(cls, flags) + self.element(dims_type, struct.pack(self.o + "%di" % len(dims), *dims))
                + self.element(miINT8, name) + payload)
        return self.u32(miMATRIX, len(body)) + body

    def numeric(self, values, dims=None, name=b"", cls=mxDOUBLE, flags=0):
        values = np.asarray(values)
        dims = list(values.shape if values.ndim >= 2 else (1, values.size)) if dims is None else dims
        data = np.asfortranarray(values).astype(values.dtype.newbyteorder(self.o)).tobytes(order="F")
        dtype = {"f8": miDOUBLE, "f4": miSINGLE, "i1": miINT8, "u1": miUINT8, "i2": miINT16, "u2": miUINT16,
                 "i4": miINT32, "u4": miUINT32, "i8": miINT64, "u8": miUINT64}[values.dtype.str[1:]]
        return self.matrix(cls, dims, self.element(dtype, data), name, flags)

    def char(self, text_bytes, dims, name=b"", dtype=miUTF8):
        return self.matrix(mxCHAR, dims, self.element(dtype, text_bytes), name)

    def cell(self, items, dims=None, name=b""):
        dims = [1, len(items)] if dims is None else dims
        return self.matrix(mxCELL, dims, b"".join(items), name)

    def struct(self, fields, items, dims=(1, 1), name=b"", slot=None):
        slot = max([len(f) for f in fields] + [0]) + 1 if slot is None else slot
        names = b"".join(f.ljust(slot, b"\0") for f in fields)
        payload = self.element(miINT32, struct.pack(self.o + "i", slot)) + self.element(miINT8, names) + b"".join(items)
        return self.matrix(mxSTRUCT, list(dims), payload, name)

    def compressed(self, matrix_bytes, level=6):
        data = zlib.compress(matrix_bytes, level)
        return self.u32(miCOMPRESSED, len(data)) + data

    def file(self, *variables):
        return self.header() + b"".join(variables)


def assert_same(ours, theirs, where="file"):
    """The two readers gave the same thing: types, dtypes (byte order too), shapes, values."""
    assert type(ours) is type(theirs), (where, type(ours), type(theirs))
    if isinstance(theirs, dict):
        assert list(ours) == list(theirs), (where, list(ours), list(theirs))
        for key in theirs:
            assert_same(ours[key], theirs[key], f"{where}[{key!r}]")
    elif isinstance(theirs, np.ndarray):
        assert ours.dtype == theirs.dtype and ours.dtype.str == theirs.dtype.str, (where, ours.dtype, theirs.dtype)
        assert ours.shape == theirs.shape, (where, ours.shape, theirs.shape)
        if theirs.dtype.names:
            for name in theirs.dtype.names:
                for i, (a, b) in enumerate(zip(ours[name].ravel(), theirs[name].ravel())):
                    assert_same(a, b, f"{where}.{name}[{i}]")
        elif theirs.dtype == object:
            for i, (a, b) in enumerate(zip(ours.ravel(), theirs.ravel())):
                assert_same(a, b, f"{where}[{i}]")
        else:
            assert np.array_equal(ours, theirs, equal_nan=theirs.dtype.kind in "fc"), (where, ours, theirs)
    else:
        assert ours == theirs, (where, ours, theirs)


def element_tags(raw, order="<"):
    """(offset, role) of every element tag of an uncompressed file, matrices walked recursively."""
    u32 = lambda at: struct.unpack_from(order + "I", raw, at)[0]  # noqa: E731
    tags = []

    def skip(at):
        word = u32(at)
        return at + 8 if word >> 16 else at + 8 + -(-u32(at + 4) // 8) * 8

    def values(at):
        word = u32(at)
        n, start = ((word >> 16), at + 4) if word >> 16 else (u32(at + 4), at + 8)
        return [struct.unpack_from(order + "i", raw, start + 4 * k)[0] for k in range(n // 4)]

    def matrix(at, role):
        tags.append((at, role))
        end = at + 8 + u32(at + 4)
        if end == at + 8:
            return end
        p = at + 8
        tags.append((p, "array flags"))
        flags = u32(p + 8)
        cls, p = flags & 0xFF, p + 16
        tags.append((p, "dimensions"))
        count = int(np.prod(values(p)))
        p = skip(p)
        tags.append((p, "name"))
        p = skip(p)
        if cls == mxCELL:
            for _ in range(count):
                p = matrix(p, "cell element")
        elif cls == mxSTRUCT:
            tags.append((p, "field name length"))
            slot, p = values(p)[0], skip(p)
            tags.append((p, "field names"))
            word = u32(p)
            n_fields = ((word >> 16) if word >> 16 else u32(p + 4)) // slot
            p = skip(p)
            for _ in range(count * n_fields):
                p = matrix(p, "field value")
        else:
            for part in range(2 if flags & COMPLEX else 1):
                tags.append((p, "character data" if cls == mxCHAR else "numeric data"))
                p = skip(p)
        return end

    at = 128
    while at < len(raw):
        at = matrix(at, "variable")
    return tags
