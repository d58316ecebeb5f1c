"""Target conversions, cache keys, the on-disk matrix cache and host-file clean-up."""
import datetime as dt
import os
import subprocess
import sys

import numpy as np
import pytest

from telvar.kestrum import sysmodel as cnt
from telvar.kestrum import ufuncs
from telvar.kestrum.ufuncs import (
    begin_date_checking_rule,
    calc_hash_value,
    can_cache,
    check_targets_without_change,
    clear_mat_include_cur_trade_date,
    clear_mat_include_zero_date,
    end_date_checking_rule,
    load_mat_cache,
    save_mat_cache,
    todictmc,
    todotmc,
    toordereddict,
)
from telvar.kestrum.utils.datetimefunc import to_int_now_date
from telvar.kestrum.utils.exceptions import TelvarWarning
from telvar.kestrum.utils.utilcls import OrderedDict

TODAY = to_int_now_date()
YESTERDAY = int((dt.date.today() - dt.timedelta(days=1)).strftime("%Y%m%d"))
TOMORROW = int((dt.date.today() + dt.timedelta(days=1)).strftime("%Y%m%d"))

KEY_PARTS = [{"AccountNameList": "['acc1']"}, {"Target": "SHFE.RB0000"}, {"KFrequency": "min"},
             {"KFreqNum": 5}, {"BeginDate": 20250901}, {"EndDate": 20251231}, {"FilledUp": True},
             {"FQ": "NA"}, {"CatType": "get_k_data_independent_target"}]


class TestTargets:
    def test_dotted_and_dict_forms(self):
        t = {"Market": "shfe", "Code": "rb0000", "Name": "螺纹"}
        assert todotmc(t) == "SHFE.RB0000"
        assert todotmc([t, {"Market": "SSE", "Code": "600000"}]) == ["SHFE.RB0000", "SSE.600000"]
        assert todotmc([]) == [] and todotmc("sse.600000") == "SSE.600000"
        assert todictmc(t) == {"Market": "shfe", "Code": "rb0000"}
        assert todictmc(["SSE.600000"]) == [{"Market": "SSE", "Code": "600000"}]

    def test_bad_targets(self):
        with pytest.raises(KeyError):
            todotmc({"Code": "RB0000"})
        with pytest.raises(ValueError):
            todotmc("RB0000")
        with pytest.raises(ValueError):
            check_targets_without_change([{"Market": "SSE", "Code": "1"}, 5])
        with pytest.raises(TypeError):
            check_targets_without_change("SSE.600000")
        targets = ({"Market": "SSE", "Code": "600000"}, "SZSE.000001")
        assert check_targets_without_change(targets) == list(targets)

    def test_toordereddict(self):
        r = toordereddict({"b": 1, "a": 2})
        assert type(r) is OrderedDict and list(r.items()) == [("b", 1), ("a", 2)]


class TestCacheKey:
    def test_key_is_stable_across_processes(self):
        key = calc_hash_value(KEY_PARTS, suffix="_kdata")
        code = ("from telvar.kestrum.ufuncs import calc_hash_value\n"
                "parts = %r\nprint(calc_hash_value(parts, suffix='_kdata'))" % (KEY_PARTS,))
        env = dict(os.environ, PYTHONHASHSEED="12345", PYTHONPATH=os.pathsep.join(sys.path))
        other = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
        assert other.stdout.strip() == key
        # the key scheme is part of the cache format: changing it orphans every cache on disk
        assert key == "306ec5dabaecbf83f4a38e7d2136db08f485c687_kdata"

    def test_every_part_and_its_position_count(self):
        base = calc_hash_value(KEY_PARTS, suffix="_kdata")
        assert calc_hash_value(KEY_PARTS, suffix="_n_kdata") != base
        assert calc_hash_value(KEY_PARTS[::-1], suffix="_kdata") != base
        for i in range(len(KEY_PARTS)):
            changed = [dict(p) for p in KEY_PARTS]
            (k, v), = changed[i].items()
            changed[i][k] = str(v) + "x"
            assert calc_hash_value(changed, suffix="_kdata") != base, k
        same = [{k: np.int64(v) if isinstance(v, int) and not isinstance(v, bool) else v for k, v in p.items()}
                for p in KEY_PARTS]
        assert calc_hash_value(same, suffix="_kdata") == base

    def test_suffix_must_be_a_file_name_part(self):
        with pytest.raises(ValueError):
            calc_hash_value(KEY_PARTS, suffix="/../x")
        with pytest.raises(TypeError):
            calc_hash_value(["not a dict"])


@pytest.fixture
def cache_dir(tmp_path):
    old_root = cnt.env.fm.root
    cnt.env.fm.set_root(tmp_path)
    yield cnt.env.fm.cache_dir("TelvarSyntheticMatrix")
    cnt.env.fm.set_root(old_root)
    cnt.env.cache_enabled = True


