"""Price-adjusted K-data on the synthetic market, against the pandas reference.

The future (target 0) is served by contracts A, B and A again (a contract that
comes back starts a new stretch); the stock (target 1) has no main-contract
history and keeps raw prices.
"""
import numpy as np
import pandas as pd
import pytest

from reference import bars as ref
from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.sysmodel import gv

from adjusted_reference import PRICES, aggregate_prices, back_adjusted
from regora_market import FIELDS, registry_sizes

ROLL_PATTERN = [("A", 5), ("B", 6), ("A", 9)]


def main_history(market):
    days = list(np.unique(market.tday))
    codes = [code for code, count in ROLL_PATTERN for _ in range(count)]
    assert len(codes) == len(days)
    return days, codes


@pytest.fixture
def adj(world, monkeypatch):
    days, codes = main_history(world.market)
    calls = []

    def get_main_contract(targets, begin_date, end_date):
        calls.append((targets, begin_date, end_date))
        if targets[0]["Code"] != "RB0000":
            return {}
        keep = [(d, c) for d, c in zip(days, codes) if begin_date <= d <= end_date]
        return {"SHFE.RB0000": ([d for d, _ in keep], [c for _, c in keep])}

    monkeypatch.setattr(world.regora, "get_main_contract", get_main_contract)
    world.main_days, world.main_codes, world.main_calls = days, codes, calls
    return world


def adjusted_minutes(w, target=0):
    raw = w.market.frame(target)
    if target == 0:
        return back_adjusted(raw, w.market.tday, w.main_days, w.main_codes)[0]
    return raw[PRICES + ["traded"]]


def price_rows(matrix, t):
    return matrix[t * gv.Adj_KMatrix_Bar_Len:(t + 1) * gv.Adj_KMatrix_Bar_Len]


def test_stretches_and_minute_boundaries_at_trading_day_starts(adj):
    r, m = adj.regora, adj.market
    date_tl = np.floor(m.times)
    points = r.find_exchange_day(date_tl, m.day_pos.astype(float), {"Market": "SHFE", "Code": "RB0000"},
                                 int(m.tday[0]), int(m.tday[-1]))
    days = np.unique(m.tday)
    # A, B, A: three stretches; each boundary is the first bar (the night
    # session) of the first trading day of the new contract.
    first_b, first_a2 = days[5], days[11]
    expected = [0, int(np.argmax(m.tday == first_b)), int(np.argmax(m.tday == first_b)),
                int(np.argmax(m.tday == first_a2)), int(np.argmax(m.tday == first_a2)), m.times.size]
    assert points.tolist() == expected
    assert all(m.day_pos[p] == 1 for p in expected[1:-1])
    assert m.night[expected[1]] and m.night[expected[3]]

    # Daily bars: every bar starts a day, boundaries are the date search's.
    stamps = m.frame(0).groupby("tday")["time"].last().to_numpy()
    daily = r.find_exchange_day(np.floor(stamps), np.ones(stamps.size), {"Market": "SHFE", "Code": "RB0000"},
                                int(days[0]), int(days[-1]))
    assert daily.tolist() == [0, 5, 5, 11, 11, 20]

    empty = r.find_exchange_day(date_tl, m.day_pos, {"Market": "SSE", "Code": "600000"}, 1, 2)
    assert empty.size == 0 and empty.dtype == np.float64


def test_boundary_on_a_day_start_is_kept(adj, monkeypatch):
    """Day-session-only bars: the first bar after the old contract's last day is a day start."""
    r = adj.regora
    day_numbers = np.repeat(np.arange(739900.0, 739904.0), 3)     # four days of three bars
    day_pos = np.tile([1.0, 2.0, 3.0], 4)
    monkeypatch.setattr(r, "int_date_to_ordinal", lambda d: 739900.0 + (d - 20250101))
    monkeypatch.setattr(r, "get_main_contract",
                        lambda *a: {"X": ([20250101, 20250102, 20250103, 20250104], ["P", "P", "Q", "Q"])})
    points = r.find_exchange_day(day_numbers, day_pos, "X", 20250101, 20250104)
    assert points.tolist() == [0, 6, 6, 12]


