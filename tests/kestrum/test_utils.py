"""MAT files, row stores, stable names, containers, argument rules, warnings."""
import os
import time

import numpy as np
import pytest
import scipy.io

from telvar.kestrum.utils import utilfunc
from telvar.kestrum.utils.argchecker import apply_rule, verify_that
from telvar.kestrum.utils.exceptions import DataLoadError, TelvarWarning
from telvar.kestrum.utils.logger import user_warning
from telvar.kestrum.utils.utilcls import DotDict, OrderedDict
from telvar.kestrum.utils.utilfunc import (
    append_or_assign_2d_array_axis0,
    check_expired_file,
    load_mat,
    random_file_name,
    run_ignore_exception,
    save_mat,
)


class TestLoadMat:
    def test_reads_variables_with_header(self, tmp_path):
        p = str(tmp_path / "k.mat")
        scipy.io.savemat(p, {"TimeLine": np.arange(3.0), "TradeFreshPos": 2})
        d = load_mat(p)
        assert {"__header__", "__version__", "__globals__"} <= set(d)
        assert d["TimeLine"].shape == (1, 3) and d.get("missing") is None
        d["KArray"] = d.pop("TimeLine")  # a plain mutable mapping

    @pytest.mark.parametrize("content", [b"", b"not a mat file at all" * 10])
    def test_unreadable_file(self, owned_dir, tmp_path, content):
        p = owned_dir / "bad.mat"
        p.write_bytes(content)
        with pytest.raises(DataLoadError, match="bad.mat"):
            load_mat(str(p))
        assert p.exists()
        assert load_mat(str(p), error="ignore") == {}
        with pytest.raises(DataLoadError):
            load_mat(str(p), "raise", True)  # positional error mode and remove flag
        assert not p.exists()
        # a file that is not telvar's own is reported and left where it is
        decoy = tmp_path / "bad.mat"
        decoy.write_bytes(content)
        with pytest.warns(TelvarWarning, match="bad.mat"):
            assert load_mat(str(decoy), error="ignore", rm_if_error=True) == {}
        assert decoy.exists()

    def test_error_object_and_missing_file(self, tmp_path):
        p = str(tmp_path / "absent.mat")
        with pytest.raises(FileNotFoundError, match="absent.mat"):
            load_mat(p)
        marker = DataLoadError("download failed")
        with pytest.raises(DataLoadError) as e:
            load_mat(p, error_obj=marker)
        assert e.value is marker
        with pytest.raises(DataLoadError) as e:  # a named error is raised in either mode
            load_mat(p, error="ignore", rm_if_error=True, error_obj=marker)
        assert e.value is marker
        assert load_mat(None, error="ignore") == {}
        with pytest.raises(ValueError, match="error"):
            load_mat(p, error="warn")


