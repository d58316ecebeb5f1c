"""The pieces a report is drawn from, against references written independently (loops, pandas)."""
import numpy as np
import pandas as pd
import pytest

from telvar.report.candles import MAX_CANDLES, group_bars
from telvar.report.profit import profit_per_target
from telvar.report.series import envelope_indices, monthly_returns

from .synthetic import minute_times, trading_days


def test_down_sampling_keeps_the_extremes_and_the_days_ends():
    rng = np.random.default_rng(5)
    values = np.cumsum(rng.standard_normal(50_000))
    values[1234] = 500.0   # a spike
    values[40_000] = np.nan  # a bar without equity
    ends = np.arange(239, values.size, 240)
    shown = envelope_indices(values, keep=ends, max_points=4000)
    assert shown.size <= 4000 + 2 and np.all(np.diff(shown) > 0)
    assert set(ends) <= set(shown) and {0, values.size - 1} <= set(shown)
    drawn = values[shown]
    assert np.nanmax(drawn) == 500.0 and np.nanmin(drawn) == np.nanmin(values)
    # a short series is drawn whole
    assert np.array_equal(envelope_indices(values[:3000], keep=[5]), np.arange(3000))


def test_monthly_returns_compound_to_the_years_and_the_total():
    days = trading_days(20241101, 160)  # November 2024 to mid 2025: a year boundary and the holiday week
    rng = np.random.default_rng(9)
    equity = 1e6 * np.cumprod(1 + 0.01 * rng.standard_normal(len(days)))
    years, grid, yearly = monthly_returns(days, equity, 1e6)
    # reference: pandas month ends over a daily series
    series = pd.Series(equity, index=pd.to_datetime([str(d) for d in days]))
    month_end = series.groupby(series.index.to_period("M")).last()
    reference = month_end / month_end.shift(1, fill_value=1e6) - 1
    assert years == [2024, 2025]
    got = {(y, m + 1): grid[i, m] for i, y in enumerate(years) for m in range(12) if not np.isnan(grid[i, m])}
    assert got == pytest.approx({(p.year, p.month): v for p, v in reference.items()})
    assert np.isnan(grid[0, :10]).all()  # no days before November 2024
    for i, y in enumerate(years):
        months = grid[i][~np.isnan(grid[i])]
        assert yearly[i] == pytest.approx(np.prod(1 + months) - 1)
    assert np.prod(1 + np.array(yearly)) - 1 == pytest.approx(equity[-1] / 1e6 - 1)


def _reference_candles(bars, days, size):
    """Bars merged by a loop: each trading day cut into runs of ``size`` bars."""
    rows = []
    for day in pd.unique(days):
        block = bars[days == day]
        for start in range(0, len(block), size):
            part = block.iloc[start:start + size]
            rows.append((part["time"].iloc[-1], part["open"].iloc[0], part["high"].max(), part["low"].min(),
                         part["close"].iloc[-1], part["volume"].sum()))
    return pd.DataFrame(rows, columns=["time", "open", "high", "low", "close", "volume"])


def test_long_bar_series_merge_within_trading_days():
    dates = trading_days(20250901, 30)  # 7,200 one-minute bars: more than one chart should hold
    times = pd.DatetimeIndex(np.concatenate([minute_times(d).to_numpy() for d in dates]))
    days = np.repeat(dates, 240)
    keep = np.ones(times.size, dtype=bool)
    keep[np.random.default_rng(2).choice(times.size, 700, replace=False)] = False  # untraded minutes
    rng = np.random.default_rng(4)
    close = 100 + np.cumsum(rng.standard_normal(times.size))
    bars = pd.DataFrame({"time": times, "open": close + 0.3, "high": close + 1, "low": close - 1, "close": close,
                         "volume": rng.integers(1, 100, times.size).astype(float)})[keep].reset_index(drop=True)
    days = days[keep]
    candles, group, size = group_bars(bars, days)
    assert size == 3 and len(candles) <= MAX_CANDLES  # 2 would leave too many candles
    pd.testing.assert_frame_equal(candles, _reference_candles(bars, days, size))
    assert np.array_equal(candles["time"].to_numpy()[group], bars.groupby(group)["time"].transform("last"))
    few, _, one = group_bars(bars.iloc[:500], days[:500])
    assert one == 1 and few.equals(bars.iloc[:500].reset_index(drop=True)[few.columns])


def test_profit_of_a_hand_worked_round_trip_and_a_held_position():
    trades = pd.DataFrame({
        "target": ["SHFE.RB0000", "SHFE.RB0000", "SSE.600000"], "side": ["buy", "sell", "buy"],
        "quantity": [2, 2, 300], "price": [3500.0, 3512.0, 10.0], "commission": [1.0, 1.0, 5.0],
        "tax": [0.0, 0.0, 0.0], "roll": [False, False, False]})
    positions = pd.DataFrame({"date": [20251103, 20251104], "target": ["SSE.600000", "SSE.600000"],
                              "market_value": [3030.0, 3090.0]})
    profits = profit_per_target(trades, positions, 20251104, ["SHFE.RB0000", "SSE.600000", "SSE.600519"],
                                {"SHFE.RB0000": 10.0, "SSE.600000": 1.0, "SSE.600519": 1.0}).set_index("target")
    # RB: 2 lots x 12 points x 10 - 2 commission; stock: bought 3,000, worth 3,090 at the last close, - 5
    assert profits.loc["SHFE.RB0000", "profit"] == pytest.approx(238.0)
    assert profits.loc["SSE.600000", "profit"] == pytest.approx(85.0)
    assert profits.loc["SSE.600519", "fills"] == 0 and profits.loc["SSE.600519", "profit"] == 0
    assert profits.loc["SHFE.RB0000", ["bought", "sold", "traded_value"]].tolist() == [2, 2, 140_240.0]
    # a position closed before the last day holds nothing at the end
    flat = profit_per_target(trades, positions.iloc[:1], 20251104, ["SSE.600000"], {"SSE.600000": 1.0})
    assert flat.loc[0, "held_value"] == 0 and flat.loc[0, "profit"] == pytest.approx(-3005.0)
