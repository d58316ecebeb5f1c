"""get_reg_k_data windows against windows built from the pandas reference."""
import math

import numpy as np
import pytest

from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.sysmodel import gv

from regora_market import TARGETS, reference_bars, reference_forming, start_run
from window_reference import check_window, expected_window


@pytest.mark.parametrize("frequency,freq_num", [("min", 15), ("min", 7), ("day", 1), ("week", 1)])
@pytest.mark.parametrize("fill_up", [True, False])
def test_window_matches_reference(world, frequency, freq_num, fill_up):
    market = world.market
    reg_idx = world.regora.reg_k_data(frequency, freq_num)
    n = market.times.size
    for p in [0, 5, 19, 20, 131, 777, n - 30, n - 1]:
        for length in (1, 4):
            out = world.regora.get_reg_k_data(reg_idx, p, length, fill_up)
            check_window(out, expected_window(market, frequency, freq_num, p, length, fill_up), length)


def test_own_frequency_window_is_the_strategy_bars(world):
    market = world.market
    reg_idx = world.own_reg_idx
    out = world.regora.get_reg_k_data(reg_idx, 300, 3, True)
    np.testing.assert_allclose(out[:3, 1].astype(float), market.times[298:301])
    np.testing.assert_allclose(out[3:, 2:].astype(float), market.bars[1][298:301], equal_nan=True)


def test_nan_and_minus_one_select_the_last_position(world):
    reg_idx = world.regora.reg_k_data("min", 5)
    for fill_up in (True, False):
        a = world.regora.get_reg_k_data(reg_idx, float("nan"), 6, fill_up)
        b = world.regora.get_reg_k_data(reg_idx, -1, 6, fill_up)
        c = world.regora.get_reg_k_data(reg_idx, world.market.times.size - 1, 6, fill_up)
        np.testing.assert_array_equal(a.astype(float), b.astype(float))
        np.testing.assert_array_equal(a.astype(float), c.astype(float))


def test_target_without_real_bars_keeps_only_its_index(world):
    # the stock starts trading on the second day; the forming bar is NaN too
    reg_idx = world.regora.reg_k_data("min", 15)
    out = world.regora.get_reg_k_data(reg_idx, 10, 3, False)
    assert list(out[3:, 0]) == [1, 1, 1]
    assert all(math.isnan(v) for v in out[3:, 1:].ravel())
    filled = world.regora.get_reg_k_data(reg_idx, 10, 3, True)
    assert not math.isnan(filled[5, 1])  # the filled window still shows the (NaN) forming bar's time


def test_real_window_drops_a_forming_bar_without_volume(world):
    market = world.market
    reg_idx = world.regora.reg_k_data("min", 15)
    # the stock does not trade at night: at the first night bar its forming bar has volume 0
    p = int(np.argmax(market.night & (market.tday > market.tday[0] + 1)))
    out = world.regora.get_reg_k_data(reg_idx, p, 2, False)
    assert out[3, 1] < market.times[p] and out[3, 2 + gv.KMatrix_Volume] > 0
    filled = world.regora.get_reg_k_data(reg_idx, p, 2, True)
    assert filled[3, 1] == market.times[p] and filled[3, 2 + gv.KMatrix_Volume] == 0


def test_real_windows_bar_after_bar(world):
    """As a back-test reads them: consecutive positions, most inside one
    registered bar, across bar ends and the night start (where the stock's
    forming bar has no volume), with the window length changing on the way."""
    market = world.market
    reg_idx = world.regora.reg_k_data("min", 15)
    night = int(np.argmax(market.night & (market.tday > market.tday[0] + 1)))
    for p in range(night - 20, night + 20):
        for length in (3, 4, 3):
            out = world.regora.get_reg_k_data(reg_idx, p, length, False)
            check_window(out, expected_window(market, "min", 15, p, length, False), length)


