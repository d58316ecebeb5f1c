"""Bar kernels: combining 1-minute bars into 5-, 15- and 60-minute bars, day bars into weeks and months.

First, against pandas: 100 targets x 60,000 filled 1-minute bars (250 days
of 09:31-11:30 and 13:01-15:00), combined by clock bins (bars labelled by
their end) with tvCalcKDataBeginEndPos + tvCalcCombineMatrixHtoL, against
pandas in its fastest form (the shared reference, reference.bars): which
bars traded worked out column-wise (a filled bar has volume 0 and its prices
at the previous close), one clock-bin grouping (closed="right",
label="right") and one cythonised aggregation per kind (first/max/min over
the traded bars, last, sum(min_count=1)) over all columns of the same bars,
a bin without a traded bar filled at its last close; answers compared. The
usual spelling, .agg(dict) over the bars as they are, is timed too, as
pandas_agg (it lets filled bars lend their prices and cannot say
min_count=1, so its answers are not compared).

Then, against the lower bound: every combining kernel (whole bars with
tvCalcCombineMatrixHtoL, plain and adjusted; forming bars with
tvCalcCombineMatrix1toN, tvCalcDataValueFresh and tvCalcDataValueFresh_Adj),
each timed with the position kernel its callers run before it, against
_kernel_baseline (a bench-only module in build/test-modules): one plain fused loop over the same rows,
each bar one walk over its columns reading all fields together, with the
same arithmetic and nothing else (the bars given as consecutive groups of
columns, no positions, no head rows). 20 targets x 60,000 one-minute bars
into 5/15/60-minute clock bins, and 200 targets x 6,000 day bars into
weeks and months. The kernels must answer bit for bit as the loop does
(NaN-aware) and take at most 1.2 times its time.
"""
import numpy as np
import pandas as pd

from bench import report as timing
from bench.report import best_time, bench_only_module
from reference import bars as ref
from telvar.kestrum import numkern

baseline = bench_only_module("_kernel_baseline")

HEAD, BAR, ADJ = 4, 7, 4
WITHIN = 1.2  # a kernel's time at most this many times the plain loop's
FIRST_DAY = 739861  # 2025-09-01 as a serial day number
SESSION_MINUTES = np.r_[np.arange(9 * 60 + 31, 11 * 60 + 31), np.arange(13 * 60 + 1, 15 * 60 + 1)]


def random_bars(rng, targets, n):
    """Target rows of filled bars: random walks, bars without a trade at the last close
    with volume 0, some targets starting late (NaN before their first trade)."""
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
    return np.stack(fields, axis=1).reshape(targets * BAR, n)


def kmatrix(time_line, day_pos, body):
    return np.ascontiguousarray(np.vstack([time_line, day_pos, np.zeros_like(time_line), time_line, body]))


