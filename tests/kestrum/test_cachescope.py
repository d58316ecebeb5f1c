"""Cache folders per store identity and data version: naming, removal of stale
versions, refusal of another scope's folders, and the in-memory caches that
go with a store."""
import os

import numpy as np
import pytest

from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.cachescope import CACHE_FORMAT
from telvar.kestrum.ufuncs import load_mat_cache, save_mat_cache
from telvar.kestrum.utils.utilcls import OrderedDict


@pytest.fixture
def fm(tmp_path):
    old_root = cnt.env.fm.root
    cnt.reset()
    cnt.env.attach_store(None, None)
    cnt.env.fm.set_root(tmp_path / "root")
    yield cnt.env.fm
    cnt.env.attach_store(None, None)
    cnt.reset()
    cnt.env.fm.set_root(old_root)


def listing(path):
    return sorted(os.listdir(path)) if os.path.isdir(path) else []


class TestFolders:
    def test_a_folder_per_store_and_version_under_the_root(self, fm, tmp_path):
        root = str(tmp_path / "root")
        assert fm.cache_dir("TelvarCodeList") == os.path.join(root, "caches", "no-store", "f%d" % CACHE_FORMAT,
                                                             "TelvarCodeList")
        cnt.env.attach_store("5f0c2e", "a1b2")
        path = fm.cache_dir("TelvarHistoryDataCache")
        assert path == os.path.join(root, "caches", "store-5f0c2e", "f%d-a1b2" % CACHE_FORMAT,
                                    "TelvarHistoryDataCache")
        assert os.path.isdir(path)
        assert fm.get_sub_dir("factors") == os.path.join(root, "factors")  # not a cache: outside any scope

    def test_texts_that_are_no_plain_names_become_digests(self, fm):
        cnt.env.attach_store("../../etc", "size 10/mtime 7")
        a = fm.cache_dir()
        cnt.env.attach_store("../../etd", "size 10/mtime 7")
        b = fm.cache_dir()
        for path in (a, b):
            assert os.path.dirname(os.path.dirname(path)) == fm.cache_root
            assert ".." not in os.path.relpath(path, fm.cache_root).split(os.sep)
        assert a != b
        with pytest.raises(ValueError):
            cnt.env.attach_store("", "v1")

    def test_attaching_removes_the_other_versions_of_that_store_only(self, fm):
        cnt.env.attach_store("s1", "v1")
        old = fm.cache_dir("TelvarSyntheticMatrix")
        save_mat_cache(old, "k", {"Matrix": np.ones((2, 2))})
        older_format = os.path.join(fm.cache_root, "store-s1", "f1-v0")
        os.makedirs(older_format)
        cnt.env.attach_store("s2", "v1")
        other_store = fm.cache_dir("TelvarSyntheticMatrix")
        save_mat_cache(other_store, "k", {"Matrix": np.zeros((2, 2))})
        assert listing(os.path.join(fm.cache_root, "store-s1")) == ["f1-v0", "f%d-v1" % CACHE_FORMAT]

        cnt.env.attach_store("s1", "v2")  # removed at once, before any cache is used
        assert listing(os.path.join(fm.cache_root, "store-s1")) == []
        assert load_mat_cache(fm.cache_dir("TelvarSyntheticMatrix"), "k") is None
        assert listing(os.path.join(fm.cache_root, "store-s1")) == ["f%d-v2" % CACHE_FORMAT]
        assert listing(other_store) == ["k.mat"]

    def test_unscoped_caches_of_earlier_versions_are_removed(self, fm):
        legacy = fm.get_sub_dir("mat", "TelvarHistoryDataCache")
        open(os.path.join(legacy, "x.mat"), "wb").close()
        factors = fm.get_sub_dir("factors")
        cnt.env.attach_store("s1", "v1")
        assert not os.path.exists(os.path.dirname(legacy)) and os.path.isdir(factors)

    def test_a_new_root_is_cleaned_on_first_use(self, fm, tmp_path):
        cnt.env.attach_store("s1", "v2")
        stale = tmp_path / "other" / "caches" / "store-s1" / "f2-v1"
        stale.mkdir(parents=True)
        fm.set_root(tmp_path / "other")
        fm.cache_dir("X")
        assert listing(stale.parent) == ["f%d-v2" % CACHE_FORMAT]


class TestStaleFolders:
    def test_a_folder_of_another_scope_is_neither_read_nor_written(self, fm, tmp_path):
        cnt.env.attach_store("s1", "v1")
        first = fm.cache_dir("TelvarHistoryDataCache")
        assert save_mat_cache(first, "k", {"Close": np.array([13.23])})
        cnt.env.attach_store("s2", "v1")
        # a reader that picked its folder before the switch
        assert load_mat_cache(first, "k") is None
        assert save_mat_cache(first, "late", {"Close": np.array([14.23])}) is None
        assert listing(first) == ["k.mat"]
        assert not fm.is_current_cache_path(first) and fm.is_current_cache_path(fm.cache_dir("X"))
        # folders outside the cache root are the caller's own
        mine = tmp_path / "mine"
        mine.mkdir()
        assert fm.is_current_cache_path(str(mine)) and save_mat_cache(str(mine), "k", {"a": 1})

    def test_same_scope_again_keeps_everything(self, fm):
        cnt.env.attach_store("s1", "v1")
        save_mat_cache(fm.cache_dir("X"), "k", {"a": 1})
        cnt.vr.g_TelvarTradingDays = np.array([20251103], dtype=np.int64)
        assert not cnt.env.attach_store("s1", "v1")
        assert int(load_mat_cache(fm.cache_dir("X"), "k")["a"]) == 1
        assert cnt.vr.g_TelvarTradingDays.tolist() == [20251103]


class TestInMemoryCaches:
    def fill(self):
        vr = cnt.vr
        vr.g_TelvarTradingDays = np.array([20251103, 20251104], dtype=np.int64)
        vr.g_TelvarTickMap["SSE_600000_20251104_NA_True"] = {"Price": np.array([13.6])}
        vr.g_TelvarTargetsInfo["SSE.600000"] = OrderedDict(Market="SSE", Code="600000", Name="a")

    def empty(self):
        vr = cnt.vr
        return vr.g_TelvarTradingDays.size == 0 and not vr.g_TelvarTickMap and not vr.g_TelvarTargetsInfo

    @pytest.mark.parametrize("change", [("s2", "v1"), ("s1", "v2"), (None, None)])
    def test_dropped_when_the_store_or_its_version_changes(self, fm, change):
        cnt.env.attach_store("s1", "v1")
        self.fill()
        cnt.vr.g_TelvarInputInfo.BeginDate = 20251103
        assert cnt.env.attach_store(*change)
        assert self.empty()
        assert cnt.vr.g_TelvarInputInfo.BeginDate == 20251103  # the run itself stays
