"""Statistics of a back-test from its daily equity, round trips and trades.

Conventions:

- daily returns: r_d = E_d / E_(d-1) - 1 over the run's trading days, E_0
  being the starting capital (so the first day counts from the capital);
- annualisation: ``periods_per_year`` trading days per year, 242 by default
  (the Chinese exchanges' year); AnnualReturn compounds:
  (1 + TotalReturn) ** (242 / days) - 1; AnnualVolatility = std(r, ddof=1) x sqrt(242);
- Sharpe = (mean(r) - rf/242) / std(r, ddof=1) x sqrt(242), rf the annual
  risk-free rate (``risk_free``, default 0); Sortino the same over the
  downside deviation sqrt(mean(min(r - rf/242, 0)^2));
- MaxDrawdown: the deepest fall of daily equity below its running peak
  (capital included), a negative fraction; its Start is the last day at that
  peak (the first day when the peak is the capital), Trough the lowest day,
  Recovery the first later day back at the peak (None if never);
  Calmar = AnnualReturn / |MaxDrawdown|;
- WinRate and ProfitFactor over closed round trips (profit after costs);
  ProfitFactor = gains / |losses|;
- Turnover: traded value (both sides, rolls included) / mean daily equity;
- with a benchmark (its daily returns on the same days): BenchmarkReturn
  compounds them, ExcessReturn = TotalReturn - BenchmarkReturn, Beta =
  cov(r, b) / var(b), Alpha = (mean(r) - rf_d - Beta x (mean(b) - rf_d)) x 242,
  InformationRatio = mean(r - b) / std(r - b, ddof=1) x sqrt(242).

A figure that is undefined (too few days, no variation, no losing trip) is None.
"""
import math

import numpy as np

PERIODS_PER_YEAR = 242


def _num(value):
    value = float(value)
    return value if math.isfinite(value) else None


def daily_returns(equity, capital):
    e = np.asarray(equity, dtype=np.float64)
    return e / np.r_[capital, e[:-1]] - 1.0


def max_drawdown(dates, equity, capital):
    """(max drawdown, start date, trough date, recovery date or None)."""
    e = np.r_[float(capital), np.asarray(equity, dtype=np.float64)]
    if e.size < 2:
        return 0.0, None, None, None
    peaks = np.maximum.accumulate(e)
    dd = e / peaks - 1.0
    trough = int(np.argmin(dd))
    if not dd[trough] < 0:
        return 0.0, None, None, None
    peak_value = peaks[trough]
    peak = int(np.flatnonzero(e[:trough + 1] == peak_value)[-1])
    later = np.flatnonzero(e[trough + 1:] >= peak_value)
    recovery = int(dates[trough + later[0]]) if later.size else None
    start = int(dates[max(peak - 1, 0)])
    return float(dd[trough]), start, int(dates[trough - 1]), recovery


def _ratio(numerator, denominator):
    return numerator / denominator if denominator > 0 else math.nan


def compute_stats(dates, equity, capital, trip_profits=(), trade_count=0, commission=0.0, tax=0.0,
                  traded_value=0.0, benchmark_returns=None, risk_free=0.0, periods_per_year=PERIODS_PER_YEAR):
    """The stats dictionary (keys as the host stores them); see the module's conventions."""
    equity = np.asarray(equity, dtype=np.float64)
    n, k = equity.size, float(periods_per_year)
    r = daily_returns(equity, capital)
    rf = risk_free / k
    total = equity[-1] / capital - 1.0 if n else 0.0
    annual = (1.0 + total) ** (k / n) - 1.0 if n and total > -1 else math.nan
    std = r.std(ddof=1) if n > 1 else math.nan
    downside = math.sqrt(np.mean(np.minimum(r - rf, 0.0) ** 2)) if n else math.nan
    mdd, start, trough, recovery = max_drawdown(dates, equity, capital)
    profits = np.asarray(list(trip_profits), dtype=np.float64)
    gains, losses = profits[profits > 0].sum(), -profits[profits < 0].sum()
    stats = {
        "TotalReturn": total,
        "AnnualReturn": annual,
        "AnnualVolatility": std * math.sqrt(k),
        "Sharpe": _ratio(r.mean() - rf, std) * math.sqrt(k) if n > 1 else math.nan,
        "Sortino": _ratio(r.mean() - rf, downside) * math.sqrt(k) if n else math.nan,
        "MaxDrawdown": mdd,
        "MaxDrawdownStart": start,
        "MaxDrawdownTrough": trough,
        "MaxDrawdownRecovery": recovery,
        "Calmar": annual / -mdd if mdd < 0 else math.nan,
        "WinRate": (profits > 0).mean() if profits.size else math.nan,
        "ProfitFactor": _ratio(gains, losses),
        "RoundTrips": int(profits.size),
        "TradeCount": int(trade_count),
        "Turnover": _ratio(traded_value, equity.mean()) if n else math.nan,
        "Commission": commission,
        "Tax": tax,
        "FinalEquity": equity[-1] if n else capital,
    }
    if benchmark_returns is not None:
        stats.update(benchmark_stats(r, np.asarray(benchmark_returns, dtype=np.float64), total, rf, k))
    return {key: (_num(v) if isinstance(v, (float, np.floating)) else v) for key, v in stats.items()}


def benchmark_stats(r, b, total, rf, k):
    if b.shape != r.shape:
        raise ValueError("benchmark returns cover %d days, the run %d" % (b.size, r.size))
    bench_total = np.prod(1.0 + b) - 1.0 if b.size else 0.0
    if r.size > 1:
        var_b = b.var(ddof=1)
        beta = _ratio(np.cov(r, b, ddof=1)[0, 1], var_b)
        alpha = (r.mean() - rf - beta * (b.mean() - rf)) * k
        active = r - b
        ir = _ratio(active.mean(), active.std(ddof=1)) * math.sqrt(k)
    else:
        beta = alpha = ir = math.nan
    return {"BenchmarkReturn": bench_total, "ExcessReturn": total - bench_total, "Alpha": alpha, "Beta": beta,
            "InformationRatio": ir}


__all__ = ["compute_stats", "daily_returns", "max_drawdown", "PERIODS_PER_YEAR"]
