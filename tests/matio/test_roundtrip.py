"""Our MAT reader and writer against scipy.io, on random structures.

Files written by scipy.io.savemat read back (with _matio.read and load_mat)
exactly as scipy.io.loadmat reads them; files we write are byte for byte
what savemat writes (compressed ones read back identically), in both 1-D
layouts. Hand-built files cover what scipy never writes: big-endian files,
UTF-16/32 and uint16 characters, numbers stored in a narrower type.
"""
import numpy as np
import pytest
import scipy.io
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from telvar.kestrum import _matio
from telvar.kestrum.utils.utilfunc import _unpad_texts, load_mat

import matfile_kit as kit
from matfile_kit import MatBuilder, assert_same

NUMERIC = [np.float64, np.float32, np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32,
           np.uint64, np.bool_, np.complex64, np.complex128]
SHAPES = st.one_of(st.just(()), hnp.array_shapes(min_dims=1, max_dims=3, min_side=0, max_side=4))
NAMES = st.from_regex(r"[A-Za-z][A-Za-z0-9_]{0,9}", fullmatch=True)
# any character but lone surrogates (no UTF-8 form); NUL included: both writers store it as a blank
TEXT = st.text(st.characters(blacklist_categories=("Cs",)), max_size=6)


def _laid_out(array, layout):
    """The same values as a C-ordered, Fortran-ordered or strided (every other element) array."""
    if layout == "F":
        return np.asfortranarray(array)
    if layout == "strided" and array.ndim >= 1:
        wide = np.repeat(array, 2, axis=-1)
        return wide[..., ::2]
    if layout == "swapped" and array.dtype.itemsize > 1:
        return array.astype(array.dtype.newbyteorder())
    return array


def _string_array(texts, column):
    strings = np.array(texts)
    return strings.reshape(-1, 1) if column else strings


@st.composite
def numeric_arrays(draw):
    dtype = np.dtype(draw(st.sampled_from(NUMERIC)))
    array = draw(hnp.arrays(dtype, draw(SHAPES)))
    return _laid_out(array, draw(st.sampled_from(["C", "F", "strided", "swapped"])))


def _object_array(items, shape_kind):
    cells = np.empty(len(items), dtype=object)
    for i, item in enumerate(items):
        cells[i] = item
    if shape_kind == "column":
        return cells.reshape(-1, 1)
    if shape_kind == "grid" and len(items) == 4:
        return cells.reshape(2, 2, order="F")
    return cells


@st.composite
def record_arrays(draw, children):
    fields = draw(st.lists(NAMES, min_size=1, max_size=3, unique=True))
    n = draw(st.integers(0, 3))
    records = np.empty((1, n) if draw(st.booleans()) else (n, 1), dtype=[(f, object) for f in fields])
    for i in range(n):
        for f in fields:
            records.reshape(-1)[i][f] = draw(children)
    return records


LEAVES = st.one_of(
    numeric_arrays(),
    TEXT,
    st.builds(_string_array, st.lists(TEXT, min_size=1, max_size=4), st.booleans()),
    st.integers(-2 ** 63, 2 ** 63 - 1),
    st.floats(allow_nan=True),
    st.booleans(),
)
VALUES = st.recursive(
    LEAVES,
    lambda children: st.one_of(
        st.dictionaries(NAMES, children, max_size=3),
        st.builds(_object_array, st.lists(children, max_size=4), st.sampled_from(["row", "column", "grid"])),
        record_arrays(children),
    ),
    max_leaves=8,
)
MDICTS = st.dictionaries(NAMES, VALUES, min_size=1, max_size=4)
FILES = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("roundtrip")


def _without_header(mdict):
    return {k: v for k, v in mdict.items() if k != "__header__"}


@FILES
@given(mdict=MDICTS, oned_as=st.sampled_from(["row", "column"]), compress=st.booleans())
def test_we_read_what_scipy_wrote_as_scipy_reads_it(workdir, mdict, oned_as, compress):
    path = str(workdir / "scipy.mat")
    scipy.io.savemat(path, mdict, oned_as=oned_as, do_compression=compress)
    reference = scipy.io.loadmat(path)
    assert_same(_matio.read(path), reference)
    assert_same(load_mat(path), _unpad_texts(reference))


@FILES
@given(mdict=MDICTS, oned_as=st.sampled_from(["row", "column"]), compress=st.booleans())
def test_we_write_what_scipy_writes(workdir, mdict, oned_as, compress):
    theirs, ours = str(workdir / "theirs.mat"), str(workdir / "ours.mat")
    scipy.io.savemat(theirs, mdict, oned_as=oned_as, do_compression=compress)
    _matio.write(ours, mdict, oned_as=oned_as, do_compression=compress)
    if not compress:  # zlib builds may compress the same bytes differently
        with open(theirs, "rb") as a, open(ours, "rb") as b:
            assert a.read()[116:] == b.read()[116:]
    assert_same(_without_header(scipy.io.loadmat(ours)), _without_header(scipy.io.loadmat(theirs)))
    assert scipy.io.loadmat(ours)["__header__"].startswith(b"MATLAB 5.0 MAT-file Platform: posix, Created on: ")


