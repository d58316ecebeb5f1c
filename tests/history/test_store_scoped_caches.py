"""Caches belong to one store and one version of its data: one process and
one cache root read two stores that hold the same instrument with other
numbers, alternately, through every cached read; a store re-imported under a
restarted host is read afresh at once; a host restarted at the same address
on another store is noticed when the channel reconnects."""
from pathlib import Path

import duckdb
import numpy as np
import pandas as pd
import pytest

from telvar.host import start_host
from telvar.host.importer import import_files
from telvar.host.sample import build_store
from telvar.kestrum import comm, runner
from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.cachescope import CACHE_FORMAT
from telvar.kestrum.sysmodel import gv
from telvar.kestrum.utils.datetimefunc import int_date_to_ordinal

pytestmark = pytest.mark.host

BEGIN, END = 20251103, 20251114
PUFA = {"Market": "SSE", "Code": "600000"}
BAR_TIME = "2025-11-07 15:00:00"  # the last bar of a Friday: it closes its day, week and 15-minute bar
BAR_DAY = 20251107
TICK_DAY = 20251113
BLOCK_DAY = 20251105
EXTRA_DAY = 20251117


def bar_datenum():
    return int_date_to_ordinal(BAR_DAY) + 15 / 24


def build(path):
    return build_store(path, begin=BEGIN, end=END, futures=False, ticks=True)


def write_csv(folder, name, frame):
    path = Path(folder) / name
    frame.to_csv(path, index=False)
    return path


def correct_bar(store, folder, delta=1.0):
    """Re-import the 15:00 bar of SSE 600000 on BAR_DAY with its close moved by ``delta``."""
    with duckdb.connect(str(store), read_only=True) as con:
        bar = con.execute("SELECT * FROM minute_bars WHERE market = 'SSE' AND code = '600000' AND ts = ?",
                          [BAR_TIME]).df()
    assert len(bar) == 1
    bar["close"] += delta
    bar["high"] = bar[["high", "close"]].max(axis=1)
    bar["low"] = bar[["low", "close"]].min(axis=1)
    bar["time"] = bar.pop("ts").dt.strftime("%Y-%m-%d %H:%M:%S")
    import_files(store, "bars-min", [write_csv(folder, "bar.csv", bar)])


def make_users_store(store, folder):
    """The user's own store: the sample instruments, but another close, tick price,
    block member, instrument name and one more trading day."""
    correct_bar(store, folder)
    with duckdb.connect(str(store), read_only=True) as con:
        tick = con.execute("SELECT * FROM ticks WHERE market = 'SSE' AND code = '600000' AND trade_date = ? "
                           "ORDER BY ts LIMIT 1 OFFSET 100", [TICK_DAY]).df()
    tick["price"] += 0.5
    tick["time"] = tick.pop("ts").dt.strftime("%Y-%m-%d %H:%M:%S.%f").str[:-3]
    import_files(store, "ticks", [write_csv(folder, "tick.csv", tick)])
    import_files(store, "blocks", [write_csv(folder, "blocks.csv", pd.DataFrame(
        {"block": ["BANK"], "trade_date": [BLOCK_DAY], "market": ["SSE"], "code": ["600519"]}))])
    import_files(store, "instruments", [write_csv(folder, "inst.csv", pd.DataFrame(
        {"market": ["SSE"], "code": ["600000"], "name": ["浦发银行(自有)"], "kind": ["stock"]}))])
    import_files(store, "calendar", [write_csv(folder, "cal.csv", pd.DataFrame(
        {"market": ["SSE"], "trade_date": [EXTRA_DAY]}))])


