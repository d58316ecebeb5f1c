"""The runner on the sample store, and registered bars against pandas on host data."""
import numpy as np
import pandas as pd
import pytest

from reference import bars as ref
from telvar.kestrum import runner
from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.sysmodel import gv

pytestmark = pytest.mark.host

TARGETS = [{"Market": "SHFE", "Code": "RB0000"}, {"Market": "SHFE", "Code": "CU0000"},
           {"Market": "SSE", "Code": "600000"}]
FIELDS = ["open", "high", "low", "close", "volume", "turnover", "oi"]


def test_setup_builds_a_clean_run_state(host, run_root):
    from telvar.api.history import _history
    from telvar.api.regora import _regora

    context = runner.setup(TARGETS, 20251110, 20251114, host=host)
    vr = cnt.vr
    times, _ = _history.get_trading_time(TARGETS, "min", 20251110, 20251114)
    np.testing.assert_array_equal(vr.g_TelvarDataValueFresh, times.reshape(1, -1))
    np.testing.assert_array_equal(vr.g_TelvarCache.dvf_tl, times)
    assert vr.g_TelvarInputInfo.KFrequencyI == gv.KFreq_Min and vr.g_TelvarInputInfo.BeginDate == 20251110
    own = context.reg_idx
    assert vr.g_TelvarInputInfo.RefreshKDataIdx == 0 and vr.g_TelvarKDataList[0].KFrequency == "min"
    assert np.isnan(own[:, 2]).all() and (own[:, 0] == 0).all()
    assert vr.g_TelvarUserContext is context
    _regora.reg_k_data("min", 15)
    assert len(vr.g_TelvarRegKDataInfo) == 2

    second = runner.setup(TARGETS[:1], 20251103, 20251104, frequency="min", freq_num=5, host=host)
    assert len(cnt.vr.g_TelvarRegKDataInfo) == 1 and len(cnt.vr.g_TelvarKDataList) == 2
    assert cnt.vr.g_TelvarDataValueFresh.shape == (1, len(second.bar_times))
    assert second.reg_idx.shape == (1, 4)
    with pytest.raises(ValueError, match="fortnight"):
        runner.setup(TARGETS, 20251110, 20251114, frequency="fortnight", host=host)


def test_run_calls_the_strategy_at_every_bar(host, run_root):
    seen = []

    class Strategy:
        def init(self, context):
            seen.append(("init", cnt.vr.g_TelvarSimCurBarFresh))

        def on_bar(self, context):
            assert cnt.vr.g_TelvarSimCurBarFresh == context.bar_pos == context.bar_num
            seen.append(context.bar_pos)

        def summary(self, context):
            return len(seen)

    summary = runner.run(Strategy(), TARGETS[:2], 20251110, 20251111, frequency="min", freq_num=15,
                         host=host, progress=False)
    bars = summary["bars"]
    assert seen[0] == ("init", 0) and seen[1:] == list(range(bars))
    assert summary["strategy"] == bars + 1 and summary["frequency"] == "15min"
    assert cnt.smm.phase == gv.RUMMODE_PHASE_FINISHED


def test_run_time_queries_read_the_runners_refresh_item(host, run_root):
    from telvar.api.history import _history

    seen = []

    class Strategy:
        def init(self, context):
            pass

        def on_bar(self, context):
            if context.bar_pos in (0, 7):
                bar = _history.get_bar(np.array([0, 1]))
                seen.append((context.now, bar["time_bar"][0], bar["close"]))

    runner.run(Strategy(), TARGETS[:2], 20251110, 20251110, frequency="min", freq_num=15,
               host=host, progress=False)
    item = cnt.vr.g_TelvarKDataList[cnt.vr.g_TelvarInputInfo.RefreshKDataIdx]
    closes = item.Matrix[gv.KMatrixPos_Head_len + gv.KMatrix_Close::gv.KMatrix_Bar_Len]
    assert [s[0] for s in seen] == [s[1] for s in seen]
    np.testing.assert_allclose(seen[1][2], closes[:2, item.CurrentBar[7]])