def test_real_windows_through_a_day_session(world):
    """Through a whole day session the targets' real bars mostly lie in the
    same columns, each target showing as many of them as its forming bar
    leaves room for: at some positions one target's forming bar has traded
    and the other's not."""
    market = world.market
    reg_idx = world.regora.reg_k_data("min", 15)
    _, keys = reference_bars(market, "min", 15)
    day = market.tday == np.unique(market.tday)[3]
    session = np.flatnonzero(day & ~market.night)
    forming_shown = set()
    for p in session:
        blocks = expected_window(market, "min", 15, int(p), 3, False)
        check_window(world.regora.get_reg_k_data(reg_idx, int(p), 3, False), blocks, 3)
        forming_shown.add(tuple(reference_forming(market, keys, t, int(p))["volume"] > 0
                                for t in range(len(TARGETS))))
    assert len(forming_shown) > 1  # the forming bars did differ on the way


def test_argument_errors(world):
    r = world.regora
    reg_idx = r.reg_k_data("min", 5)
    with pytest.raises(TypeError, match=r"get_reg_k_data\(\) takes exactly 4 positional arguments \(3 given\)"):
        r.get_reg_k_data(reg_idx, 1, 2)
    with pytest.raises(TypeError, match="unexpected keyword"):
        r.get_reg_k_data(reg_idx, 1, 2, True, extra=1)
    with pytest.raises(IndexError):
        r.get_reg_k_data(reg_idx, world.market.times.size, 2, True)
    with pytest.raises(TypeError):
        r.get_reg_k_data(reg_idx, "last", 2, True)
    with pytest.raises(ValueError):
        r.get_reg_k_data(reg_idx, 1, -1, True)
    bad = reg_idx.copy()
    bad[0, 0] = np.nan
    with pytest.raises(ValueError):
        r.get_reg_k_data(bad, 1, 2, True)
    bad = reg_idx.copy()
    bad[1, 3] = 57
    with pytest.raises(IndexError):
        r.get_reg_k_data(bad, 1, 2, False)
    for fresh_row, error in ((-7, IndexError), (1e9, IndexError), (2.5, ValueError), (np.inf, ValueError)):
        bad = reg_idx.copy()
        bad[1, 2] = fresh_row
        for fill_up in (True, False):
            with pytest.raises(error):
                r.get_reg_k_data(bad, 300, 2, fill_up)
    assert r.get_reg_k_data(reg_idx, 1, 0, True).shape == (0, 9)
    out = r.get_reg_k_data(reg_idx, 1, 2, True)
    by_keyword = r.get_reg_k_data(reg_idx=reg_idx, bar_pos=1, length=2, fill_up=True)
    np.testing.assert_array_equal(by_keyword.astype(float), out.astype(float))


def test_windows_show_new_data_after_a_new_run_or_a_replaced_matrix(world):
    """Windows share float objects between calls; they must never show stale data."""
    market, r = world.market, world.regora
    reg_idx = r.reg_k_data("min", 15)
    before = r.get_reg_k_data(reg_idx, 900, 5, True)[:, 2:].astype(float)
    real_before = r.get_reg_k_data(reg_idx, 900, 5, False)[:, 2:].astype(float)
    for bars in market.bars:
        bars *= 2.0
    cnt.env.cache_enabled = False
    try:
        start_run(market)
        r.reg_k_data("min", 1)
        reg_idx = r.reg_k_data("min", 15)
        np.testing.assert_allclose(r.get_reg_k_data(reg_idx, 900, 5, True)[:, 2:].astype(float), before * 2)
        np.testing.assert_allclose(r.get_reg_k_data(reg_idx, 900, 5, False)[:, 2:].astype(float),
                                   real_before * 2)
        item = cnt.vr.g_TelvarKDataList[int(reg_idx[0, 0])]
        item.Matrix = item.Matrix + 1.0
        after = r.get_reg_k_data(reg_idx, 900, 5, True)[:, 2:].astype(float)
        completed = [0, 1, 2, 3, 5, 6, 7, 8]  # the forming bars (rows 4, 9) come from the store
        np.testing.assert_allclose(after[completed], before[completed] * 2 + 1)
    finally:
        cnt.env.cache_enabled = True


def mixed_index(r, sizes):
    """Both targets of one item per size, then the same rows again in reverse order."""
    rows = np.concatenate([r.reg_k_data("min", n) for n in sizes])
    return np.concatenate([rows, rows[::-1]])