@pytest.mark.parametrize("history, message", [
    (([20250101],), r"^not enough values to unpack \(expected 2, got 1\)$"),
    ((), r"^not enough values to unpack \(expected 2, got 0\)$"),
    (([20250101], ["P"], ["Q"]), r"^too many values to unpack \(expected 2\)$"),
])
def test_main_contract_history_that_is_not_a_pair(adj, monkeypatch, history, message):
    """The (dates, codes) pair of the main-contract history unpacks with the interpreter's words."""
    r = adj.regora
    monkeypatch.setattr(r, "get_main_contract", lambda *a: {"X": history})
    with pytest.raises(ValueError, match=message):
        r.find_exchange_day(np.ones(3), np.ones(3), "X", 20250101, 20250104)
    monkeypatch.setattr(r, "get_main_contract", lambda *a: {"X": 7})
    with pytest.raises(TypeError, match=r"^cannot unpack non-iterable int object$"):
        r.find_exchange_day(np.ones(3), np.ones(3), "X", 20250101, 20250104)


def test_adjusted_minute_base_equals_the_back_adjusted_series(adj):
    r = adj.regora
    pos = r.calc_1_freq_matrix_adj(gv.KFreq_Min)
    item = cnt.vr.g_TelvarKDataList_Adj[pos]
    assert (item.KFrequency, item.KFreqNum, item.LastSynTimeLinePos) == ("min", 1, adj.market.times.size)
    for t in (0, 1):
        np.testing.assert_allclose(price_rows(item.Matrix, t), adjusted_minutes(adj, t)[PRICES].to_numpy().T,
                                   rtol=1e-12, equal_nan=True)

    # Every new contract's first adjusted open continues the previous last close.
    m = adj.market
    boundaries = r.find_exchange_day(np.floor(m.times), m.day_pos, {"Market": "SHFE", "Code": "RB0000"},
                                     int(m.tday[0]), int(m.tday[-1]))
    close = price_rows(item.Matrix, 0)[gv.Adj_KMatrix_Close]
    open_ = price_rows(item.Matrix, 0)[gv.Adj_KMatrix_Open]
    for b in boundaries[2:-1:2]:
        raw_close = m.bars[0][b - 1, 3]
        raw_open = m.bars[0][b, 0]
        assert raw_close != raw_open              # the raw series jumps
        assert open_[b] == pytest.approx(close[b - 1], rel=1e-12)

    # Factor record: [end of the last stretch, c0 * c1, o1 * o2]; raw target [-1, 1, 1].
    c = [m.bars[0][boundaries[k] - 1, 3] for k in (1, 3)]
    o = [m.bars[0][boundaries[k], 0] for k in (2, 4)]
    record = item.AdjCalcPos
    assert set(record) == {"SHFE.RB0000", "SSE.600000"}
    assert record["SHFE.RB0000"] == [m.times.size, pytest.approx(c[0] * c[1]), pytest.approx(o[0] * o[1])]
    assert record["SSE.600000"] == [-1, 1, 1]

    # The last stretch is scaled by multiplying with the cumulative divisor
    # first, then dividing by the dividend: bit for bit.
    last = slice(boundaries[-2], None)
    raw_rows = [gv.bar_item_pos(f, 0) for f in (gv.KMatrix_Open, gv.KMatrix_High, gv.KMatrix_Low, gv.KMatrix_Close)]
    raw = cnt.vr.g_TelvarKDataList[0].Matrix[raw_rows][:, last]
    _, divisor, dividend = record["SHFE.RB0000"]
    np.testing.assert_array_equal(price_rows(item.Matrix, 0)[:, last], raw * divisor / dividend)

    assert r.calc_1_freq_matrix_adj(gv.KFreq_Min) == pos
    assert len(cnt.vr.g_TelvarKDataList_Adj) == 1


