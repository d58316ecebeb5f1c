"""Real-bar windows over feeds without volumes: a window shows the bars that
traded by the shared rule (reference.bars.traded_mask), the bars the real-bar
bookkeeping lists, plain and adjusted alike.

The synthetic market is delivered as such feeds deliver it: the future as an
index (volume and turnover NaN throughout), the stock as an FX quote (volume
and turnover 0 throughout; its prices move where it traded and stay at the
last close where it did not, as on every night session).
"""
import numpy as np
import pytest

from reference import bars as ref
from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.sysmodel import gv

from regora_market import TARGETS, Market
from window_reference import check_window, completed_before, expected_window, forming_traded

FUTURE, STOCK = 0, 1
VOLUME = 2 + gv.KMatrix_Volume  # the window's volume column


@pytest.fixture
def market():
    m = Market()
    future, stock = m.bars
    future[:, 4:6] = np.nan
    stock[:, 4:6] = np.where(np.isnan(stock[:, 4:6]), np.nan, 0.0)  # NaN before its first trade
    m.frames = [m._frame(t) for t in range(len(TARGETS))]
    return m


@pytest.fixture
def adjusted(world, monkeypatch):
    """Adjusted registrations of targets without a main-contract history."""
    monkeypatch.setattr(world.regora, "get_main_contract", lambda targets, begin, end: {})
    return world


def item_of(reg_idx):
    return cnt.vr.g_TelvarKDataList[int(reg_idx[0, 0])]


def block_of(out, t, length):
    return out[t * length:(t + 1) * length].astype(float)


def shown_times(out, t, length):
    times = block_of(out, t, length)[:, 1]
    return times[~np.isnan(times)].tolist()


@pytest.mark.parametrize("frequency,freq_num", [("min", 15), ("min", 7), ("day", 1), ("min", 1)])
def test_real_windows_match_the_reference(world, frequency, freq_num):
    market, r = world.market, world.regora
    reg_idx = r.reg_k_data(frequency, freq_num)
    n = market.times.size
    for p in [0, 5, 19, 20, 131, 777, n - 30, n - 1]:
        for length in (1, 4):
            out = r.get_reg_k_data(reg_idx, p, length, False)
            check_window(out, expected_window(market, frequency, freq_num, p, length, False), length)


def test_real_windows_show_the_bars_the_bookkeeping_lists(adjusted):
    """Through two days (night sessions included), both windows show per
    target the newest columns UnfilledIdx lists before the forming bar, and
    the forming bar when it traded. The index shows every bar; the FX quote's
    night bars are filled bars and stay hidden, its forming bar too."""
    market, r = adjusted.market, adjusted.regora
    reg_idx = r.reg_k_data("min", 15, True)
    item = item_of(reg_idx)
    head = gv.KMatrixPos_Head_len
    time_line = item.Matrix[gv.KMatrixPos_TimeLine]
    traded = ref.traded_rows(item.Matrix[head:])
    listed = [np.asarray(item.UnfilledIdx[t]) for t in range(len(TARGETS))]
    for t in (FUTURE, STOCK):
        np.testing.assert_array_equal(listed[t], np.flatnonzero(traded[t]))
    stock = item.Matrix[head + gv.KMatrix_Bar_Len:head + 2 * gv.KMatrix_Bar_Len]
    assert (stock[gv.KMatrix_Volume][listed[STOCK]] == 0).all()  # shown for their prices alone
    hidden = np.setdiff1d(np.flatnonzero(~np.isnan(stock[gv.KMatrix_Close])), listed[STOCK])
    assert hidden.size > 0 and (stock[gv.KMatrix_Volume][hidden] == 0).all()
    assert np.isnan(item.Matrix[head + gv.KMatrix_Volume]).all()  # the index: no volume at all

    days = np.unique(market.tday)
    span = np.flatnonzero((market.tday == days[4]) | (market.tday == days[5]))
    seen = {FUTURE: set(), STOCK: set()}
    length = 5
    for p in span[::3]:
        p = int(p)
        plain = r.get_reg_k_data(reg_idx[:, :4].copy(), p, length, False)
        adj = r.get_reg_k_data_adj(reg_idx, p, length, False)
        for t in (FUTURE, STOCK):
            cur = int(item.CurrentBar[p])
            before, forming = completed_before(market, "min", 15, t, p)
            shows_forming = forming_traded(before, forming)
            seen[t].add(shows_forming)
            columns = listed[t][listed[t] < cur]
            expected = time_line[columns].tolist() + ([market.times[p]] if shows_forming else [])
            expected = expected[-length:]
            assert shown_times(plain, t, length) == expected, (t, p)
            assert shown_times(adj, t, length) == expected, (t, p)
    assert seen == {FUTURE: {True}, STOCK: {True, False}}


