"""Bar kernels: combining 1-minute bars into 5-, 15- and 60-minute bars.

100 targets x 60,000 filled 1-minute bars (250 days of 09:31-11:30 and
13:01-15:00), combined by clock bins (bars labelled by their end) with
tvCalcKDataBeginEndPos + tvCalcCombineMatrixHtoL, against
  (a) pandas, its fastest form (the shared reference, reference.bars):
      which bars traded worked out column-wise (a filled bar has volume 0
      and its prices at the previous close), one clock-bin grouping
      (closed="right", label="right") and one cythonised aggregation per
      kind (first/max/min over the traded bars, last, sum(min_count=1)) over
      all columns of the same bars, a bin without a traded bar filled at its
      last close; answers compared. The usual
      spelling, .agg(dict) over the bars as they are, is timed too, as
      pandas_agg (it lets filled bars lend their prices and cannot say
      min_count=1, so its answers are not compared), and
  (b) the lower bound: numkern._bench_plain_combine, one plain pass over
      the same rows in fixed groups of N columns doing only the arithmetic.
For 5 and 15 minutes those groups are exactly the clock bins (answers
compared); for 60 minutes the clock bins of a session are 30/60/30/60/60
bars, so the loop reads the same bars in groups of 60.
The forming-bar kernel (tvCalcRegKDataBeginEndPos + tvCalcDataValueFresh,
the bar formed so far at every minute) against numkern._bench_plain_forming.
"""
import numpy as np
import pandas as pd

from bench.report import best_time
from reference import bars as ref
from telvar.kestrum import numkern

HEAD, BAR = 4, 7
FIRST_DAY = 739861  # 2025-09-01 as a serial day number
SESSION_MINUTES = np.r_[np.arange(9 * 60 + 31, 11 * 60 + 31), np.arange(13 * 60 + 1, 15 * 60 + 1)]