class TestFilesScipyDoesNotWrite:
    """Hand-built files in both byte orders, read as scipy reads them."""

    @staticmethod
    def _compare(tmp_path, data):
        path = tmp_path / "hand.mat"
        path.write_bytes(data)
        reference = scipy.io.loadmat(str(path))
        assert_same(_matio.read(str(path)), reference)
        return reference

    @pytest.mark.parametrize("order", ["<", ">"])
    def test_every_numeric_type_and_complex_and_logical(self, tmp_path, order):
        b = MatBuilder(order)
        values = [np.arange(6, dtype=t).reshape(2, 3) for t in ("f8", "f4", "i1", "u1", "i2", "u2", "i4", "u4",
                                                                 "i8", "u8")]
        variables = [b.numeric(v, name=b"v%d" % i) for i, v in enumerate(values)]
        # a double matrix stored as uint8 (what MATLAB does for small integers) stays uint8, as in scipy
        variables.append(b.numeric(np.array([[1, 2, 250]], np.uint8), name=b"narrow", cls=kit.mxDOUBLE))
        variables.append(b.numeric(np.array([[1, 0, 1]], np.uint8), name=b"flag", cls=9, flags=kit.LOGICAL))
        re, im = np.arange(4, dtype="i4"), np.arange(4, dtype="f8") / 2
        for name, part in ((b"cplx32", re), (b"cplx64", re.astype("f8"))):
            payload = (b.element(kit.miINT32 if part.dtype == "i4" else kit.miDOUBLE,
                                 part.astype(part.dtype.newbyteorder(order)).tobytes())
                       + b.element(kit.miDOUBLE, im.astype(np.dtype("f8").newbyteorder(order)).tobytes()))
            variables.append(b.matrix(kit.mxDOUBLE, [2, 2], payload, name, kit.COMPLEX))
        variables.append(b.numeric(np.array([[7.5]]), name=b"shared", flags=kit.GLOBAL))
        variables.append(b.numeric(np.array([3], np.int16), name=b"tiny", cls=kit.mxINT16))  # a small data element
        reference = self._compare(tmp_path, b.file(*variables))
        assert reference["v0"].dtype == np.dtype(order + "f8") and reference["__globals__"] == ["shared"]

    @pytest.mark.parametrize("order", ["<", ">"])
    def test_text_encodings(self, tmp_path, order):
        b = MatBuilder(order)
        word = "Kürbis 浦发"
        utf16 = word.encode("utf-16-le" if order == "<" else "utf-16-be")
        utf32 = word.encode("utf-32-le" if order == "<" else "utf-32-be")
        uint16 = np.array([ord(c) for c in "ab\u00e9"], np.dtype(order + "u2")).tobytes()
        self._compare(tmp_path, b.file(
            b.char(word.encode("utf-8"), [1, len(word)], b"utf8"),
            b.char(utf16, [1, len(word)], b"utf16", dtype=kit.miUTF16),
            b.char(utf32, [1, len(word)], b"utf32", dtype=kit.miUTF32),
            b.char(uint16, [1, 3], b"uint16", dtype=kit.miUINT16),
            b.char(b"ab\xffcd", [1, 5], b"ascii", dtype=kit.miUINT8),  # not ASCII: replaced, as scipy does
            b.char(b"abcdef", [2, 3], b"matrix"),
            b.char(b"abcdefgh", [2, 2, 2], b"cube"),
            b.char(b"", [2, 3], b"blanks"),  # characters stored as nothing read as blanks
            b.char(b"", [0, 0], b"nothing"),
            b.char(b"", [3, 0], b"no_columns"),
            b.char(b"abc", [3], b"one_dim"),
        ))

    @pytest.mark.parametrize("order", ["<", ">"])
    def test_cells_structs_and_compressed_variables(self, tmp_path, order):
        b = MatBuilder(order)
        one = b.numeric(np.array([[1.0, 2.0]]))
        word = b.char(b"hi", [1, 2])
        empty = b.u32(kit.miMATRIX, 0)  # a matrix without content: an empty double matrix
        records = [one, word, empty, one]
        struct = b.struct([b"a", b"a", b"bee"], [one, word, empty, word, one, empty], dims=(2, 1), name=b"s")
        self._compare(tmp_path, b.file(
            b.cell([one, word, empty, b.cell([one], name=b"")], dims=[2, 2], name=b"c"),
            struct,
            b.struct([], [], dims=(1, 1), name=b"no_fields", slot=1),
            b.struct([b"x", b"y"], records, dims=(1, 2), name=b"arr"),
            b.compressed(b.numeric(np.arange(12.0).reshape(3, 4), name=b"z")),
            b.compressed(b.cell([one, word], name=b"zc")),
        ))
