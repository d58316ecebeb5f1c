"""Statistics against numbers worked by hand on small equity curves."""
import math

import numpy as np
import pytest

from telvar.run.stats import compute_stats

DATES = [20251103, 20251104, 20251105, 20251106, 20251107]


def test_returns_risk_and_drawdown_of_a_small_curve():
    # capital 100; daily equity 110, 99, 104.5, 121, 115
    stats = compute_stats(DATES, [110, 99, 104.5, 121, 115], 100)
    r = [0.10, -0.10, 5.5 / 99, 16.5 / 104.5, -6 / 121]
    assert r[2] == pytest.approx(104.5 / 99 - 1)
    mean = sum(r) / 5
    std = math.sqrt(sum((x - mean) ** 2 for x in r) / 4)
    assert stats["TotalReturn"] == pytest.approx(0.15)
    assert stats["AnnualReturn"] == pytest.approx(1.15 ** (242 / 5) - 1)
    assert stats["AnnualVolatility"] == pytest.approx(std * math.sqrt(242))
    assert stats["Sharpe"] == pytest.approx(mean / std * math.sqrt(242))
    downside = math.sqrt((0.10 ** 2 + (6 / 121) ** 2) / 5)
    assert stats["Sortino"] == pytest.approx(mean / downside * math.sqrt(242))
    # from the peak 110 (day 1) to 99 (day 2), back above 110 on day 4
    assert stats["MaxDrawdown"] == pytest.approx(-0.10)
    assert (stats["MaxDrawdownStart"], stats["MaxDrawdownTrough"], stats["MaxDrawdownRecovery"]) == \
        (20251103, 20251104, 20251106)
    assert stats["Calmar"] == pytest.approx(stats["AnnualReturn"] / 0.10)
    assert stats["FinalEquity"] == 115


def test_a_drawdown_from_the_capital_without_recovery_and_a_risk_free_rate():
    stats = compute_stats(DATES[:3], [98, 95, 97], 100, risk_free=0.0242)
    assert stats["MaxDrawdown"] == pytest.approx(-0.05)
    assert (stats["MaxDrawdownStart"], stats["MaxDrawdownTrough"], stats["MaxDrawdownRecovery"]) == \
        (20251103, 20251104, None)
    r = np.array([-0.02, 95 / 98 - 1, 97 / 95 - 1])
    excess = r - 0.0001  # 2.42% a year over 242 days
    assert stats["Sharpe"] == pytest.approx(excess.mean() / r.std(ddof=1) * math.sqrt(242))
    flat = compute_stats(DATES[:2], [100, 100], 100)
    assert flat["MaxDrawdown"] == 0 and flat["MaxDrawdownStart"] is None and flat["Calmar"] is None
    assert flat["Sharpe"] is None and flat["Sortino"] is None  # no variation: undefined, not infinite


def test_round_trips_costs_and_turnover():
    stats = compute_stats(DATES[:2], [100, 100], 100, trip_profits=[10.0, -5.0, 3.0, -1.0], trade_count=8,
                          commission=4.5, tax=1.25, traded_value=300.0)
    assert stats["WinRate"] == 0.5 and stats["ProfitFactor"] == pytest.approx(13 / 6)
    assert stats["RoundTrips"] == 4 and stats["TradeCount"] == 8
    assert stats["Commission"] == 4.5 and stats["Tax"] == 1.25 and stats["Turnover"] == pytest.approx(3.0)
    winners_only = compute_stats(DATES[:2], [100, 100], 100, trip_profits=[2.0])
    assert winners_only["WinRate"] == 1.0 and winners_only["ProfitFactor"] is None
    none = compute_stats(DATES[:2], [100, 100], 100)
    assert none["WinRate"] is None and none["RoundTrips"] == 0


def test_benchmark_figures_against_a_regression():
    equity = [101, 103.02, 102, 104.04, 104.04]
    bench = np.array([0.005, 0.01, -0.004, 0.012, 0.001])
    stats = compute_stats(DATES, equity, 100, benchmark_returns=bench)
    r = np.array(equity) / np.r_[100, equity[:-1]] - 1
    slope, intercept = np.polyfit(bench, r, 1)  # least squares: r = alpha_d + beta b
    assert stats["Beta"] == pytest.approx(slope)
    assert stats["Alpha"] == pytest.approx(intercept * 242)
    assert stats["BenchmarkReturn"] == pytest.approx(np.prod(1 + bench) - 1)
    assert stats["ExcessReturn"] == pytest.approx(0.0404 - stats["BenchmarkReturn"])
    active = r - bench
    assert stats["InformationRatio"] == pytest.approx(active.mean() / active.std(ddof=1) * math.sqrt(242))
    with pytest.raises(ValueError, match="benchmark returns cover 4 days"):
        compute_stats(DATES, equity, 100, benchmark_returns=bench[:4])