def truth(store):
    """What each read must answer, straight from the store file."""
    with duckdb.connect(str(store), read_only=True) as con:
        one = con.execute
        return {
            "close": one("SELECT close FROM minute_bars WHERE market = 'SSE' AND code = '600000' AND ts = ?",
                         [BAR_TIME]).fetchone()[0],
            "day_close": one("SELECT close FROM day_bars WHERE market = 'SSE' AND code = '600000' AND "
                             "trade_date = ?", [BAR_DAY]).fetchone()[0],
            "ticks": one("SELECT price FROM ticks WHERE market = 'SSE' AND code = '600000' AND trade_date = ? "
                         "ORDER BY ts", [TICK_DAY]).fetchnumpy()["price"],
            "bank": sorted(one("SELECT market, code FROM blocks WHERE block = 'BANK' AND trade_date = ?",
                               [BLOCK_DAY]).fetchall()),
            "name": one("SELECT name FROM instruments WHERE market = 'SSE' AND code = '600000'").fetchone()[0],
            "days": [r[0] for r in one("SELECT DISTINCT trade_date FROM calendar ORDER BY 1").fetchall()],
        }


def close_at(matrix, row, time):
    cols = np.flatnonzero(np.isclose(matrix[gv.KMatrixPos_TimeLine], time, rtol=0, atol=1e-6))
    assert cols.size == 1
    return matrix[row, cols[0]]


def history_reads(history):
    """Every cached read of the history module, by the value the stores disagree on."""
    t = bar_datenum()
    minutes = history.get_k_data_independent_target([PUFA], "min", 1, BEGIN, BAR_DAY, False, "NA")[0]
    fives = history.get_k_data_independent_target([PUFA], "min", 5, BEGIN, BAR_DAY, True, "NA")[0]
    days = history.get_k_data_independent_target([PUFA], "day", 1, BEGIN, BAR_DAY, False, "NA")[0]
    last = history.get_k_data_n([PUFA], "min", 1, 3, BAR_DAY, False, "NA")[0]
    last_days = history.get_k_data_n([PUFA], "day", 1, 2, BAR_DAY, False, "NA")[0]
    close_row = 1 + gv.KMatrix_Close  # per-target matrices: the time row, then the seven fields
    return {
        "close": [close_at(minutes, close_row, t), close_at(fives, close_row, t), last["Close"][-1]],
        "day_close": [days[close_row, -1], last_days["Close"][-1]],
        "ticks": history.load_tick_data_from_pro("SSE", "600000", TICK_DAY, "NA")["Price"],
        "bank": sorted((r["Market"], r["Code"]) for r in history.get_code_list_set(["BANK"], BLOCK_DAY, BLOCK_DAY)),
        "name": {r["Name"] for r in history.get_target_info([PUFA] * 100)},
        "days": history.get_trading_days(0, 99999999).tolist(),
    }


def registered_reads(address):
    """Registered bars, synthesised (and cached) from the store's minute and day bars."""
    from telvar.api.regora import _regora

    runner.setup([PUFA], BEGIN, BAR_DAY, host=address)
    out = []
    for frequency, freq_num in (("min", 15), ("week", 1)):
        reg_idx = _regora.reg_k_data(frequency, freq_num)
        matrix = cnt.vr.g_TelvarKDataList[int(reg_idx[0, 0])].Matrix
        out.append(matrix[gv.KMatrixPos_Head_len + gv.KMatrix_Close, -1])
    return out


def check(reads, expected, synthesised=None):
    assert reads["close"] == pytest.approx([expected["close"]] * 3)
    assert reads["day_close"] == pytest.approx([expected["day_close"]] * 2)
    np.testing.assert_array_equal(reads["ticks"], expected["ticks"])
    assert reads["bank"] == expected["bank"]
    assert reads["name"] == {expected["name"]}
    assert reads["days"] == expected["days"]
    if synthesised is not None:
        assert synthesised == pytest.approx([expected["close"], expected["close"]])


@pytest.fixture
def cache_root(tmp_path):
    old = cnt.env.fm.root
    cnt.env.fm.set_root(tmp_path / "root")
    yield Path(cnt.env.fm.root)
    comm.disconnect()
    cnt.reset()
    cnt.env.fm.set_root(old)


@pytest.fixture(scope="module")
def two_stores(tmp_path_factory):
    folder = tmp_path_factory.mktemp("two-stores")
    sample, users = build(folder / "sample.duckdb"), build(folder / "users.duckdb")
    make_users_store(users, folder)
    return sample, users