def minute_bars(targets, days, seed=1):
    """A filled K matrix of minute bars and the bars' absolute minutes."""
    rng = np.random.default_rng(seed)
    weekdays = np.flatnonzero(np.arange(days * 7 // 5 + 7) % 7 < 5)[:days]
    minutes = ((FIRST_DAY + weekdays)[:, None] * 1440 + SESSION_MINUTES[None, :]).ravel()
    body = random_bars(rng, targets, minutes.size)
    return kmatrix(minutes / 1440.0, np.tile(np.arange(1.0, 241.0), days), body), minutes


def day_bars(targets, days, seed=2):
    """A filled K matrix of day bars stamped at 15:00, and the bars' dates."""
    rng = np.random.default_rng(seed)
    weekdays = FIRST_DAY + np.flatnonzero(np.arange(days * 7 // 5 + 7) % 7 < 5)[:days]
    body = random_bars(rng, targets, weekdays.size)
    dates = pd.to_datetime((weekdays - 719529) * 86400, unit="s")
    return kmatrix(weekdays + 15 / 24, np.ones(weekdays.size), body), dates


def adjusted_prices(matrix, targets, seed=3):
    """Open..close of every target, scaled by a factor that steps down at a few columns."""
    rng = np.random.default_rng(seed)
    n = matrix.shape[1]
    steps = np.zeros((targets, n))
    steps[np.arange(targets)[:, None], rng.integers(1, n, (targets, 3))] = 1
    factor = 0.97 ** np.cumsum(steps, axis=1)
    prices = matrix[HEAD:].reshape(targets, BAR, n)[:, :ADJ]
    return np.ascontiguousarray((prices * factor[:, None, :]).reshape(targets * ADJ, n))


def group_ends(keys):
    """The last column of each run of equal keys."""
    keys = np.asarray(keys)
    return np.r_[np.flatnonzero(keys[1:] != keys[:-1]), keys.size - 1].astype(np.int64)


def same_bits(a, b):
    """Equal to the last bit, any NaN equal to any NaN."""
    a, b = np.asarray(a), np.asarray(b)
    if a.shape != b.shape:
        return False
    both_nan = np.isnan(a) & np.isnan(b)
    return bool(np.all((a.view(np.uint64) == b.view(np.uint64)) | both_nan))


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


def head_rows(tl):
    """The head rows of a K matrix of bars `tl`: all the whole-bar kernel reads of its output's matrix."""
    return np.vstack([tl, np.ones_like(tl), np.zeros_like(tl), tl])


def against_pandas(report):
    targets, days = (10, 50) if report.quick else (100, 250)
    matrix, minutes = minute_bars(targets, days)
    n = minutes.size
    base_tl = matrix[0]
    report.section(f"combining {targets} targets x {n} one-minute bars (K matrix {matrix.nbytes / 2**20:.0f} MiB)")
    index = pd.to_datetime((minutes - 719529 * 1440) * 60, unit="s")
    frame = pd.DataFrame(matrix[HEAD:].T, index=index, copy=False)
    t_read, _ = best_time(lambda: matrix.sum(), repeat=5)
    report.line(f"reading the K matrix once (numpy sum, the memory floor): {t_read * 1e3:.1f} ms")
    ratios = []
    for width in (5, 15, 60):
        ends = np.unique(-(-minutes // width) * width)
        tl = ends / 1440.0
        prepared = head_rows(tl)

        def ours():
            begin, end = numkern.tvCalcKDataBeginEndPos(base_tl, tl)
            return numkern.tvCalcCombineMatrixHtoL(matrix, prepared, begin, end, BAR, 0)

        t_ours, out = best_time(ours, repeat=5)
        t_pandas, expect = best_time(lambda: pandas_bars(frame, width, targets), repeat=3)
        t_agg, _ = best_time(lambda: pandas_agg_dict(frame, width), repeat=2)
        report.compare(f"{width:>2}-minute bars ({tl.size} bars)", t_ours, pandas=t_pandas, pandas_agg=t_agg)
        ratios.append(t_pandas / t_ours)

        expect_times = np.round((expect.index - pd.Timestamp(0)).total_seconds().to_numpy() / 60) + 719529 * 1440
        expect = expect.loc[np.isin(expect_times, ends)].reindex(columns=range(targets * BAR))
        ok = expect.shape[0] == tl.size and np.allclose(out[HEAD:], expect.to_numpy().T, rtol=1e-9, equal_nan=True)
        report.check(f"{width}-minute bars equal pandas resample", ok)
    report.target("speed-up over pandas (worst of 5/15/60)", min(ratios), 30)


def kernel_cases(matrix, adj, traded, tl, ends):
    """(kernel, its call, the plain loop's call) for every combining kernel over the bars `tl`
    of base matrix `matrix`, whose consecutive groups of base columns end at `ends`.
    Each call returns the target rows it made."""
    base_tl = matrix[0]
    targets = adj.shape[0] // ADJ
    prepared, no_head = head_rows(tl), np.empty((0, tl.size))

    def whole():
        begin, end = numkern.tvCalcKDataBeginEndPos(base_tl, tl)
        return numkern.tvCalcCombineMatrixHtoL(matrix, prepared, begin, end, BAR, 0)[HEAD:]

    def whole_adj():
        begin, end = numkern.tvCalcKDataBeginEndPos(base_tl, tl)
        return numkern.tvCalcCombineMatrixHtoL(adj, no_head, begin, end, ADJ, 0, 0, traded)

    def one_to_n():
        begin, end = numkern.tvCalcRegKDataBeginEndPos(base_tl, tl, 0)
        return numkern.tvCalcCombineMatrix1toN(matrix, begin, end, BAR, 0)[HEAD:]

    def fresh():
        begin, end = numkern.tvCalcRegKDataBeginEndPos(base_tl, tl, 0)
        return numkern.tvCalcDataValueFresh(matrix, begin, end, BAR, targets, 0)[1:]

    def fresh_adj():
        begin, end = numkern.tvCalcRegKDataBeginEndPos(base_tl, tl, 0)
        return numkern.tvCalcDataValueFresh_Adj(adj, begin, end, ADJ, targets, 0, traded)

    return [
        ("HtoL", whole, lambda: baseline.combine(matrix, ends, HEAD, BAR)),
        ("HtoL adjusted", whole_adj, lambda: baseline.combine(adj, ends, 0, ADJ, traded)),
        ("1toN", one_to_n, lambda: baseline.forming(matrix, ends, HEAD, BAR)),
        ("DataValueFresh", fresh, lambda: baseline.forming(matrix, ends, HEAD, BAR)),
        ("DataValueFresh_Adj", fresh_adj, lambda: baseline.forming(adj, ends, 0, ADJ, traded)),
    ]


def paired_best(ours, plain, repeat=7):
    """Best times of ours() and plain(), called in turns so that a burst of
    other work on the machine falls on both; and their last results."""
    best, results = [float("inf")] * 2, [None, None]
    for _ in range(repeat):
        for k, fn in enumerate((ours, plain)):
            start = timing.clock()
            results[k] = fn()
            best[k] = min(best[k], timing.clock() - start)
    return best, results


def against_plain_loop(report, label, matrix, frequencies):
    """frequencies: (name, bar times, group ends) of each frequency to combine `matrix` into."""
    targets = (matrix.shape[0] - HEAD) // BAR
    adj = adjusted_prices(matrix, targets)
    traded = numkern.tvCalcTradedMask(matrix)
    report.section(f"{label}: every combining kernel against the plain fused loop "
                   f"({targets} targets x {matrix.shape[1]} bars, K matrix {matrix.nbytes / 2**20:.0f} MiB)")
    for name, tl, ends in frequencies:
        for kernel, ours, plain in kernel_cases(matrix, adj, traded, tl, ends):
            (t_ours, t_plain), (got, want) = paired_best(ours, plain)
            what = f"{kernel}, {name}"
            report.compare(what, t_ours, plain_loop=t_plain)
            report.check(f"{what} equals the plain loop bit for bit", same_bits(got, want))
            report.target(f"{what}: plain loop time / ours", t_plain / t_ours, 1 / WITHIN)


def run(report):
    against_pandas(report)

    targets, days = (4, 50) if report.quick else (20, 250)
    matrix, minutes = minute_bars(targets, days)
    frequencies = []
    for width in (5, 15, 60):
        bins = -(-minutes // width) * width  # a bar is labelled by its end
        frequencies.append((f"{width}-minute", np.unique(bins) / 1440.0, group_ends(bins)))
    against_plain_loop(report, "one-minute bars", matrix, frequencies)

    targets, days = (20, 500) if report.quick else (200, 6000)
    matrix, dates = day_bars(targets, days)
    frequencies = []
    for name, keys in (("weekly", dates.to_period("W").asi8), ("monthly", dates.to_period("M").asi8)):
        ends = group_ends(keys)
        frequencies.append((name, matrix[0][ends], ends))  # a bar carries the stamp of its last day
    against_plain_loop(report, "day bars", matrix, frequencies)