def test_adjusted_daily_bars_from_the_daily_base(adj):
    r, m = adj.regora, adj.market
    reg_idx = r.reg_k_data("day", 1, True)
    item = cnt.vr.g_TelvarKDataList_Adj[int(reg_idx[0, 4])]
    plain = cnt.vr.g_TelvarKDataList[int(reg_idx[0, 0])]
    assert item.Matrix.shape == (2 * gv.Adj_KMatrix_Bar_Len, plain.Matrix.shape[1])
    stamps, day_bars = m.day_bars()
    days = np.unique(m.tday)
    raw = pd.DataFrame(day_bars[0][:, :4], columns=PRICES)
    expected, _ = back_adjusted(raw, days, adj.main_days, adj.main_codes)
    np.testing.assert_allclose(price_rows(item.Matrix, 0), expected.to_numpy().T, rtol=1e-12)
    np.testing.assert_allclose(price_rows(item.Matrix, 1), day_bars[1][:, :4].T, equal_nan=True)
    assert item.AdjCalcPos["SHFE.RB0000"][0] == days.size


def test_main_contract_is_asked_per_target_over_the_bar_dates(adj):
    adj.regora.calc_1_freq_matrix_adj(gv.KFreq_Min)
    m = adj.market
    first_day = int(pd.Timestamp.fromordinal(int(np.floor(m.times[0])) - 366).strftime("%Y%m%d"))
    assert [c[0] for c in adj.main_calls] == [[t] for t in cnt.vr.g_TelvarInputInfo.TargetList]
    assert {c[1:] for c in adj.main_calls} == {(first_day, int(m.tday[-1]))}


@pytest.mark.parametrize("frequency,freq_num", [("min", 15), ("min", 7), ("day", 2), ("week", 1)])
def test_adjusted_bars_combine_the_adjusted_base(adj, frequency, freq_num):
    """Completed adjusted bars are the pandas aggregation of the adjusted base bars."""
    r, m = adj.regora, adj.market
    reg_idx = r.reg_k_data(frequency, freq_num, True)
    plain = cnt.vr.g_TelvarKDataList[int(reg_idx[0, 0])]
    item = cnt.vr.g_TelvarKDataList_Adj[int(reg_idx[0, 4])]
    assert (item.KFrequency, item.KFreqNum) == (frequency, freq_num)
    assert item.Matrix.shape == (2 * gv.Adj_KMatrix_Bar_Len, plain.Matrix.shape[1])
    if frequency == "min":
        keys = m.tday * 1000 + (m.day_pos - 1) // freq_num
        base = {t: adjusted_minutes(adj, t) for t in (0, 1)}
        base_times = m.times
    else:
        stamps, day_bars = m.day_bars()
        days = np.unique(m.tday)
        base_times = stamps
        raw = [pd.DataFrame(b[:, :4], columns=PRICES).assign(traded=ref.traded_mask(pd.DataFrame(b, columns=FIELDS)))
               for b in day_bars]
        base = {0: back_adjusted(raw[0], days, adj.main_days, adj.main_codes)[0], 1: raw[1]}
        if frequency == "day":
            keys = np.arange(days.size) // freq_num
        else:
            keys = pd.to_datetime(pd.Series(days).astype(str)).dt.to_period("W").astype(str).to_numpy()
    times = pd.Series(base_times).groupby(np.asarray(keys), sort=False).last().to_numpy()
    completed = np.isin(times, plain.Matrix[gv.KMatrixPos_TimeLine])
    assert completed.sum() == plain.Matrix.shape[1]
    for t in (0, 1):
        expected = aggregate_prices(base[t], keys)[completed]
        np.testing.assert_allclose(price_rows(item.Matrix, t), expected.to_numpy().T, rtol=1e-12,
                                   equal_nan=True)


