import numpy as np
import pytest

from telvar.common.timeconv import datenum_to_minutes
from telvar.host.commands.writers import write_k_multi

pytestmark = pytest.mark.host


def test_tick_file_of_one_day(tv, mat, store_con):
    m = mat(tv.tvSendCmdGetTDPData("SSE", "600000", 20251231, "NA", no_return=False, check_permission=False))
    t = m["Time"].ravel()
    assert t.size > 1000 and np.all(np.diff(t) > 0)
    for n in range(1, 6):
        for name in ("BidPrice", "BidVolume", "AskPrice", "AskVolume"):
            assert m[f"{name}{n}"].shape == (t.size, 1)
    assert (m["BidPrice1"] < m["AskPrice1"]).all() and (m["BidPrice2"] < m["BidPrice1"]).all()
    assert np.all(np.diff(m["Volume"].ravel()) >= 0)  # cumulative over the day
    # ticks add up to the minute bars: a tick at hh:mm:ss belongs to the bar ending at the next full minute
    bars = store_con.execute("SELECT ts, volume, close FROM minute_bars WHERE code='600000' AND "
                             "trade_date=20251231 ORDER BY ts").df()
    bar_min = bars["ts"].to_numpy().astype("datetime64[m]").astype(np.int64)
    tick_bar = np.ceil(np.round((t - 719529) * 1440, 6)).astype(np.int64)
    vol = np.bincount(np.searchsorted(bar_min, tick_bar), weights=m["VolumeTick"].ravel(), minlength=len(bars))
    np.testing.assert_allclose(vol, bars["volume"].to_numpy())
    last_price = m["Price"].ravel()[np.r_[np.flatnonzero(np.diff(tick_bar)), t.size - 1]]
    np.testing.assert_allclose(last_price, bars["close"].to_numpy())


def test_days_without_ticks_and_continuous_contracts(tv, mat):
    empty = mat(tv.tvSendCmdGetTDPData("SSE", "600000", 20251010, "NA"))
    assert empty["Time"].size == 0
    main = mat(tv.tvSendCmdGetTDPData("SHFE", "RB0000", 20251231, "NA"))
    contract = mat(tv.tvSendCmdGetTDPData("SHFE", "RB2605", 20251231, "NA"))
    np.testing.assert_array_equal(main["Price"], contract["Price"])
    # the night session's ticks come first and belong to this trading day
    first = datenum_to_minutes(main["Time"].ravel()[:1]).astype("datetime64[m]")[0]
    assert str(first).startswith("2025-12-30T21:00")


def test_multi_target_tick_file(tv, mat):
    targets = [{"Market": "SSE", "Code": "600000"}, {"Market": "SZSE", "Code": "000001"}]
    m = mat(tv.tvSendCmdGetTDPDataMulti(targets, 20251230, 20251231, "NA"))
    one = mat(tv.tvSendCmdGetTDPData("SZSE", "000001", 20251231, "NA"))
    cube, tl = m["TickPriceData"], m["TimeLine"].ravel()
    fields = [str(f).strip() for f in m["TickFields"].ravel()]
    assert cube.shape == (len(fields), tl.size, 2) and fields[0] == "Price"
    pos = np.searchsorted(tl, one["Time"].ravel())
    np.testing.assert_array_equal(cube[0, pos, 1], one["Price"].ravel())
    assert m["DayPos"].ravel()[0] == 1 and (m["DayPos"] == 1).sum() == 2


def test_large_bar_matrices_are_split_into_part_files(tmp_path, mat):
    k = np.arange(7 * 5 * 40, dtype=float).reshape(35, 40)
    head = {"TimeLine": np.arange(40.0), "DayPos": np.ones(40), "TradeFreshPos": np.array([[39.0]])}
    path = write_k_multi(tmp_path, "k", head, k, 7, part_bytes=7 * 40 * 8 * 2)
    main = mat(path)
    assert "KArray" not in main
    parts = str(main["FilePaths"].ravel()[0]).split("|")
    assert len(parts) == 3
    merged = np.concatenate([mat(p)["KArray"] for p in parts], axis=0)
    np.testing.assert_array_equal(merged, k)
    small = mat(write_k_multi(tmp_path, "k", head, k, 7))
    np.testing.assert_array_equal(small["KArray"], k)


def test_split_answers_merge_to_the_whole(tv, mat, tmp_path):
    """A host with a small part size answers the same data as part files."""
    from telvar.host.commands import HostOptions
    from telvar.host.sample import sample_store_path
    from telvar.host.server import Host
    from telvar.kestrum.comm import TelvarSocket

    small = Host(sample_store_path(), tmp_path / "out", socket_path=str(tmp_path / "s.sock"),
                 options=HostOptions(part_bytes=100_000))
    small.start_in_thread()
    try:
        sock = TelvarSocket(small.address)
        targets = [{"Market": "SSE", "Code": c} for c in ("600000", "600519", "000300")]
        args = [targets, "min", 20251013, 20251017, True, "NA"]
        split = mat(sock.request("tvSendCmdGetKDataMulti", args))
        whole = mat(tv.tvSendCmdGetKDataMulti(*args))
        parts = str(split["FilePaths"].ravel()[0]).split("|")
        assert len(parts) == 3 and "KArray" not in split
        np.testing.assert_array_equal(np.concatenate([mat(p)["KArray"] for p in parts]), whole["KArray"])
        np.testing.assert_array_equal(split["TimeLine"], whole["TimeLine"])
        targs = [targets[0], {"Market": "SZSE", "Code": "000001"}]
        split = mat(sock.request("tvSendCmdGetTDPDataMulti", [targs, 20251231, 20251231, "NA"]))
        whole = mat(tv.tvSendCmdGetTDPDataMulti(targs, 20251231, 20251231, "NA"))
        parts = str(split["FilePaths"].ravel()[0]).split("|")
        assert len(parts) == 2
        np.testing.assert_array_equal(np.concatenate([mat(p)["TickPriceData"] for p in parts], axis=2),
                                      whole["TickPriceData"])
        sock.close()
    finally:
        small.shutdown()