class TestSaveMat:
    def test_round_trip_with_cells(self, tmp_path):
        p = str(tmp_path / "c.mat")
        save_mat(p, {"Matrix": np.eye(2), "Ragged": [np.arange(3), np.arange(5)],
                     "Even": [np.arange(2), np.arange(2)], "Nothing": None, "n": 7})
        d = load_mat(p)
        np.testing.assert_array_equal(d["Matrix"], np.eye(2))
        ragged = [x.ravel() for x in d["Ragged"].ravel().tolist()]
        assert [r.tolist() for r in ragged] == [[0, 1, 2], [0, 1, 2, 3, 4]]
        assert d["Even"].shape == (2, 2) and d["Nothing"].size == 0 and d["n"].ravel()[0] == 7

    def test_text_columns_round_trip_without_padding(self, tmp_path):
        import pandas as pd

        p = str(tmp_path / "t.mat")
        rows = [{"Code": "600000", "Name": "浦发银行", "Weight": 0.5}, {"Code": "1", "Name": "", "Weight": 2.0}]
        save_mat(p, pd.DataFrame(rows).to_dict(orient="list"))
        d = load_mat(p)
        back = pd.DataFrame({k: v.ravel() for k, v in d.items() if not k.startswith("__")}).to_dict("records")
        assert back == rows

    def test_struct_array_of_records(self, tmp_path):
        p = str(tmp_path / "s.mat")
        records = [{"Market": "SHFE", "Code": "RB2601", "Multiplier": 10},
                   {"Market": "SSE", "Code": "600000", "Multiplier": 1.5, "Board": ""}]
        save_mat(p, records, struct_name="cashInfo", long_field_names=True, oned_as="row")
        cash = load_mat(p)["cashInfo"]
        assert cash.dtype.names == ("Market", "Code", "Multiplier", "Board")
        rows = [[v.ravel()[0] if v.size > 0 else "" for v in item] for item in cash[0]]
        assert rows == [["SHFE", "RB2601", 10, ""], ["SSE", "600000", 1.5, ""]]

    @pytest.mark.parametrize("data", [{"_hidden": 1}, {"9lives": 1}, {"ok": {"bad-field": 1}}])
    def test_names_the_format_cannot_hold_are_refused(self, tmp_path, data):
        p = tmp_path / "n.mat"
        with pytest.raises(ValueError, match="MAT file"):
            save_mat(str(p), data)
        with pytest.raises(ValueError, match="MAT file"):
            save_mat(str(p), [{"_x": 1}], struct_name="cashInfo")
        assert not p.exists() and os.listdir(tmp_path) == []

    def test_failed_write_leaves_old_file_and_no_debris(self, tmp_path, monkeypatch):
        p = str(tmp_path / "keep.mat")
        save_mat(p, {"v": np.arange(4)})

        def broken(path, *a, **k):
            with open(path, "wb") as f:
                f.write(b"half a file")
            raise OSError("disk full")

        monkeypatch.setattr(utilfunc._matio, "write", broken)
        with pytest.raises(OSError, match="disk full"):
            save_mat(p, {"v": np.arange(9)})
        assert os.listdir(tmp_path) == ["keep.mat"]
        np.testing.assert_array_equal(load_mat(p)["v"].ravel(), np.arange(4))


class TestRowStore:
    def test_append_assign_and_empty_store(self):
        rows = np.ones((2, 3))
        out = append_or_assign_2d_array_axis0(np.array([]), rows, 0)
        np.testing.assert_array_equal(out, rows)
        assert out is not rows
        assert append_or_assign_2d_array_axis0(np.array([]), rows, pos=999999999, copy_=False) is rows
        out2 = append_or_assign_2d_array_axis0(out, np.full((1, 3), 2.0), out.shape[0])
        assert out2.shape == (3, 3) and out2[2, 0] == 2.0 and out.shape == (2, 3)
        out3 = append_or_assign_2d_array_axis0(out2, [5.0, 5.0, 5.0], pos=999999999)
        assert out3.shape == (4, 3) and out3[3].tolist() == [5.0] * 3

    def test_assign_inside_and_past_the_end(self):
        store = np.zeros((3, 2))
        out = append_or_assign_2d_array_axis0(store, np.ones((2, 2)), 2)
        assert out.tolist() == [[0, 0], [0, 0], [1, 1], [1, 1]] and store.sum() == 0
        same = append_or_assign_2d_array_axis0(store, np.ones((1, 2)), 0, copy_=False)
        assert same is store and store[0].tolist() == [1, 1]

    def test_column_mismatch(self):
        with pytest.raises(ValueError, match="columns"):
            append_or_assign_2d_array_axis0(np.zeros((2, 3)), np.zeros((1, 4)))


