"""Instrument queries: pass-through requests, target information with its
file cache, block code lists with their per-day cache."""
import os
import time
from types import SimpleNamespace

import numpy as np
import pytest
import scipy.io

from telvar.kestrum.utils.exceptions import TelvarWarning
from telvar.kestrum.utils.utilcls import OrderedDict

RB = {"Market": "SHFE", "Code": "RB0000"}


def stock(i):
    return {"Market": "SSE", "Code": "%06d" % (600000 + i)}


def info_records(targets):
    return [dict(t, Name="name %d" % i if i % 2 else "", Multiplier=i) for i, t in enumerate(targets)]


class TestPassThrough:
    def test_main_contracts_and_instruments_use_dotted_targets(self, history, cnt):
        asked = []
        cnt.vr.g_TelvarMainContracts = SimpleNamespace(main_contracts=lambda *a: asked.append(a) or {})
        cnt.vr.g_TelvarInstrument = SimpleNamespace(history_instruments=lambda *a: asked.append(a) or {"x": 1})
        assert history.get_main_contract([RB], 20251001, 20251031) == {}
        assert history.get_history_instruments(targets=[RB], begin_date=1, end_date=2) == {"x": 1}
        assert asked == [(["SHFE.RB0000"], 20251001, 20251031), (["SHFE.RB0000"], 1, 2)]

    def test_host_commands(self, history, channel):
        channel.answers["tvSendCmdGetFutureContracts"] = {"RB": ["RB2601"]}
        channel.answers["tvSendCmdGetCodeList"] = lambda block, day: [block + "1", block + "2"]
        history.get_future_info_ex([RB])
        history.get_stock_info_ex([stock(0)])
        assert history.get_future_contracts(20251103, "SHFE", ["RB"]) == {"RB": ["RB2601"]}
        assert history.get_code_list(["A", "B"], 20251103) == ["A1", "A2", "B1", "B2"]
        assert [args for _, args, _ in channel.calls] == [
            (history.todictmc([RB]),), (history.todictmc([stock(0)]),), (20251103, "SHFE", ["RB"]),
            ("A", 20251103), ("B", 20251103)]

    def test_argument_counts(self, history):
        with pytest.raises(TypeError, match=r"^get_main_contract\(\) takes exactly 3 positional arguments \(2 given\)$"):
            history.get_main_contract([RB], 1)
        with pytest.raises(TypeError, match="unexpected keyword argument 'day'"):
            history.get_future_contracts(day=1, market="SHFE", varieties=[])


class TestTargetInfo:
    def test_fewer_than_100_targets_always_ask_the_host(self, history, channel, cnt):
        targets = [stock(i) for i in range(99)]
        channel.answers["tvSendCmdGetFutureInfo_20190920"] = lambda t: info_records(t)
        history.get_target_info(targets)
        records = history.get_target_info(targets)
        assert channel.names() == ["tvSendCmdGetFutureInfo_20190920"] * 2
        assert os.listdir(cnt.mat_dir) == []
        assert records[5]["Code"] == "600005"
        assert cnt.vr.g_TelvarTargetsInfo["SSE.600005"] is records[5]

    def test_100_targets_are_served_from_the_file_for_a_day(self, history, channel, cnt):
        targets = [stock(i) for i in range(100)]
        channel.answers["tvSendCmdGetFutureInfo_20190920"] = lambda t: info_records(t)
        first = history.get_target_info(targets)
        cached = history.get_target_info(targets)
        assert channel.names() == ["tvSendCmdGetFutureInfo_20190920"]
        assert len(cached) == 100 and all(type(r) is OrderedDict for r in cached)
        assert list(cached[3]) == ["Market", "Code", "Name", "Multiplier"]
        assert dict(cached[3]) == first[3]
        assert cached[0]["Name"] == ""
        assert cnt.vr.g_TelvarTargetsInfo["SSE.600003"] is cached[3]

        (cache_file,) = os.listdir(cnt.mat_dir)
        two_days_ago = time.time() - 2 * 86400
        os.utime(cnt.mat_dir / cache_file, (two_days_ago, two_days_ago))
        history.get_target_info(targets)
        assert channel.names() == ["tvSendCmdGetFutureInfo_20190920"] * 2

    @pytest.mark.parametrize("damage", ["garbage", "truncated", "not_records", "too_few", "numeric_code"])
    def test_an_unreadable_cache_file_is_asked_again_and_rewritten(self, history, channel, cnt, damage):
        targets = [stock(i) for i in range(100)]
        channel.answers["tvSendCmdGetFutureInfo_20190920"] = lambda t: info_records(t)
        history.get_target_info(targets)
        (cache_file,) = os.listdir(cnt.mat_dir)
        path = cnt.mat_dir / cache_file
        if damage == "garbage":
            path.write_bytes(b"broken" * 50)
        elif damage == "truncated":
            path.write_bytes(path.read_bytes()[:200])
        elif damage == "not_records":  # a readable file whose cashInfo is a plain matrix
            scipy.io.savemat(path, {"cashInfo": np.ones((1, 100))})
        elif damage == "too_few":  # records of other targets
            history.save_mat(str(path), info_records([stock(i) for i in range(3)]), struct_name="cashInfo",
                             long_field_names=True)
        else:  # a code stored as a number
            history.save_mat(str(path), [dict(r, Code=i) for i, r in enumerate(info_records(targets))],
                             struct_name="cashInfo", long_field_names=True)
        if damage in ("garbage", "truncated"):  # unreadable: removed without a word
            records = history.get_target_info(targets)
        else:
            with pytest.warns(TelvarWarning, match="cashInfo"):
                records = history.get_target_info(targets)
        assert channel.names() == ["tvSendCmdGetFutureInfo_20190920"] * 2
        assert len(records) == 100 and records[7]["Code"] == "600007" and records[7]["Name"] == "name 7"
        # the file holds the answer again: the next call is served from it
        again = history.get_target_info(targets)
        assert channel.names() == ["tvSendCmdGetFutureInfo_20190920"] * 2
        assert os.listdir(cnt.mat_dir) == [cache_file]
        assert [dict(r) for r in again] == [dict(r) for r in records]

    def test_records_by_target_index(self, history, channel, cnt):
        targets = [stock(i) for i in range(4)]
        channel.answers["tvSendCmdGetFutureInfo_20190920"] = lambda t: info_records(t)
        history.get_target_info(targets)
        cnt.vr.g_TelvarInputInfo.TargetListDot = history.todotmc(targets)
        assert history.get_target_info_v2(3)["Code"] == "600003"
        assert [r["Code"] for r in history.get_target_info_v2([3, 1])] == ["600003", "600001"]
        with pytest.raises(IndexError):
            history.get_target_info_v2(9)
        cnt.vr.g_TelvarInputInfo.TargetListDot = ["SZSE.000001"]
        with pytest.raises(KeyError):
            history.get_target_info_v2(0)

    def test_record_without_market_raises(self, history, channel, cnt):
        channel.answers["tvSendCmdGetFutureInfo_20190920"] = [{"Market": "SSE", "Code": "1"}, {"Code": "2"}]
        with pytest.raises(KeyError, match="Market"):
            history.get_target_info([stock(0)])
        assert list(cnt.vr.g_TelvarTargetsInfo) == ["SSE.1"]