def folders(path):
    return sorted(p.name for p in Path(path).iterdir()) if Path(path).is_dir() else []


def scope_folders(root):
    """{store folder: [version folders]} under the cache root."""
    return {name: folders(root / "caches" / name) for name in folders(root / "caches")}


def test_two_stores_read_alternately_each_answer_their_own_numbers(history, two_stores, cache_root):
    expected = [truth(s) for s in two_stores]
    assert expected[0]["close"] != expected[1]["close"] and expected[0]["name"] != expected[1]["name"]
    assert not np.array_equal(expected[0]["ticks"], expected[1]["ticks"])
    hosts = [start_host(s) for s in two_stores]
    try:
        for k in (0, 1, 0, 1):
            comm.connect(hosts[k].address)
            check(history_reads(history), expected[k])
            check(history_reads(history), expected[k])  # served from the caches now
            check(history_reads(history), expected[k], registered_reads(hosts[k].address))
        # one folder per store, each with the one version it holds
        scopes = scope_folders(cache_root)
        assert len(scopes) == 2 and all(name.startswith("store-") for name in scopes)
        for name, versions in scopes.items():
            (version,) = versions
            assert version.startswith("f%d-" % CACHE_FORMAT)
            assert "TelvarHistoryDataCache" in folders(cache_root / "caches" / name / version)
    finally:
        for h in hosts:
            h.stop()


def test_a_reimported_bar_changes_every_read_at_once(history, tmp_path, cache_root):
    store = build(tmp_path / "store.duckdb")
    before = truth(store)
    with start_host(store) as host:
        comm.connect(host.address)
        check(history_reads(history), before, registered_reads(host.address))
        scopes_before = scope_folders(cache_root)
    comm.disconnect()
    correct_bar(store, tmp_path, delta=-0.25)
    after = truth(store)
    assert after["close"] == pytest.approx(before["close"] - 0.25)
    with start_host(store) as host:
        comm.connect(host.address)
        check(history_reads(history), after, registered_reads(host.address))
    # the same store, so the same folder; the entries of the old data are gone
    scopes_after = scope_folders(cache_root)
    assert list(scopes_after) == list(scopes_before) and len(scopes_after) == 1
    (store_folder,) = scopes_after
    assert len(scopes_after[store_folder]) == 1 and scopes_after[store_folder] != scopes_before[store_folder]


def test_a_host_restarted_at_the_same_address_on_another_store(history, two_stores, tmp_path, cache_root):
    expected = [truth(s) for s in two_stores]
    workdir = tmp_path / "host"
    first = start_host(two_stores[0], workdir=workdir)
    try:
        comm.connect(first.address)
        check(history_reads(history), expected[0])
    finally:
        first.stop()
    second = start_host(two_stores[1], workdir=workdir)
    try:
        assert second.address == first.address
        # no command in between: reads served from memory and from files notice the restart
        assert history.get_trading_days(0, 99999999).tolist() == expected[1]["days"]
        check(history_reads(history), expected[1])
        assert len(folders(cache_root / "caches")) == 2
    finally:
        second.stop()


def test_the_runner_attaches_to_the_host_it_is_given(two_stores, cache_root, monkeypatch):
    expected = [truth(s)["close"] for s in two_stores]
    monkeypatch.setattr(cnt.env, "cache_enabled", False)  # every read asks the host
    hosts = [start_host(s) for s in two_stores]
    try:
        assert registered_reads(hosts[0].address) == pytest.approx([expected[0]] * 2)
        comm.connect(hosts[1].address)  # attached elsewhere behind the runner's back
        assert registered_reads(hosts[0].address) == pytest.approx([expected[0]] * 2)
        assert comm.attached_to(hosts[0].address) and not comm.attached_to(hosts[1].address)
        comm.disconnect()
        assert registered_reads(hosts[1].address) == pytest.approx([expected[1]] * 2)
    finally:
        for h in hosts:
            h.stop()
