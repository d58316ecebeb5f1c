"""Damaged MAT files: each kind of damage is a DataLoadError naming the file
(the reader says what and where), never a crash, and never an allocation
the file's bytes cannot back."""
import struct
import time
import zlib

import numpy as np
import pytest
import scipy.io

from telvar.kestrum import _matio
from telvar.kestrum.utils.exceptions import DataLoadError
from telvar.kestrum.utils.utilfunc import load_mat

import matfile_kit as kit
from matfile_kit import MatBuilder, assert_same, element_tags

# data-type values that are no MAT data type, or not one that may stand where they were put
BAD_TYPES = [0, 8, 10, 11, 14, 15, *range(19, 26), 36, 99, 0xFFFF]


def _refused(path):
    """load_mat raises DataLoadError naming the file; returns the reader's own error."""
    with pytest.raises(DataLoadError) as caught:
        load_mat(str(path))
    assert str(path) in str(caught.value)
    return caught.value.__cause__


def _k_data(path):
    scipy.io.savemat(str(path), {"KArray": np.ones((7, 3)), "TimeLine": np.arange(3.0) + 739500,
                                 "DayPos": np.arange(1.0, 4.0), "TradeFreshPos": 2})
    return bytearray(path.read_bytes())


def _every_kind(path):
    """A file with every kind of element the system exchanges."""
    records = np.empty((1, 2), dtype=[("Market", object), ("Lot", object)])
    records[0, 0] = ("SSE", 100)
    records[0, 1] = ("SHFE", np.arange(2.0))
    scipy.io.savemat(str(path), {
        "KArray": np.ones((7, 3)), "TradeFreshPos": 2, "Name": "浦发银行", "Codes": ["600000", "1"],
        "Info": {"Market": "SSE", "Lot": np.int16(100)}, "Cells": np.array([np.arange(3), "x"], dtype=object),
        "cashInfo": records, "Cplx": np.array([1 + 2j]), "Flags": np.array([True, False])})
    return bytearray(path.read_bytes())


def test_the_reported_k_data_file_is_an_error_not_a_crash(owned_dir):
    from telvar.api.history import _history

    path = owned_dir / "k.mat"
    raw = _k_data(path)
    at = raw.find(struct.pack("<II", kit.miDOUBLE, 7 * 3 * 8))  # KArray's data element
    raw[at:at + 4] = struct.pack("<I", 0)
    path.write_bytes(raw)
    error, results = _history.load_k_data_from_local(str(path))
    assert isinstance(error, DataLoadError) and str(path) in str(error)
    assert "data type 0" in str(error) and results["TimeLine"].size == 0
    assert not path.exists()  # the unreadable download is removed


@pytest.mark.parametrize("bad", BAD_TYPES)
def test_a_wrong_data_type_in_any_element_is_refused(tmp_path, bad):
    path = tmp_path / "all.mat"
    raw = _every_kind(path)
    tags = element_tags(raw)
    assert {role for _, role in tags} >= {"variable", "array flags", "dimensions", "name", "numeric data",
                                          "character data", "cell element", "field name length",
                                          "field names", "field value"}
    tried = 0
    for at, role in tags:
        damaged = bytearray(raw)
        if struct.unpack_from("<I", damaged, at)[0] == bad:  # a matrix tag is 14 already
            continue
        damaged[at:at + 4] = struct.pack("<I", bad)
        path.write_bytes(damaged)
        reason = _refused(path)
        assert isinstance(reason, _matio.MatFileError), (role, at, reason)
        tried += 1
    assert tried == sum(struct.unpack_from("<I", raw, at)[0] != bad for at, _ in tags)


