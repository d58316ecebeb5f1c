"""A benchmark's daily returns on the run's trading days, from its day bars.

A day's return is its close over the previous trading day's close (the last
close before the run for the first day, read from up to a month earlier, or
the first day's own open when the benchmark has no earlier close, as on the
store's first day); a day without a close of its own carries the last one
(return 0).
"""
import numpy as np
import pandas as pd


def benchmark_closes(key, first_day, last_day, reader=None):
    """(dates, closes, opens) of ``key``'s day bars from about a month before ``first_day`` to ``last_day``."""
    if reader is None:
        from telvar.api.history import _history

        reader = _history.get_k_data_independent_target
    from telvar.kestrum.utils.datetimefunc import int_date_to_ordinal, mft_to_int_format

    start = int(mft_to_int_format(float(int_date_to_ordinal(int(first_day)) - 35)))
    arrays = reader([key], "day", 1, start, int(last_day), True, "NA")
    bars = np.asarray(arrays[0], dtype=np.float64)
    if bars.ndim != 2 or bars.shape[0] < 5 or bars.shape[1] == 0:
        raise ValueError("no day bars of the benchmark %s up to %s" % (key, last_day))
    dates = np.asarray(mft_to_int_format(np.floor(bars[0])), dtype=np.int64)
    return dates, bars[4], bars[1]


def benchmark_returns(dates, closes, run_days, opens=None):
    """Daily returns on ``run_days`` and the closes behind them (a Series by date, the day before first)."""
    series = pd.Series(closes, index=dates).dropna()
    series = series[~series.index.duplicated(keep="last")]
    run_days = np.asarray(run_days, dtype=np.int64)
    before = series[series.index < run_days[0]]
    if before.empty:
        before = _first_open(dates, opens, run_days[0])
    on_days = series.reindex(series.index.union(run_days)).ffill().reindex(run_days)
    if on_days.isna().any():
        raise ValueError("the benchmark has no close on some of the run's days")
    previous = np.r_[before.iloc[-1], on_days.to_numpy()[:-1]]
    return on_days.to_numpy() / previous - 1.0, pd.Series(np.r_[before.iloc[-1], on_days.to_numpy()],
                                                        index=np.r_[before.index[-1], run_days])


def _first_open(dates, opens, first_day):
    """The first run day's open as a one-entry Series dated the day before, when nothing closed earlier."""
    if opens is not None:
        on_first = np.asarray(opens, dtype=np.float64)[np.asarray(dates) == first_day]
        if on_first.size and np.isfinite(on_first[0]) and on_first[0] > 0:
            return pd.Series([on_first[0]], index=[first_day - 1])
    raise ValueError("the benchmark has no close before %d nor an open on it" % first_day)


def check_benchmark(dates, closes, opens, first_day):
    """Raise now, before a run, when the benchmark cannot give the first day a return."""
    series = pd.Series(closes, index=dates).dropna()
    if series[series.index < first_day].empty:
        _first_open(dates, opens, first_day)


__all__ = ["benchmark_closes", "benchmark_returns", "check_benchmark"]