def forming_row_shown(r, reg_idx, p, t, length=3):
    """Whether the plain and the adjusted real-bar windows at p show target t's
    forming bar (their newest row holds the position's time); both must agree."""
    shown = []
    for out in (r.get_reg_k_data(reg_idx[:, :4].copy(), p, length, False),
                r.get_reg_k_data_adj(reg_idx, p, length, False)):
        newest = block_of(out, t, length)[-1]
        shown.append(newest[1] == cnt.vr.g_TelvarCache.dvf_tl[p])
    assert shown[0] == shown[1]
    return shown[0]


def write_forming(reg_idx, t, p, price, volume):
    """The FX quote's forming bar at p, written in place into the fresh-bar
    store: flat at `price` with `volume`."""
    row = int(reg_idx[t, 2])
    store = cnt.vr.g_TelvarDataValueFresh
    store[row:row + 4, p] = price
    store[row + gv.KMatrix_Volume, p] = volume


def test_forming_bar_follows_the_column_before_current_bar(adjusted):
    """The forming bar's previous close is the close of the registration's
    column before CurrentBar's (the completed bar of the forming one is not
    its predecessor), the nearest one with a close, and the last column when
    the forming bar lies past the matrix."""
    market, r = adjusted.market, adjusted.regora
    reg_idx = r.reg_k_data("min", 15, True)
    item = item_of(reg_idx)
    close_row = gv.KMatrixPos_Head_len + gv.KMatrix_Bar_Len + gv.KMatrix_Close  # the FX quote
    close = item.Matrix[close_row]
    days = np.unique(market.tday)
    day = np.flatnonzero((market.tday == days[6]) & ~market.night)

    def closes_differ(q):  # CurrentBar's column and the two before it
        c = int(item.CurrentBar[q])
        return len(set(close[c - 2:c + 1])) == 3

    p = next(int(q) for q in day[20:] if closes_differ(q))
    cur = int(item.CurrentBar[p])
    assert cur < item.Matrix.shape[1] and item.Matrix[gv.KMatrixPos_TimeLine, cur] > market.times[p]
    store = cnt.vr.g_TelvarDataValueFresh
    row = int(reg_idx[STOCK, 2])
    kept = store[row:row + gv.KMatrix_Bar_Len, p].copy()
    kept_close = close[cur - 1]
    try:
        write_forming(reg_idx, STOCK, p, close[cur - 1], 0.0)
        assert not forming_row_shown(r, reg_idx, p, STOCK)  # a filled bar
        write_forming(reg_idx, STOCK, p, close[cur], 0.0)
        assert forming_row_shown(r, reg_idx, p, STOCK)  # moved away from the previous close
        write_forming(reg_idx, STOCK, p, close[cur - 1], np.nan)
        assert forming_row_shown(r, reg_idx, p, STOCK)  # no volume: never a filled bar
        # without a close in the column before, the one before that is the previous close
        close[cur - 1] = np.nan
        write_forming(reg_idx, STOCK, p, close[cur - 2], 0.0)
        assert not forming_row_shown(r, reg_idx, p, STOCK)
        write_forming(reg_idx, STOCK, p, kept_close, 0.0)
        assert forming_row_shown(r, reg_idx, p, STOCK)
    finally:
        close[cur - 1] = kept_close
        store[row:row + gv.KMatrix_Bar_Len, p] = kept

    # the series ends inside a 15-minute bar: its forming bar lies past the matrix
    last = market.times.size - 1
    cols = item.Matrix.shape[1]
    assert int(item.CurrentBar[last]) == cols and close[cols - 1] != close[cols - 2]
    kept = store[row:row + gv.KMatrix_Bar_Len, last].copy()
    try:
        write_forming(reg_idx, STOCK, last, close[cols - 1], 0.0)
        assert not forming_row_shown(r, reg_idx, last, STOCK)
        write_forming(reg_idx, STOCK, last, close[cols - 1] + 1.0, 0.0)
        assert forming_row_shown(r, reg_idx, last, STOCK)
    finally:
        store[row:row + gv.KMatrix_Bar_Len, last] = kept