def rows_alone(r, reg_idx, pos, length):
    return np.concatenate([r.get_reg_k_data(reg_idx[i:i + 1], pos, length, False)
                           for i in range(len(reg_idx))])


def test_index_over_more_items_than_the_window_caches_hold(world):
    """Rows naming twenty items (the caches keep sixteen), each named again after
    the others: every block equals the window of its row alone."""
    r = world.regora
    mixed = mixed_index(r, range(2, 22))
    for pos in (700, 1500, world.market.times.size - 1):
        out = r.get_reg_k_data(mixed, pos, 3, False)
        np.testing.assert_array_equal(out.astype(float), rows_alone(r, mixed, pos, 3).astype(float))


def test_window_read_while_another_window_is_being_built(world, monkeypatch):
    """Python code a window calls (the time-line cache) may read another window
    over many items; the outer window's items must survive it."""
    r = world.regora
    outer = mixed_index(r, [23, 24])
    inner = mixed_index(r, range(2, 22))
    expected = rows_alone(r, outer, 1500, 4).astype(float)
    time_lines = cnt.vr.g_TelvarCache.get_history_k_data_time_line_cache
    inner_calls = []

    def time_line_reading_another_window(pos):
        if pos in outer[:, 0]:  # the inner window's own look-ups read plainly
            inner_calls.append(r.get_reg_k_data(inner, 1400, 2, False))
        return time_lines(pos)

    monkeypatch.setattr(cnt.vr.g_TelvarCache, "get_history_k_data_time_line_cache",
                        time_line_reading_another_window)
    out = r.get_reg_k_data(outer, 1500, 4, False)
    assert len(inner_calls) == 2  # once per outer item
    np.testing.assert_array_equal(out.astype(float), expected)


def test_forming_values_kept_by_the_caller_stay_as_they_were(world):
    """Forming-bar floats are reused from one position to the next; one the
    caller still holds must keep its value while later windows move on."""
    market = world.market
    reg_idx = world.regora.reg_k_data("min", 15)
    start = market.times.size // 2
    kept = []
    for p in range(start, start + 30):
        window = world.regora.get_reg_k_data(reg_idx, p, 3, p % 2 == 0)
        kept.append((window[2, 2:].copy(), window[2, 2:].astype(float)))
        del window  # the kept cells hold the only references besides the module's
    for cells, values in kept:
        np.testing.assert_array_equal(cells.astype(float), values)
    moved = [p for p in range(start, start + 30) if not np.array_equal(
        expected_window(market, "min", 15, p, 3, True)[0][-1],
        expected_window(market, "min", 15, p + 1, 3, True)[0][-1])]
    assert moved  # the forming bar did change on the way


def test_windows_hold_exactly_one_reference_per_cell(world):
    """Cells share float objects (bar times across targets, equal prices, NaN);
    releasing the windows must give every shared float back exactly the
    references the windows took, in both modes and with rows left empty.
    A first window at each position makes whatever the caches keep for it,
    so that the counts measured after it move only with the windows.
    Column 0 holds the targets' indices, small ints: their counts are checked
    around one window each, where nothing else moves them (and only where the
    interpreter counts them at all)."""
    import gc
    import sys

    r = world.regora
    reg_idx = r.reg_k_data("min", 15)
    n = world.market.times.size
    for p in (10, 900, n - 1):
        for fill in (True, False):
            probe = r.get_reg_k_data(reg_idx, p, 40, fill)
            shared = {id(x): x for x in probe[:, 1:].ravel()}
            del probe
            gc.collect()
            before = {key: sys.getrefcount(x) for key, x in shared.items()}
            windows = [r.get_reg_k_data(reg_idx, p, 40, fill) for _ in range(3)]
            cells = sum(w[:, 1:].size for w in windows)
            held = sum(sys.getrefcount(x) - before[key] for key, x in shared.items())
            extra = sum(1 for w in windows for x in w[:, 1:].ravel() if id(x) not in shared)
            assert held + extra == cells  # one reference per cell
            del windows
            gc.collect()
            assert {key: sys.getrefcount(x) for key, x in shared.items()} == before

            targets = [int(t) for t in reg_idx[:, 3]]
            if sys.getrefcount(targets[0]) > 2**30:
                continue  # immortal
            index_refs = [sys.getrefcount(t) for t in targets]
            window = r.get_reg_k_data(reg_idx, p, 40, fill)
            with_window = [sys.getrefcount(t) for t in targets]
            added = [a - b for a, b in zip(with_window, index_refs)]
            assert added == [int((window[:, 0] == t).sum()) for t in targets] == [40] * len(targets)
            del window
            assert [sys.getrefcount(t) for t in targets] == index_refs


