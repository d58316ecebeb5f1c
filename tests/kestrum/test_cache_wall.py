"""A cache never makes a run fail: entries too large for a MAT v5 file, full disks and refused writes."""
import os

import numpy as np
import pytest

from telvar.kestrum import _matio, ufuncs
from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.utils.exceptions import TelvarWarning

# 600 million doubles that take 8 bytes of memory: 4.8 GB as far as any writer can tell
HUGE = np.broadcast_to(np.zeros(1), (1, 600_000_000))


@pytest.fixture
def cache_dir(tmp_path):
    old_root = cnt.env.fm.root
    cnt.env.fm.set_root(str(tmp_path / "root"))
    yield cnt.env.fm.cache_dir("TelvarSyntheticMatrix")
    cnt.env.fm.set_root(old_root)


def test_the_mat_writer_refuses_a_variable_over_4_gib_before_writing(tmp_path):
    path = tmp_path / "big.mat"
    with pytest.raises(_matio.MatFileError, match=r"variable Big: .*too large for a MAT v5 file \(at most 4 GiB"):
        _matio.write(str(path), {"Small": np.ones(3), "Big": HUGE})
    assert not path.exists()  # nothing was opened, let alone half written
    _matio.write(str(path), {"Small": np.ones(3)})
    assert _matio.read(str(path))["Small"].tolist() == [[1.0, 1.0, 1.0]]


def test_an_entry_too_large_for_one_file_is_not_cached(cache_dir):
    with pytest.warns(TelvarWarning, match="Matrix holds 4800000000 bytes"):
        assert ufuncs.save_mat_cache(cache_dir, "big", {"Matrix": HUGE, "bP": np.arange(3)}) is None
    assert ufuncs.load_mat_cache(cache_dir, "big") is None and os.listdir(cache_dir) == []
    # a list of arrays (a cell) counts all of its arrays
    with pytest.warns(TelvarWarning, match="UnfilledIdx holds 9600000000 bytes"):
        assert ufuncs.save_mat_cache(cache_dir, "cells", {"UnfilledIdx": [HUGE, HUGE]}) is None


@pytest.mark.parametrize("error", [ValueError("variable Matrix: too large"), PermissionError(13, "denied"),
                                   MemoryError()])
def test_any_failed_write_warns_and_leaves_nothing(cache_dir, monkeypatch, error):
    def failing(path, data):
        raise error

    monkeypatch.setattr(ufuncs, "save_mat", failing)
    with pytest.warns(TelvarWarning, match=type(error).__name__):
        assert ufuncs.save_mat_cache(cache_dir, "k", {"Matrix": np.ones((2, 2))}) is None
    assert os.listdir(cache_dir) == []


@pytest.mark.host
def test_a_registration_keeps_its_bars_when_its_cache_cannot_be_written(host, run_root, monkeypatch):
    from telvar.api.regora import _regora
    from telvar.kestrum import runner

    def full_disk(path, data):
        raise OSError(28, "No space left on device", path)

    runner.setup(["SHFE.RB0000", "SSE.600000"], 20251103, 20251104, host=host)
    expected = _regora.get_reg_k_data(_regora.reg_k_data("min", 15), 100, 5, True).astype(float)
    runner.setup(["SHFE.RB0000", "SSE.600000"], 20251103, 20251104, host=host)
    cnt.env.fm.set_root(str(cnt.env.fm.root) + "-empty")  # nothing cached yet: every entry is written
    monkeypatch.setattr(ufuncs, "save_mat", full_disk)
    with pytest.warns(TelvarWarning, match="No space left"):
        reg = _regora.reg_k_data("min", 15)
    np.testing.assert_array_equal(_regora.get_reg_k_data(reg, 100, 5, True).astype(float), expected)