class TestMatCache:
    def test_can_cache_only_closed_periods(self, cache_dir):
        assert can_cache(YESTERDAY) and can_cache(np.int64(20250101)) and can_cache("20250101")
        assert can_cache(20250101.0) and can_cache(np.array([[20250101.0]])) and not can_cache(20250101.5)
        assert not can_cache(TODAY) and not can_cache(TOMORROW) and not can_cache(99999999)
        assert not can_cache(0) and not can_cache(None) and not can_cache("soon")

    def test_switching_caching_off(self, cache_dir):
        save_mat_cache(cache_dir, "k", {"a": 1})
        cnt.env.cache_enabled = False
        assert can_cache(YESTERDAY)  # whether a period is over does not change
        assert load_mat_cache(cache_dir, "k") is None
        assert save_mat_cache(cache_dir, "k2", {"a": 1}) is None and os.listdir(cache_dir) == ["k.mat"]

    def test_round_trip(self, cache_dir):
        key = calc_hash_value(KEY_PARTS, suffix="_BF")
        assert load_mat_cache(cache_dir, key) is None
        data = {"Matrix": np.arange(12.0).reshape(3, 4), "bP": np.array([0, 2]),
                "UnfilledIdx": [np.arange(3), np.arange(1)], "LastSynBaseTimeLinePos": 17}
        path = save_mat_cache(cache_dir, key, data)
        assert path == os.path.join(cache_dir, key + ".mat")
        got = load_mat_cache(cache_dir, key)
        assert set(got) == set(data)  # no reader bookkeeping entries
        np.testing.assert_array_equal(got["Matrix"], data["Matrix"])
        assert int(got["LastSynBaseTimeLinePos"]) == 17
        assert [x.ravel().tolist() for x in got["UnfilledIdx"].ravel().tolist()] == [[0, 1, 2], [0]]
        assert os.listdir(cache_dir) == [key + ".mat"]

    @pytest.mark.parametrize("content", [b"", b"MATLAB 5.0 MAT-file truncated"])
    def test_corrupt_file_reads_as_absent_and_is_removed(self, cache_dir, content):
        path = os.path.join(cache_dir, "k_BF.mat")
        with open(path, "wb") as f:
            f.write(content)
        assert load_mat_cache(cache_dir, "k_BF") is None
        assert not os.path.exists(path)

    def test_overwrite_is_atomic(self, cache_dir, monkeypatch):
        save_mat_cache(cache_dir, "k", {"Matrix": np.ones((2, 2))})
        from telvar.kestrum import _matio

        def broken(path, *a, **k):
            with open(path, "wb") as f:
                f.write(b"partial")
            raise OSError("no space left")

        monkeypatch.setattr(_matio, "write", broken)
        with pytest.warns(TelvarWarning, match="no space left"):
            assert save_mat_cache(cache_dir, "k", {"Matrix": np.zeros((2, 2))}) is None
        monkeypatch.undo()
        np.testing.assert_array_equal(load_mat_cache(cache_dir, "k")["Matrix"], np.ones((2, 2)))
        assert os.listdir(cache_dir) == ["k.mat"]

    @pytest.mark.parametrize("key", ["../escape", "a/b", "", ".."])
    def test_keys_cannot_leave_the_directory(self, cache_dir, key):
        with pytest.raises(ValueError):
            save_mat_cache(cache_dir, key, {"a": 1})
        with pytest.raises(ValueError):
            load_mat_cache(cache_dir, key)


class TestHostFileCleanup:
    """Files that are not answers of the attached host are removed only in telvar's own folders."""

    def _file(self, folder, name="host.mat"):
        p = folder / name
        p.write_bytes(b"x")
        return str(p)

    def test_current_trade_date(self, owned_dir, tmp_path):
        p = self._file(owned_dir)
        assert not clear_mat_include_cur_trade_date(p, YESTERDAY) and os.path.exists(p)
        assert clear_mat_include_cur_trade_date(p, TODAY) and not os.path.exists(p)
        p = self._file(owned_dir)
        assert clear_mat_include_cur_trade_date(p, 99999999) and not os.path.exists(p)
        assert not clear_mat_include_cur_trade_date("", TODAY)
        assert not clear_mat_include_cur_trade_date(str(owned_dir / "gone.mat"), TODAY)
        decoy = self._file(tmp_path)
        assert not clear_mat_include_cur_trade_date(decoy, TODAY) and os.path.exists(decoy)

    def test_zero_date(self, owned_dir, tmp_path):
        p = self._file(owned_dir)
        assert not clear_mat_include_zero_date(p, 20250101) and os.path.exists(p)
        assert clear_mat_include_zero_date(p, 0) and not os.path.exists(p)
        p = self._file(owned_dir)
        assert clear_mat_include_zero_date(p, TOMORROW) and not os.path.exists(p)
        decoy = self._file(tmp_path)
        assert not clear_mat_include_zero_date(decoy, 0) and os.path.exists(decoy)


class TestDateRules:
    def test_normalise(self):
        assert begin_date_checking_rule(date="2025-09-01") == 20250901
        assert end_date_checking_rule(date=20251231) == 20251231
        assert begin_date_checking_rule(date="") < end_date_checking_rule(date="") == TODAY
        assert begin_date_checking_rule(date=dt.date(2025, 1, 2)) == 20250102

    def test_reject(self):
        with pytest.raises(ValueError, match="begin_date"):
            begin_date_checking_rule(date="2025-02-30")
        with pytest.raises(TypeError, match="end_date"):
            end_date_checking_rule(date=[2025])


def test_module_exports():
    for name in ufuncs.__all__:
        assert callable(getattr(ufuncs, name))