def test_adjusted_forming_bars(adj):
    r, m = adj.regora, adj.market
    reg_idx = r.reg_k_data("min", 15, True)
    store = cnt.vr.g_TelvarDataValueFresh_Adj
    assert store.shape == (2 * gv.Adj_KMatrix_Bar_Len, cnt.vr.g_TelvarDataValueFresh.shape[1])
    assert store.flags.c_contiguous          # windows read it in place
    assert reg_idx[:, 6].tolist() == [0, gv.Adj_KMatrix_Bar_Len]
    keys = m.tday * 1000 + (m.day_pos - 1) // 15
    for t in (0, 1):
        base = adjusted_minutes(adj, t)
        for p in list(range(0, m.times.size, 89)) + [m.times.size - 1]:
            same = keys[:p + 1] == keys[p]
            expected = aggregate_prices(base.iloc[:p + 1][same], np.zeros(same.sum())).iloc[0]
            row = int(reg_idx[t, 6])
            np.testing.assert_allclose(store[row:row + gv.Adj_KMatrix_Bar_Len, p], expected.to_numpy(),
                                       rtol=1e-12, equal_nan=True, err_msg="target %d position %d" % (t, p))


def test_adjusted_store_grows_in_place(adj):
    """The first adjusted block keeps room below it: the next registration's
    rows are written there, and the array taken before still shows its rows."""
    r = adj.regora
    r.reg_k_data("min", 15, True)
    first = cnt.vr.g_TelvarDataValueFresh_Adj
    kept = first.copy()
    r.reg_k_data("min", 5, True)
    second = cnt.vr.g_TelvarDataValueFresh_Adj
    assert second.shape == (2 * first.shape[0], first.shape[1]) and second.flags.c_contiguous
    assert np.shares_memory(first, second)
    np.testing.assert_array_equal(second[:first.shape[0]], kept)
    np.testing.assert_array_equal(first, kept)


def test_registration_bookkeeping(adj):
    r = adj.regora
    vr = cnt.vr
    own = r.reg_k_data("min", 1, True)
    assert np.isnan(own[:, 6]).all() and np.isnan(own[:, 2]).all()
    assert np.asarray(vr.g_TelvarDataValueFresh_Adj).ndim == 1       # no rows for the own frequency
    own_item = vr.g_TelvarRegKDataInfo_Adj.get_item(gv.KFreq_Min, 1)
    assert own_item.RowBegin == -1 and own_item.RegIdx is own

    first = r.reg_k_data("min", 15, True)
    second = r.reg_k_data("day", 1, np.bool_(True))           # numpy's True counts as True
    assert second.shape == (2, 7)
    items = [vr.g_TelvarRegKDataInfo_Adj.get_item(f, n) for f, n in ((gv.KFreq_Min, 15), (gv.KFreq_Day, 1))]
    assert items[0].RowBegin == 0 and items[1].RowBegin == items[0].RowEnd == 8
    assert items[1].RegIdx is second and vr.g_TelvarRegKDataInfo.get_item(gv.KFreq_Day, 1).RegIdx is second
    assert items[0].LastSynBaseTimeLinePos == vr.g_TelvarRegKDataInfo.get_item(gv.KFreq_Min, 15).BeginPos[-1]

    before = registry_sizes()
    again = r.reg_k_data("min", 15, True)
    np.testing.assert_array_equal(again, first)
    assert registry_sizes() == before and vr.g_TelvarDataValueFresh_Adj.shape == (16, adj.market.times.size)
    assert r.synthetic_matrix_adj(gv.KFreq_Min, 15) == int(first[0, 4])
    assert r.synthetic_fresh_matrix_adj(gv.KFreq_Min, 15) == 1

    # Anything but a bool is refused before any work: no plain data in place of adjusted.
    for bad in (1, "yes", np.array([True])):
        with pytest.raises(TypeError, match="adjust"):
            r.reg_k_data("min", 30, bad)
    assert registry_sizes() == before


def test_adjusted_registration_id_finds_the_stored_index(adj):
    r = adj.regora
    reg_idx = r.reg_k_data("min", 15, True)
    rows = r.get_reg_idx(15 * 100 + gv.KFreq_Min * 10 + 1, np.array([1, 0]))
    np.testing.assert_array_equal(rows, reg_idx[[1, 0]])
    assert r.get_reg_idx(30 * 100 + gv.KFreq_Min * 10 + 1, np.array([0])) is None