def test_real_window_follows_replaced_bookkeeping(world):
    """The real-bar bookkeeping is kept between calls; a target whose arrays
    were replaced in the item's lists is read again."""
    r = world.regora
    reg_idx = r.reg_k_data("min", 15)
    item = cnt.vr.g_TelvarKDataList[int(reg_idx[0, 0])]
    pos = world.market.times.size - 1
    before = r.get_reg_k_data(reg_idx, pos, 30, False).astype(float)
    original = item.UnfilledIdx[0]
    # every real bar's column moved 25 columns on: the window's first bar
    # starts later, so fewer bars fit before the newest one
    item.UnfilledIdx[0] = np.minimum(np.asarray(original) + 25, np.asarray(original)[-1])
    moved = r.get_reg_k_data(reg_idx, pos, 30, False).astype(float)
    assert np.isnan(moved[:30, 1]).sum() > np.isnan(before[:30, 1]).sum()
    np.testing.assert_array_equal(moved[30:], before[30:])
    item.UnfilledIdx[0] = original
    np.testing.assert_array_equal(r.get_reg_k_data(reg_idx, pos, 30, False).astype(float), before)


def window_over_a_copy(r, item, reg_idx, pos, length, fill_up):
    """The window read while the item holds a fresh copy of its matrix: no
    float of an earlier read can stand in for its cells."""
    matrix = item.Matrix
    item.Matrix = matrix.copy()
    try:
        return r.get_reg_k_data(reg_idx, pos, length, fill_up).astype(float)
    finally:
        item.Matrix = matrix


@pytest.mark.parametrize("fill_up", [True, False])
def test_cells_written_in_place_show_at_the_next_read(world, fill_up):
    """A strategy or a notebook may write a registered bar in place: the next
    window shows the cell as it is now (also when it turns NaN and back), a
    bar time written in the time line, and a forming bar written in the
    fresh-bar store."""
    r = world.regora
    reg_idx = r.reg_k_data("min", 15)
    item = cnt.vr.g_TelvarKDataList[int(reg_idx[0, 0])]
    time_line = cnt.vr.g_TelvarCache.get_history_k_data_time_line_cache(int(reg_idx[0, 0]))
    pos, length = 900, 5
    shown = r.get_reg_k_data(reg_idx, pos, length, fill_up).astype(float)
    completed = length - 2  # target 0's second-newest row is a completed bar
    col = int(np.searchsorted(time_line, shown[completed, 1]))
    assert time_line[col] == shown[completed, 1]
    close = gv.KMatrixPos_Head_len + gv.KMatrix_Close  # target 0's close row
    original = item.Matrix[close, col]
    for value in (77.5, np.nan, -0.0, original):
        item.Matrix[close, col] = value
        out = r.get_reg_k_data(reg_idx, pos, length, fill_up).astype(float)
        cell = out[completed, 2 + gv.KMatrix_Close]
        assert (np.isnan(cell) and np.isnan(value)) or (cell == value and
                                                        np.signbit(cell) == np.signbit(value))
        np.testing.assert_array_equal(out, window_over_a_copy(r, item, reg_idx, pos, length, fill_up))
    np.testing.assert_array_equal(out, shown)

    stamp = time_line[col]
    time_line[col] = stamp + 1e-6
    try:
        assert r.get_reg_k_data(reg_idx, pos, length, fill_up)[completed, 1] == stamp + 1e-6
    finally:
        time_line[col] = stamp

    forming_close = int(reg_idx[0, 2]) + gv.KMatrix_Close
    store = cnt.vr.g_TelvarDataValueFresh
    before = store[forming_close, pos]
    store[forming_close, pos] = 999.5
    out = r.get_reg_k_data(reg_idx, pos, length, True)
    store[forming_close, pos] = before
    assert out[length - 1, 2 + gv.KMatrix_Close] == 999.5