class TestFiles:
    def test_random_file_name(self):
        targets = [{"Market": "SHFE", "Code": "RB0000"}, {"Market": "SSE", "Code": "600000"}]
        a = random_file_name(suffix=".mat", middle=targets)
        assert a == random_file_name(suffix=".mat", middle=[dict(t) for t in targets]) and a.endswith(".mat")
        assert a != random_file_name(suffix=".mat", middle=targets[::-1])
        assert random_file_name(suffix=".mat") != random_file_name(suffix=".mat")
        assert os.sep not in a

    def test_check_expired_file(self, owned_dir, tmp_path):
        p = owned_dir / "cache.mat"
        assert check_expired_file(str(p), seconds=86400)  # missing counts as expired
        p.write_bytes(b"x")
        assert not check_expired_file(str(p), seconds=86400, rm_if_expired=True) and p.exists()
        old = time.time() - 2 * 86400
        os.utime(p, (old, old))
        assert check_expired_file(str(p), seconds=86400) and p.exists()
        assert check_expired_file(str(p), seconds=86400, rm_if_expired=True) and not p.exists()
        decoy = tmp_path / "cache.mat"  # not in telvar's folders: expired, but kept
        decoy.write_bytes(b"x")
        os.utime(decoy, (old, old))
        assert check_expired_file(str(decoy), seconds=86400, rm_if_expired=True) and decoy.exists()

    def test_run_ignore_exception(self, tmp_path):
        assert run_ignore_exception(os.remove, str(tmp_path / "none")) is None
        assert run_ignore_exception(int, "12") == 12

    def test_stable_digest_ignores_container_identity_not_content(self):
        d = utilfunc.stable_digest
        assert d([1, "a", 2.5]) == d([np.int64(1), "a", np.float64(2.5)])
        assert d([1]) != d([1.0]) != d(["1"]) and d([True]) != d([1])
        assert d({"a": [1, 2]}) != d({"a": [2, 1]})
        assert d(np.arange(3)) == d(np.arange(3)) != d(np.arange(3.0))


class TestContainers:
    def test_dotdict(self):
        d = DotDict(Time=np.arange(2))
        d.Price = np.ones(2)
        assert list(d) == ["Time", "Price"] and d.Price is d["Price"]
        c = d.copy()
        assert isinstance(c, DotDict) and c.Time is d.Time
        del d.Price
        with pytest.raises(AttributeError):
            d.Price
        with pytest.raises(AttributeError):
            del d.Price

    def test_ordered_dict(self):
        import collections

        r = OrderedDict([("Market", "SSE"), ("Code", "600000")])
        assert isinstance(r, collections.OrderedDict)
        assert type(r) is not collections.OrderedDict
        assert list(r) == ["Market", "Code"] and r.Code == "600000"
        with pytest.raises(AttributeError):
            r.Board


class TestArgumentRules:
    @staticmethod
    def _query():
        @apply_rule(verify_that("target_list").is_instance_of(list, tuple),
                    verify_that("begin_date").is_valid_date(allow_empty_str=True),
                    verify_that("end_date").is_valid_date())
        def query(target_list, begin_date="", end_date=20251231):
            return target_list, begin_date, end_date

        return query

    def test_passing_calls(self):
        q = self._query()
        assert q([], "2025-01-02", end_date="20250103") == ([], "2025-01-02", "20250103")
        assert q((), "", 20240229)[2] == 20240229
        assert q(target_list=["x"]) == (["x"], "", 20251231)
        assert q.__name__ == "query"

    def test_wrong_type_names_argument_and_rule(self):
        q = self._query()
        with pytest.raises(TypeError, match="target_list.*is_instance_of.*list or tuple.*str"):
            q("SHFE.RB0000")
        with pytest.raises(TypeError, match="begin_date.*is_valid_date"):
            q([], [20250101])

    def test_malformed_dates(self):
        q = self._query()
        for bad in ("20251301", "2025-02-30", "yesterday", 20250231):
            with pytest.raises(ValueError, match="begin_date.*is_valid_date"):
                q([], bad)
        with pytest.raises(ValueError, match="end_date"):
            q([], end_date="")  # empty text not allowed for this rule

    def test_functions_without_signature_map_rules_by_position(self):
        def raw(*args, **kwargs):
            return args, kwargs

        checked = apply_rule(verify_that("a").is_instance_of(list), verify_that("b").is_valid_date())(raw)
        assert checked([1], 20250101) == (([1], 20250101), {})
        with pytest.raises(ValueError, match="'b'"):
            checked([1], b="2025-99-01")
        with pytest.raises(TypeError, match="'a'"):
            checked((1,))


def test_user_warning_is_a_telvar_warning():
    with pytest.warns(TelvarWarning, match="check your data"):
        user_warning("check your data")