def test_registration_after_its_items_were_built_as_a_by_product(adj):
    """Week bars build the adjusted daily base; registering days later still gets forming bars."""
    r = adj.regora
    r.reg_k_data("week", 1, True)
    assert cnt.vr.g_TelvarKDataList_Adj.find_pos(gv.KFreq_Day, 1) > -1
    day = r.reg_k_data("day", 1, True)
    assert not np.isnan(day[:, 6]).any() and not np.isnan(day[:, 2]).any()


def test_plain_registration_then_adjusted(adj):
    r = adj.regora
    plain = r.reg_k_data("min", 5)
    sizes = registry_sizes()
    adjusted = r.reg_k_data("min", 5, True)
    np.testing.assert_array_equal(adjusted[:, :4], plain)
    after = registry_sizes()
    assert after[:3] == sizes[:3]          # the plain items and rows are reused
    assert after[3] == sizes[3] + 2 and after[4] == sizes[4] + 1


def window_pair(r, reg_idx, pos, length, fill_up):
    return (r.get_reg_k_data_adj(reg_idx, pos, length, fill_up),
            r.get_reg_k_data(reg_idx[:, :4].copy(), pos, length, fill_up))


@pytest.mark.parametrize("fill_up", [True, False])
@pytest.mark.parametrize("frequency,freq_num", [("min", 15), ("day", 1), ("min", 1)])
def test_window_prices_adjusted_other_fields_raw(adj, fill_up, frequency, freq_num):
    r, m = adj.regora, adj.market
    reg_idx = r.reg_k_data(frequency, freq_num, True)
    plain_item = cnt.vr.g_TelvarKDataList[int(reg_idx[0, 0])]
    adj_item = cnt.vr.g_TelvarKDataList_Adj[int(reg_idx[0, 4])]
    plain_tl = plain_item.Matrix[gv.KMatrixPos_TimeLine]
    length = 6
    for pos in [0, 37, 800, 1500, m.times.size - 2, np.nan, -1]:
        w_adj, w_plain = window_pair(r, reg_idx, pos, length, fill_up)
        assert w_adj.shape == w_plain.shape == (2 * length, 9) and w_adj.dtype == object
        a, p = w_adj.astype(float), w_plain.astype(float)
        np.testing.assert_array_equal(a[:, [0, 1, 6, 7, 8]], p[:, [0, 1, 6, 7, 8]])
        # The stock has no main-contract history: its prices are the raw ones.
        np.testing.assert_array_equal(a[length:, 2:6], p[length:, 2:6])
        bar_pos = m.times.size - 1 if (isinstance(pos, float) or pos < 0) else pos
        for k in range(length):
            if np.isnan(a[k, 1]):
                assert np.isnan(a[k, 2:]).all()
                continue
            forming = not np.isnan(reg_idx[0, 6]) and k == length - 1 and a[k, 1] == m.times[bar_pos]
            if forming:
                row = int(reg_idx[0, 6])
                expected = cnt.vr.g_TelvarDataValueFresh_Adj[row:row + 4, bar_pos]
            else:
                col = np.searchsorted(plain_tl, a[k, 1])
                assert plain_tl[col] == a[k, 1]
                expected = price_rows(adj_item.Matrix, 0)[:, col]
            np.testing.assert_array_equal(a[k, 2:6], expected)
    np.testing.assert_array_equal(*[w.astype(float) for w in (r.get_reg_k_data_adj(reg_idx, np.nan, 3, fill_up),
                                                            r.get_reg_k_data_adj(reg_idx, -1, 3, fill_up))])


def test_window_without_adjusted_forming_rows_shows_the_matrix_bar(adj):
    r = adj.regora
    reg_idx = r.reg_k_data("min", 15, True)
    no_forming = reg_idx.copy()
    no_forming[:, 6] = np.nan
    pos = 1000
    w = r.get_reg_k_data_adj(no_forming, pos, 4, True).astype(float)
    item = cnt.vr.g_TelvarKDataList[int(reg_idx[0, 0])]
    cur = min(item.Matrix.shape[1] - 1, int(item.CurrentBar[pos]))
    assert w[3, 1] == item.Matrix[gv.KMatrixPos_TimeLine, cur]