def test_malformed_array_flags_are_refused(tmp_path):
    path = tmp_path / "flags.mat"
    raw = _every_kind(path)
    flag_tags = [at for at, role in element_tags(raw) if role == "array flags"]
    tag_damages = [(0, struct.pack("<I", 0)), (0, struct.pack("<I", kit.miDOUBLE)), (4, struct.pack("<I", 4)),
                   (4, struct.pack("<I", 16)), (0, struct.pack("<I", (8 << 16) | kit.miUINT32))]
    class_damages = [(8, bytes([cls])) for cls in (0, kit.mxOBJECT, kit.mxSPARSE, 16, 17, 18, 19, 255)]
    for at in flag_tags:
        for offset, value in tag_damages + class_damages:
            damaged = bytearray(raw)
            damaged[at + offset:at + offset + len(value)] = value
            path.write_bytes(damaged)
            reason = _refused(path)
            assert isinstance(reason, _matio.MatFileError)
            assert offset != 8 or "class" in str(reason), reason


def test_a_file_cut_anywhere_is_refused_or_holds_the_whole_variables_before_the_cut(tmp_path):
    path = tmp_path / "cut.mat"
    full_path = tmp_path / "full.mat"
    for make in (_every_kind, _k_data):
        raw = make(full_path)
        full = load_mat(str(full_path))
        names = [k for k in full if not k.startswith("__")]
        read_whole = 0
        for length in range(len(raw)):
            path.write_bytes(raw[:length])
            try:
                got = load_mat(str(path))
            except DataLoadError as e:
                assert str(path) in str(e)
                continue
            kept = [k for k in got if not k.startswith("__")]
            assert kept == names[:len(kept)]  # a cut between variables leaves a shorter, sound file
            assert_same({k: got[k] for k in kept}, {k: full[k] for k in kept})
            read_whole += 1
        assert read_whole == len(names)  # at 128 bytes (no variable) and after each but the last


class TestSizesTheBytesCannotBack:
    @pytest.mark.parametrize("dims, reason", [
        ([2 ** 20, 2 ** 20], "do not hold"),
        ([-1, 3], "negative"),
        ([1] * 33, "dimensions element"),
        ([2 ** 30, 2 ** 30, 2 ** 30], "more elements than any file"),
    ])
    def test_huge_or_negative_dimensions(self, tmp_path, dims, reason):
        b = MatBuilder()
        payload = b.element(kit.miDOUBLE, np.ones(2).tobytes())
        path = tmp_path / "dims.mat"
        path.write_bytes(b.file(b.matrix(kit.mxDOUBLE, dims, payload, b"x")))
        assert reason in str(_refused(path))

    def test_cells_structs_and_texts_that_claim_more_than_the_file_holds(self, tmp_path):
        b = MatBuilder()
        cases = {
            "cell": b.cell([], dims=[100000, 100000], name=b"c"),
            "struct": b.struct([b"a"], [], dims=(2 ** 20, 2 ** 10), name=b"s"),
            "no fields": b.struct([], [], dims=(2 ** 21, 1), name=b"s", slot=1),
            "blank text": b.char(b"", [2 ** 21, 1], b"t"),
            "text": b.char(b"abc", [1, 4], b"t"),
            "length": b.u32(kit.miMATRIX, 2 ** 32 - 8) + bytes(64),
        }
        for case, variable in cases.items():
            path = tmp_path / f"{case}.mat"
            path.write_bytes(b.file(variable))
            started = time.perf_counter()
            _refused(path)
            assert time.perf_counter() - started < 0.5, case  # refused before allocating anything

    def test_field_names_without_end(self, tmp_path):
        b = MatBuilder()
        path = tmp_path / "names.mat"
        # a megabyte of names in slots of one byte and no NUL anywhere: a million fields
        payload = b.element(kit.miINT32, struct.pack("<i", 1)) + b.element(kit.miINT8, b"a" * 2 ** 20)
        path.write_bytes(b.file(b.matrix(kit.mxSTRUCT, [0, 0], payload, b"s")))
        started = time.perf_counter()
        assert "fields" in str(_refused(path))
        assert time.perf_counter() - started < 0.5

    def test_nesting_is_bounded(self, tmp_path):
        b = MatBuilder()
        leaf = b.numeric(np.array([[1.0]]))

        def nested(depth):
            value = leaf
            for _ in range(depth):
                value = b.cell([value])
            return b.file(b.cell([value], name=b"deep"))

        path = tmp_path / "deep.mat"
        path.write_bytes(nested(60))
        assert_same(load_mat(str(path)), scipy.io.loadmat(str(path)))
        path.write_bytes(nested(300))
        assert "nested" in str(_refused(path))