def minute_frame(t):
    """The 1-minute bars of target t from the strategy's own K-data, with day index and trading day."""
    item = cnt.vr.g_TelvarKDataList[0]
    m = item.Matrix
    first = gv.KMatrixPos_Head_len + t * gv.KMatrix_Bar_Len
    df = pd.DataFrame(m[first:first + gv.KMatrix_Bar_Len].T, columns=FIELDS)
    df["time"] = m[gv.KMatrixPos_TimeLine]
    df["day_pos"] = m[gv.KMatrixPos_DayPos].astype(int)
    df["day"] = np.cumsum(df["day_pos"] == 1) - 1
    df["traded"] = ref.traded_mask(df)  # judged on the whole series, kept by selections
    return df


def agg(df, key):
    """The shared reference per value of column `key`, stamped with the last bar's time."""
    return ref.combine(df, df[key], time=("time", "last"))


@pytest.mark.parametrize("frequency,freq_num", [("min", 7), ("min", 15), ("day", 1), ("week", 1)])
def test_registered_bars_equal_pandas_on_the_sample_store(host, run_root, frequency, freq_num):
    from telvar.api.regora import _regora

    runner.setup(TARGETS, 20251103, 20251114, host=host)
    reg_idx = _regora.reg_k_data(frequency, freq_num)
    item = cnt.vr.g_TelvarKDataList[int(reg_idx[0, 0])]
    store = cnt.vr.g_TelvarDataValueFresh
    for t in range(len(TARGETS)):
        df = minute_frame(t)
        if frequency == "min":
            key = df["day"] * 1000 + (df["day_pos"] - 1) // freq_num
        elif frequency == "day":
            key = df["day"]
        else:  # the trading day of a minute is the date of its day's last bar
            last_time = df.groupby("day")["time"].transform("last")
            key = pd.to_datetime(np.floor(last_time) - 719529, unit="D").dt.to_period("W").astype(str)
        key = np.asarray(key)
        first = gv.KMatrixPos_Head_len + t * gv.KMatrix_Bar_Len
        if frequency == "min":
            bars = agg(df.assign(key=key), "key")
            if df["day_pos"].iloc[-1] % freq_num:
                bars = bars.iloc[:-1]  # the last bar of the data has not closed
        else:
            # day bars come from the host; weeks combine them
            day_item = cnt.vr.g_TelvarKDataList.get_item(gv.KFreq_Day, 1)
            days = pd.DataFrame(day_item.Matrix[first:first + gv.KMatrix_Bar_Len].T, columns=FIELDS)
            days["time"] = day_item.Matrix[gv.KMatrixPos_TimeLine]
            np.testing.assert_allclose(days["time"], df.groupby("day")["time"].last())
            # a day bar is its traded minutes combined (filled minutes repeat an earlier close)
            traded = agg(df[df["volume"] > 0], "day")
            np.testing.assert_allclose(days[FIELDS].to_numpy(), traded[FIELDS].to_numpy())
            week = pd.to_datetime(np.floor(days["time"]) - 719529, unit="D").dt.to_period("W").astype(str)
            bars = agg(days.assign(key=np.asarray(week) if frequency == "week" else np.arange(len(days))), "key")
        np.testing.assert_allclose(item.Matrix[gv.KMatrixPos_TimeLine], bars["time"].to_numpy())
        np.testing.assert_allclose(item.Matrix[first:first + gv.KMatrix_Bar_Len], bars[FIELDS].to_numpy().T,
                                   equal_nan=True)
        row = int(reg_idx[t, 2])
        for p in range(0, len(df), 211):
            part = df.iloc[:p + 1][key[:p + 1] == key[p]]
            expected = agg(part.assign(key=0), "key").iloc[0][FIELDS].to_numpy(dtype=float)
            np.testing.assert_allclose(store[row:row + gv.KMatrix_Bar_Len, p], expected, equal_nan=True)