def test_errors_keep_their_messages(adj):
    r = adj.regora
    with pytest.raises(ValueError, match="^frequency_i input error$"):
        r.calc_1_freq_matrix_adj(gv.KFreq_Tick)
    with pytest.raises(ValueError, match="^frequency_i input error$"):
        r.calc_1_freq_matrix_adj(gv.KFreq_Week)
    with pytest.raises(AssertionError, match="^Not exist frequency=`1day` k data$"):
        r.calc_1_freq_matrix_adj(gv.KFreq_Day)
    with pytest.raises(NotImplementedError, match="^暂时不支持 tick 调价$"):
        r.synthetic_matrix_adj(gv.KFreq_Tick, 1)
    with pytest.raises(AssertionError, match="^不存在`5min`k线数据$"):
        r.synthetic_matrix_adj(gv.KFreq_Min, 5)
    with pytest.raises(TypeError, match=r"find_exchange_day\(\) takes exactly 5 positional arguments \(4 given\)"):
        r.find_exchange_day(np.zeros(1), np.ones(1), "X", 1)
    with pytest.raises(TypeError):
        r.find_exchange_day(np.zeros(1), np.ones(1), "X", 20250101.0, 20250102)
    with pytest.raises(TypeError, match=r"get_reg_k_data_adj\(\) takes exactly 4 positional arguments \(3 given\)"):
        r.get_reg_k_data_adj(np.zeros((1, 7)), 0, 1)
    with pytest.raises(ValueError, match="7 columns"):
        r.get_reg_k_data_adj(np.zeros((2, 4)), 0, 1, True)


def test_malformed_change_points_are_refused(adj, monkeypatch):
    r = adj.regora
    monkeypatch.setattr(r, "find_exchange_day", lambda *a: np.array([0, 5, 5]))
    with pytest.raises(ValueError, match="pairs"):
        r.calc_1_freq_matrix_adj(gv.KFreq_Min)
    monkeypatch.setattr(r, "find_exchange_day", lambda *a: np.array([0, 10**9]))
    with pytest.raises(ValueError, match="outside"):
        r.calc_1_freq_matrix_adj(gv.KFreq_Min)
    assert len(cnt.vr.g_TelvarKDataList_Adj) == 0


def test_roll_without_a_usable_price_keeps_the_ratio(adj, monkeypatch):
    """A NaN close before a roll must not turn every later adjusted price into NaN."""
    r = adj.regora
    item = cnt.vr.g_TelvarKDataList[cnt.vr.g_TelvarKDataList.find_pos(gv.KFreq_Min, 1)]
    m = adj.market
    b1 = int(np.argmax(m.tday == np.unique(m.tday)[5]))
    close_row = gv.bar_item_pos(gv.KMatrix_Close, 0)
    item.Matrix[close_row, b1 - 1] = np.nan
    pos = r.calc_1_freq_matrix_adj(gv.KFreq_Min)
    prices = price_rows(cnt.vr.g_TelvarKDataList_Adj[pos].Matrix, 0)
    assert np.isfinite(prices[:, b1:]).all()