class TestCompressedVariables:
    @staticmethod
    def _file(b, inner, transform=lambda z: z):
        data = transform(zlib.compress(inner))
        return b.header() + b.u32(kit.miCOMPRESSED, len(data)) + data

    def test_damaged_streams(self, tmp_path):
        b = MatBuilder()
        inner = b.numeric(np.arange(1000.0), name=b"x")
        path = tmp_path / "z.mat"
        damaged = {
            "not zlib": lambda z: bytes(range(256)) * 4,
            "cut short": lambda z: z[:len(z) // 2],
            "bytes flipped": lambda z: z[:20] + bytes(x ^ 0x5A for x in z[20:60]) + z[60:],
        }
        for case, transform in damaged.items():
            path.write_bytes(self._file(b, inner, transform))
            assert "compressed" in str(_refused(path)), case
        # only the checksum missing: everything the variable holds is there, as scipy accepts it
        path.write_bytes(self._file(b, inner, lambda z: z[:-4]))
        assert_same(load_mat(str(path)), scipy.io.loadmat(str(path)))

    def test_streams_that_hold_something_else(self, tmp_path):
        b = MatBuilder()
        inner = b.numeric(np.arange(10.0), name=b"x")
        path = tmp_path / "z.mat"
        for case, content in {"extra bytes": inner + bytes(16), "not a matrix": b.element(kit.miDOUBLE, bytes(16)),
                              "empty matrix": b.u32(kit.miMATRIX, 0),
                              "short matrix": inner[:8] + inner[8:-8]}.items():
            path.write_bytes(self._file(b, content))
            _refused(path)

    def test_zip_bombs(self, tmp_path):
        b = MatBuilder()
        path = tmp_path / "bomb.mat"
        # a stream of a few bytes cannot hold the 4 GiB its matrix declares: refused before inflating
        path.write_bytes(self._file(b, b.u32(kit.miMATRIX, 2 ** 32 - 8) + bytes(1000)))
        assert "compressed bytes can hold" in str(_refused(path))
        # 100 MB of zeros in 100 kB: refused before allocating more than the caller allows
        zeros = b.numeric(np.zeros((1, 12_500_000)), name=b"z")
        path.write_bytes(self._file(b, zeros))
        assert path.stat().st_size < 200_000
        with pytest.raises(_matio.MatFileError, match="limit"):
            _matio.read(str(path), max_bytes=20 * 2 ** 20)


@pytest.mark.parametrize("header", [
    bytes(128),  # all zero
    b"\x00\x01" + bytes(126),  # a MAT v4 file
    b"MATLAB 7.3 MAT-file".ljust(124, b" ") + b"\x00\x02IM",  # HDF5
    b"MATLAB 5.0 MAT-file".ljust(124, b" ") + b"\x00\x01XY",  # no byte-order mark
    b"MATLAB 5.0",  # shorter than a header
])
def test_headers_that_are_not_mat_v5(tmp_path, header):
    path = tmp_path / "h.mat"
    path.write_bytes(header)
    assert isinstance(_refused(path), _matio.MatFileError)


def test_unbacked_elements_are_bounded_over_the_whole_file(tmp_path):
    b = MatBuilder()
    blank = b.char(b"", [1000, 1000], b"")  # a million blanks from 56 bytes
    path = tmp_path / "blanks.mat"
    path.write_bytes(b.file(b.cell([blank] * 2, name=b"c")))
    assert "without data" in str(_refused(path))
    path.write_bytes(b.file(b.cell([blank], name=b"c")))
    assert load_mat(str(path))["c"][0, 0].shape == (1000,)