def members(block, begin, end):
    return [{"Market": "SSE", "Code": "600000", "Weight": 0.5, "Block": block},
            {"Market": "SZSE", "Code": "1", "Weight": 1.25, "Block": block}]


class TestCodeListSet:
    @pytest.fixture
    def host(self, channel):
        channel.answers["tvSendCmdGetCodeListSet"] = members
        return channel

    def test_same_day_same_request_is_read_from_the_cache(self, history, host, cnt):
        fresh = history.get_code_list_set(["SZ50"], 20251001, 20251031)
        cached = history.get_code_list_set(["SZ50"], 20251001, 20251031)
        assert host.names() == ["tvSendCmdGetCodeListSet"]
        assert all(type(r) is OrderedDict for r in cached)
        # texts come back exactly, not blank-padded to the longest one
        assert [dict(r) for r in cached] == fresh
        history.get_code_list_set(["SZ50"], 20251001, 20251030)
        assert len(host.names()) == 2

    def test_blocks_mix_cache_and_host_in_block_order(self, history, host, cnt):
        history.get_code_list_set(["B"], 20251001, 20251031)
        records = history.get_code_list_set(("A", "B", "C"), 20251001, 20251031)
        assert [r["Block"] for r in records] == ["A", "A", "B", "B", "C", "C"]
        assert [args[0] for args, _ in host.sent("tvSendCmdGetCodeListSet")] == ["B", "A", "C"]

    def test_open_end_date_is_never_cached(self, history, host, cnt):
        history.get_code_list_set(["SZ50"], 20251001, 0)
        history.get_code_list_set(["SZ50"], 20251001, 0)
        assert len(host.names()) == 2
        assert os.listdir(cnt.mat_dir) == []

    def test_block_names_cannot_leave_the_cache_folder(self, history, host, cnt, tmp_path):
        blocks = ["../../escaped", "/tmp/abs", "a/b", "a%2Fb", "..", "back\\slash"]
        for _ in range(2):
            records = history.get_code_list_set(blocks, 20251001, 20251031)
            assert [r["Block"] for r in records[::2]] == blocks
        assert len(host.names()) == len(blocks)
        assert len(os.listdir(cnt.mat_dir)) == len(blocks)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["home"]
        assert sorted(p.name for p in (tmp_path / "home" / "caches").iterdir()) == ["mat"]

    def test_unreadable_cache_file_is_asked_again(self, history, host, cnt):
        history.get_code_list_set(["SZ50"], 20251001, 20251031)
        (cache_file,) = os.listdir(cnt.mat_dir)
        (cnt.mat_dir / cache_file).write_bytes(b"broken" * 50)
        records = history.get_code_list_set(["SZ50"], 20251001, 20251031)
        assert len(records) == 2 and len(host.names()) == 2


def test_an_unwritable_cache_keeps_the_answer(history, channel, cnt, monkeypatch):
    def read_only_disk(path, *args, **kwargs):
        raise PermissionError(13, "Permission denied", path)

    monkeypatch.setattr(history, "save_mat", read_only_disk)
    channel.answers["tvSendCmdGetFutureInfo_20190920"] = lambda t: info_records(t)
    channel.answers["tvSendCmdGetCodeListSet"] = members
    with pytest.warns(TelvarWarning, match="Permission denied"):
        assert len(history.get_target_info([stock(i) for i in range(100)])) == 100
    with pytest.warns(TelvarWarning):
        assert len(history.get_code_list_set(["SZ50"], 20251001, 20251031)) == 2
    monkeypatch.setattr(history, "save_mat", lambda *a, **k: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        history.get_code_list_set(["SZ50"], 20251001, 20251031)