def test_forming_bars_of_a_strategy_coarser_than_its_base(host, run_root):
    """With 5-minute strategy bars over the 1-minute base, column p of both
    stores holds the registered bar as formed at the last minute of strategy
    bar p (the base columns between strategy bars are left out)."""
    from telvar.api.regora import _regora

    runner.setup(TARGETS, 20251110, 20251112, frequency="min", freq_num=5, host=host)
    base = cnt.vr.g_TelvarKDataList[0]
    assert (base.KFrequency, base.KFreqNum) == ("min", 1)
    reg_idx = _regora.reg_k_data("min", 15, True)
    strategy_cols = np.flatnonzero(base.Matrix[gv.KMatrixPos_FreshIdx])
    store, store_adj = cnt.vr.g_TelvarDataValueFresh, cnt.vr.g_TelvarDataValueFresh_Adj
    assert 0 < strategy_cols.size == store.shape[1] == store_adj.shape[1] < base.Matrix.shape[1]
    np.testing.assert_array_equal(store[0], base.Matrix[gv.KMatrixPos_TimeLine, strategy_cols])
    adj_base = cnt.vr.g_TelvarKDataList_Adj[cnt.vr.g_TelvarKDataList_Adj.find_pos(gv.KFreq_Min, 1)].Matrix
    for t in range(len(TARGETS)):
        df = minute_frame(t)
        adj_prices = adj_base[t * gv.Adj_KMatrix_Bar_Len:(t + 1) * gv.Adj_KMatrix_Bar_Len].T
        df_adj = df.assign(**{f: adj_prices[:, i] for i, f in enumerate(FIELDS[:4])})
        key = np.asarray(df["day"] * 1000 + (df["day_pos"] - 1) // 15)
        row, adj_row = int(reg_idx[t, 2]), int(reg_idx[t, 6])
        for p in range(0, strategy_cols.size, 13):
            c = strategy_cols[p]
            in_bar = np.flatnonzero(key[:c + 1] == key[c])
            expected = agg(df.iloc[in_bar].assign(key=0), "key").iloc[0][FIELDS].to_numpy(dtype=float)
            np.testing.assert_allclose(store[row:row + gv.KMatrix_Bar_Len, p], expected, equal_nan=True)
            expected_adj = agg(df_adj.iloc[in_bar].assign(key=0), "key").iloc[0][FIELDS[:4]]
            np.testing.assert_allclose(store_adj[adj_row:adj_row + gv.Adj_KMatrix_Bar_Len, p],
                                       expected_adj.to_numpy(dtype=float), equal_nan=True)


def read_ahead_message(position, bar, current):
    from telvar.kestrum.language import text

    return text.ERROR_READ_AHEAD.format(POSITION=position, BAR=bar, CURRENT=current)


class LookingAhead:
    """Registers every kind of series in init; on_bar reads each at, before
    and after the current bar and records what happened."""

    def __init__(self, fail_at=None):
        self.fail_at, self.seen = fail_at, {}

    def init(self, context):
        from telvar.api.regora import _regora

        n = len(context.bar_times)
        context.adj = _regora.reg_k_data("min", 30, True)
        context.indicator = _regora.reg_user_indices(lambda ctx: [float(ctx._internal_bar_num)] * 2)
        context.user_data = _regora.reg_user_data(context.bar_times - 1e-6, np.arange(n, dtype=float))
        context.factor = _regora.reg_factor(["pe_ttm"], context.targets, context.begin_date,
                                            context.end_date)[0]

    def readers(self, context):
        from telvar.api.history import _history
        from telvar.api.regora import _regora

        return {
            "k_data": lambda p: _regora.get_reg_k_data(context.reg_idx, p, 3, True),
            "k_data_real": lambda p: _regora.get_reg_k_data(context.reg_idx, p, 3, False),
            "k_data_adj": lambda p: _regora.get_reg_k_data_adj(context.adj, p, 3, True),
            "indicator": lambda p: _regora.get_reg_user_indicator(context.indicator, p, 3),
            "user_data": lambda p: _regora.get_reg_user_data(context.user_data, p, 3),
            "factor": lambda p: _regora.get_reg_factor(context.factor, p, 3),
            "bar": lambda p: _history.get_bar(np.array([0, 1]), p - context.bar_pos),
        }

    def on_bar(self, context):
        pos = context.bar_pos
        if pos in (0, 5):
            for name, read in self.readers(context).items():
                outcomes = {}
                for asked in (pos - 1, pos, pos + 1, pos - 2, float("nan")):
                    if name == "bar" and not asked == asked:
                        continue  # get_bar takes an offset, not a position
                    try:
                        read(asked)
                        outcomes[asked] = "read"
                    except IndexError as error:
                        outcomes[asked] = str(error)
                self.seen[(name, pos)] = outcomes
        if pos == self.fail_at:
            raise RuntimeError("strategy failed")


def test_reads_after_the_current_bar_raise_during_a_run(host, run_root):
    from telvar.api.history import _history

    strategy = LookingAhead()
    summary = runner.run(strategy, TARGETS[:1] + TARGETS[2:], 20251110, 20251111, frequency="min",
                         freq_num=15, host=host, progress=False)
    n = summary["bars"]
    for name in ("k_data", "k_data_real", "k_data_adj", "indicator", "user_data", "factor", "bar"):
        at_0, at_5 = strategy.seen[(name, 0)], strategy.seen[(name, 5)]
        if name == "bar":  # offsets: -1 before the first bar is no bar, read as None
            assert at_0[-1] == at_0[0] == "read" and at_0[-2] == "read"
            assert at_0[1] == read_ahead_message(1, 1, 0)
            assert at_5[6] == read_ahead_message(6, 6, 5)
            assert at_5[5] == at_5[4] == at_5[3] == "read"
            continue
        # at bar 0, -1 counts from the end: the run's last bar
        assert at_0[-1] == read_ahead_message(-1, n - 1, 0), name
        assert at_0[1] == read_ahead_message(1, 1, 0), name
        assert at_0[0] == "read" and at_0[-2] != "read", name  # -2 is the bar before the last
        assert at_5[4] == at_5[3] == at_5[5] == "read", name
        assert at_5[6] == read_ahead_message(6, 6, 5), name
        # NaN is the latest bar
        assert all(v == read_ahead_message("nan", n - 1, 0) for k, v in at_0.items() if k != k), name

    # after the run nothing is limited: the last bar reads, also as -1 and NaN
    assert cnt.vr.g_TelvarReadLimit == -1
    readers = strategy.readers(cnt.vr.g_TelvarUserContext)
    for name, read in readers.items():
        if name != "bar":
            read(-1)
            read(float("nan"))
            read(n - 1)
    cnt.vr.g_TelvarSimCurBarFresh = 0
    assert _history.get_bar(np.array([0]), n - 1) is not None


def test_the_limit_is_gone_after_a_strategy_raised(host, run_root):
    from telvar.api.regora import _regora

    with pytest.raises(RuntimeError, match="strategy failed"):
        runner.run(LookingAhead(fail_at=5), TARGETS[:1] + TARGETS[2:], 20251110, 20251110,
                   frequency="min", freq_num=15, host=host, progress=False)
    assert cnt.vr.g_TelvarReadLimit == -1
    context = cnt.vr.g_TelvarUserContext
    np.testing.assert_array_equal(_regora.get_reg_k_data(context.reg_idx, -1, 3, True).astype(float),
                                  _regora.get_reg_k_data(context.reg_idx, len(context.bar_times) - 1, 3,
                                                         True).astype(float))


def test_an_indicator_registered_inside_on_bar_sees_every_bar(host, run_root):
    """Registering computes the series over the whole run: the indicator's
    own reads are not limited, and the limit is back once it is registered."""
    from telvar.api.regora import _regora

    seen = {}

    class Strategy:
        def init(self, context):
            pass

        def on_bar(self, context):
            if context.bar_pos != 2:
                return
            pos = context.bar_pos

            def last_close(ctx):
                window = _regora.get_reg_k_data(ctx.reg_idx, ctx._internal_bar_num, 1, True)
                return list(window[:, 2 + gv.KMatrix_Close].astype(float))

            seen["rows"] = _regora.reg_user_indices(last_close)
            with pytest.raises(IndexError):
                _regora.get_reg_k_data(context.reg_idx, pos + 1, 1, True)
            seen["limit"] = cnt.vr.g_TelvarReadLimit
            seen["bar_pos"] = context.bar_pos
            # the strategy reads on at its own bar
            seen["window"] = _regora.get_reg_k_data(context.reg_idx, context.bar_pos, 1, True)

    summary = runner.run(Strategy(), TARGETS[:2], 20251110, 20251110, frequency="min", freq_num=15,
                         host=host, progress=False)
    assert seen["limit"] == 2 and seen["rows"] == [0, 1]
    assert seen["bar_pos"] == 2 and seen["window"].shape[0] == 2
    store = cnt.vr.g_TelvarDataValueFreshUserI
    assert store.shape == (2, summary["bars"]) and np.isfinite(store[:, -1]).all()


def test_set_up_alone_reads_every_bar(host, run_root):
    from telvar.api.regora import _regora

    context = runner.setup(TARGETS[:1], 20251110, 20251110, frequency="min", freq_num=15, host=host)
    assert cnt.vr.g_TelvarReadLimit == -1
    last = _regora.get_reg_k_data(context.reg_idx, -1, 2, True).astype(float)
    assert last[-1, 1] == context.bar_times[-1]