def test_adjusted_forming_bars_come_from_the_cache_in_a_second_run(adj, monkeypatch):
    r = adj.regora
    first = r.reg_k_data("min", 15, True)
    stored = cnt.vr.g_TelvarDataValueFresh_Adj.copy()
    last = cnt.vr.g_TelvarRegKDataInfo_Adj.get_item(gv.KFreq_Min, 15).LastSynBaseTimeLinePos

    # A second run with the same inputs: the kernel must not be needed.
    times = cnt.vr.g_TelvarDataValueFresh[0].copy()
    info = cnt.vr.g_TelvarInputInfo
    saved = (info.TargetList, info.BeginDate, info.EndDate)
    cnt.reset()
    info = cnt.vr.g_TelvarInputInfo
    info.TargetList, info.BeginDate, info.EndDate = saved
    info.KFrequency, info.KFreNum, info.FQ = "min", 1, "NA"
    cnt.vr.g_TelvarDataValueFresh = times.reshape(1, -1)
    cnt.vr.g_TelvarCache.set_dvf_time_line_cache(times)
    r.reg_k_data("min", 1)

    class NoAdjustedKernel:
        def __getattr__(self, name):
            if name == "tvCalcDataValueFresh_Adj":
                raise AssertionError("the adjusted forming bars should come from the cache")
            return getattr(real, name)
    real = r.numkern
    monkeypatch.setattr(r, "numkern", NoAdjustedKernel())
    again = r.reg_k_data("min", 15, True)
    np.testing.assert_array_equal(again, first)
    np.testing.assert_array_equal(cnt.vr.g_TelvarDataValueFresh_Adj, stored)
    assert cnt.vr.g_TelvarRegKDataInfo_Adj.get_item(gv.KFreq_Min, 15).LastSynBaseTimeLinePos == last


def test_adjusted_window_over_more_matrices_than_the_cache_holds(adj):
    """Rows naming ten adjusted registrations (twenty matrices; the cache keeps
    sixteen), each named again after the others: every block equals its row alone."""
    r = adj.regora
    rows = np.concatenate([r.reg_k_data("min", n, True) for n in range(2, 12)])
    mixed = np.concatenate([rows, rows[::-1]])
    for pos in (900, adj.market.times.size - 1):
        out = r.get_reg_k_data_adj(mixed, pos, 3, False).astype(float)
        alone = [r.get_reg_k_data_adj(mixed[i:i + 1], pos, 3, False) for i in range(len(mixed))]
        np.testing.assert_array_equal(out, np.concatenate(alone).astype(float))


@pytest.mark.parametrize("fill_up", [True, False])
def test_cells_written_in_place_show_at_the_next_read(adj, fill_up):
    """An adjusted price and a raw field written in place, to another value,
    to NaN and back, show at the next read, as a read of copies of both
    matrices shows them."""
    r = adj.regora
    reg_idx = r.reg_k_data("min", 15, True)
    plain_item = cnt.vr.g_TelvarKDataList[int(reg_idx[0, 0])]
    adj_item = cnt.vr.g_TelvarKDataList_Adj[int(reg_idx[0, 4])]
    plain_tl = plain_item.Matrix[gv.KMatrixPos_TimeLine]
    pos, length = 1500, 5
    shown = r.get_reg_k_data_adj(reg_idx, pos, length, fill_up).astype(float)
    completed = length - 2  # the future's second-newest row is a completed bar
    col = int(np.searchsorted(plain_tl, shown[completed, 1]))
    assert plain_tl[col] == shown[completed, 1]
    adj_close = gv.Adj_KMatrix_Close  # the future's adjusted close
    volume = gv.KMatrixPos_Head_len + gv.KMatrix_Volume  # the future's raw volume

    def over_copies():
        matrices = plain_item.Matrix, adj_item.Matrix
        plain_item.Matrix, adj_item.Matrix = matrices[0].copy(), matrices[1].copy()
        try:
            return r.get_reg_k_data_adj(reg_idx, pos, length, fill_up).astype(float)
        finally:
            plain_item.Matrix, adj_item.Matrix = matrices

    for matrix, row, field in ((adj_item.Matrix, adj_close, 2 + gv.KMatrix_Close),
                               (plain_item.Matrix, volume, 2 + gv.KMatrix_Volume)):
        original = matrix[row, col]
        for value in (999.5, np.nan, original):
            matrix[row, col] = value
            out = r.get_reg_k_data_adj(reg_idx, pos, length, fill_up).astype(float)
            # a NaN volume is a feed without volumes: the bar still traded
            np.testing.assert_array_equal(out[completed, field], value)
            np.testing.assert_array_equal(out, over_copies())
        np.testing.assert_array_equal(out, shown)