def minute_bars(targets, days, seed=1):
    """A filled K matrix of minute bars and the bars' absolute minutes."""
    rng = np.random.default_rng(seed)
    weekdays = np.flatnonzero(np.arange(days * 7 // 5 + 7) % 7 < 5)[:days]
    minutes = ((FIRST_DAY + weekdays)[:, None] * 1440 + SESSION_MINUTES[None, :]).ravel()
    n = minutes.size
    close = 100 * np.exp(np.cumsum(rng.normal(0, 0.001, (targets, n)), axis=1))
    traded = rng.random((targets, n)) < rng.uniform(0.3, 0.95, (targets, 1))
    first = np.where(rng.random(targets) < 0.2, rng.integers(0, n // 2, targets), 0)
    traded &= np.arange(n)[None, :] >= first[:, None]
    last_trade = np.maximum.accumulate(np.where(traded, np.arange(n), -1), axis=1)
    carried = np.where(last_trade >= 0, np.take_along_axis(close, np.maximum(last_trade, 0), axis=1), np.nan)
    prev = np.c_[carried[:, :1], carried[:, :-1]]
    opened = np.where(traded, prev * (1 + rng.normal(0, 0.0005, (targets, n))), carried)
    opened = np.where(np.isnan(opened) & traded, carried, opened)
    spread = np.where(traded, np.abs(rng.normal(0, 0.0008, (targets, n))), 0.0)
    volume = np.where(traded, rng.integers(1, 2000, (targets, n)), 0).astype(float)
    volume[np.isnan(carried)] = np.nan
    fields = [opened, np.maximum(opened, carried) * (1 + spread), np.minimum(opened, carried) * (1 - spread),
              carried, volume, volume * carried, 1e5 + np.cumsum(rng.integers(-20, 21, (targets, n)), axis=1)]
    fields[6] = np.where(np.isnan(carried), np.nan, fields[6])
    body = np.stack(fields, axis=1).reshape(targets * BAR, n)
    time_line = minutes / 1440.0
    head = np.vstack([time_line, np.tile(np.arange(1.0, 241.0), days), np.zeros(n), time_line])
    return np.ascontiguousarray(np.vstack([head, body])), minutes


def pandas_bars(frame, width, targets):
    """The pandas way (the shared reference): traded bars by whole columns, one grouping, one aggregation per kind."""
    values = frame.to_numpy()
    cols = np.arange(targets * BAR).reshape(targets, BAR)
    traded = ref.traded_columns(*(values[:, cols[:, f]] for f in range(5)))
    return ref.combine_series(frame, [ref.FIELDS[c % BAR] for c in frame.columns], frame.columns // BAR, traded,
                              pd.Grouper(freq=f"{width}min", closed="right", label="right"))


def pandas_agg_dict(frame, width):
    """The usual spelling, resample().agg({column: function})."""
    how = {c: ["first", "max", "min", "last", "sum", "sum", "last"][c % BAR] for c in frame.columns}
    return frame.resample(f"{width}min", closed="right", label="right").agg(how)


def run(report):
    targets, days = (10, 50) if report.quick else (100, 250)
    matrix, minutes = minute_bars(targets, days)
    n = minutes.size
    base_tl = matrix[0]
    report.section(f"combining {targets} targets x {n} one-minute bars (K matrix {matrix.nbytes / 2**20:.0f} MiB)")
    index = pd.to_datetime((minutes - 719529 * 1440) * 60, unit="s")
    frame = pd.DataFrame(matrix[HEAD:].T, index=index, copy=False)
    t_read, _ = best_time(lambda: matrix.sum(), repeat=5)
    report.line(f"reading the K matrix once (numpy sum, the memory floor): {t_read * 1e3:.1f} ms")
    ratios_pandas, ratios_plain = [], []
    for width in (5, 15, 60):
        ends = np.unique(-(-minutes // width) * width)
        tl = ends / 1440.0
        prepared = np.vstack([np.vstack([tl, np.ones_like(tl), np.zeros_like(tl), tl]),
                              np.zeros((targets * BAR, tl.size))])

        def ours():
            begin, end = numkern.tvCalcKDataBeginEndPos(base_tl, tl)
            return numkern.tvCalcCombineMatrixHtoL(matrix, prepared, begin, end, BAR, 0)

        t_ours, out = best_time(ours, repeat=5)
        t_plain, plain = best_time(lambda: numkern._bench_plain_combine(matrix, width, HEAD, BAR), repeat=5)
        t_pandas, expect = best_time(lambda: pandas_bars(frame, width, targets), repeat=3)
        t_agg, _ = best_time(lambda: pandas_agg_dict(frame, width), repeat=2)
        report.compare(f"{width:>2}-minute bars ({tl.size} bars)", t_ours, pandas=t_pandas, pandas_agg=t_agg,
                       plain_loop=t_plain)
        ratios_pandas.append(t_pandas / t_ours)
        ratios_plain.append(t_ours / t_plain)

        expect_times = np.round((expect.index - pd.Timestamp(0)).total_seconds().to_numpy() / 60) + 719529 * 1440
        expect = expect.loc[np.isin(expect_times, ends)].reindex(columns=range(targets * BAR))
        ok = expect.shape[0] == tl.size and np.allclose(out[HEAD:], expect.to_numpy().T, rtol=1e-9, equal_nan=True)
        report.check(f"{width}-minute bars equal pandas resample", ok)
        if width in (5, 15):
            report.check(f"{width}-minute bars equal the plain loop",
                         np.array_equal(out[HEAD:], plain, equal_nan=True))

    report.target("speed-up over pandas (worst of 5/15/60)", min(ratios_pandas), 30)
    report.target("plain loop time / ours (worst)", 1 / max(ratios_plain), 0.5)

    report.section(f"forming 15-minute bars at every minute ({targets} targets x {n} bars)")
    tl15 = np.unique(-(-minutes // 15) * 15) / 1440.0

    def forming():
        begin, end = numkern.tvCalcRegKDataBeginEndPos(base_tl, tl15, 0)
        return numkern.tvCalcDataValueFresh(matrix, begin, end, BAR, targets, 0)

    t_ours, fresh = best_time(forming, repeat=5)
    t_plain, plain = best_time(lambda: numkern._bench_plain_forming(matrix, 15, HEAD, BAR), repeat=5)
    report.throughput("tvCalcDataValueFresh", n * targets, t_ours, unit="bars x targets")
    report.throughput("plain forming loop", n * targets, t_plain, unit="bars x targets")
    report.compare("forming bars", t_ours, plain_loop=t_plain)
    report.check("forming bars equal the plain loop", np.array_equal(fresh[1:], plain, equal_nan=True))
    report.target("plain loop time / ours (forming)", t_plain / t_ours, 0.5)