def test_real_window_follows_bars_written_in_place(world):
    """Which bars a real-bar window shows follows the bars as they are now: a
    shown bar whose volume is cleared stays while its prices moved (data
    without volumes) and leaves once it is also flat at the previous close (a
    filled bar); an untraded one (the stock's night bars) given a volume
    enters it."""
    r = world.regora
    reg_idx = r.reg_k_data("min", 15)
    item = cnt.vr.g_TelvarKDataList[int(reg_idx[0, 0])]
    time_line = cnt.vr.g_TelvarCache.get_history_k_data_time_line_cache(int(reg_idx[0, 0]))
    block = gv.KMatrixPos_Head_len + gv.KMatrix_Bar_Len  # target 1, the stock
    volume, prices = block + gv.KMatrix_Volume, slice(block, block + 4)
    market = world.market
    day_start = np.flatnonzero(~market.night[1:] & market.night[:-1]) + 1
    pos, length = int(day_start[3]) + 2, 6  # just after a night session the stock did not trade
    stock_rows = slice(length, 2 * length)
    shown = r.get_reg_k_data(reg_idx, pos, length, False).astype(float)
    col = int(np.searchsorted(time_line, shown[2 * length - 3, 1]))
    kept = item.Matrix[:, col].copy()
    assert len(set(kept[prices])) > 1  # its prices moved
    item.Matrix[volume, col] = 0.0
    try:
        out = r.get_reg_k_data(reg_idx, pos, length, False).astype(float)
        np.testing.assert_array_equal(out[:, 1], shown[:, 1])
        assert out[2 * length - 3, 2 + gv.KMatrix_Volume] == 0.0
        item.Matrix[prices, col] = item.Matrix[block + gv.KMatrix_Close, col - 1]
        out = r.get_reg_k_data(reg_idx, pos, length, False).astype(float)
        assert time_line[col] not in out[stock_rows, 1]
        np.testing.assert_array_equal(out, window_over_a_copy(r, item, reg_idx, pos, length, False))
    finally:
        item.Matrix[:, col] = kept
    np.testing.assert_array_equal(r.get_reg_k_data(reg_idx, pos, length, False).astype(float), shown)

    untraded = np.flatnonzero(item.Matrix[volume, :int(item.CurrentBar[pos])] == 0)
    gap = int(untraded[-1])  # the stock's newest bar without a trade
    assert time_line[gap] not in shown[stock_rows, 1]
    item.Matrix[volume, gap] = 5.0
    try:
        out = r.get_reg_k_data(reg_idx, pos, length, False).astype(float)
        assert time_line[gap] in out[stock_rows, 1]
        np.testing.assert_array_equal(out, window_over_a_copy(r, item, reg_idx, pos, length, False))
    finally:
        item.Matrix[volume, gap] = 0.0


def test_real_window_follows_bookkeeping_written_in_place(world):
    r = world.regora
    reg_idx = r.reg_k_data("min", 15)
    item = cnt.vr.g_TelvarKDataList[int(reg_idx[0, 0])]
    pos = world.market.times.size - 1
    before = r.get_reg_k_data(reg_idx, pos, 30, False).astype(float)
    columns = item.UnfilledIdx[0]
    original = columns.copy()
    columns[:] = np.minimum(original + 25, original[-1])
    moved = r.get_reg_k_data(reg_idx, pos, 30, False).astype(float)
    columns[:] = original
    assert np.isnan(moved[:30, 1]).sum() > np.isnan(before[:30, 1]).sum()
    np.testing.assert_array_equal(moved[30:], before[30:])
    np.testing.assert_array_equal(r.get_reg_k_data(reg_idx, pos, 30, False).astype(float), before)
