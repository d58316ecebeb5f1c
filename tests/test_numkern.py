"""The bar kernels against plain numpy/pandas reference definitions.

Combining is checked against the shared pandas reference (reference.bars:
open/high/low first/max/min over the traded bars, close last, volume and
turnover sum(min_count=1), open interest last, a bar without a traded bar
filled at its last close); positions against np.searchsorted.
"""
import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

from reference import bars as ref
from telvar.kestrum import numkern as nk

HEAD, BAR = 4, 7
MINUTE = 1.0 / 1440.0


# ----------------------------------------------------------------- references

def ref_begin_end(base_tl, tl):
    """For every bar of tl: first and last base column in (tl[k-1], tl[k]]."""
    end = np.searchsorted(base_tl, tl, side="right") - 1
    begin = np.r_[0, end[:-1] + 1] if tl.size else end.copy()
    return begin, end


def ref_reg_begin_end(base_tl, tl):
    """For every base column: first and last base column of its bar of tl."""
    n, m = base_tl.size, tl.size
    bar = np.searchsorted(tl, base_tl, side="left")
    bounds = np.searchsorted(base_tl, tl, side="right")  # columns <= tl[k]
    starts = np.r_[0, bounds]
    ends = np.r_[bounds - 1, n - 1]
    return starts[bar].astype(np.int64), ends[np.minimum(bar, m)].astype(np.int64)


pandas_ranges = ref.combine_ranges
pandas_forming = ref.forming_ranges


# ------------------------------------------------------------- synthetic data

def filled_bars(rng, targets, n, nan_tail_runs=True, volumes="real"):
    """K-matrix target rows of filled minute bars: NaN before a target's first
    trade, volume 0 and price = last close where it did not trade, opens that
    gap away from the last close, and (to exercise NaN skipping) occasional
    NaN runs inside the series. volumes="nan" or "zero": a feed without
    volumes (NaN, or 0 everywhere; turnover likewise)."""
    body = np.full((targets * BAR, n), np.nan)
    for t in range(targets):
        first = int(rng.integers(0, max(1, n // 3) + 1)) if n else 0
        close = 100 * np.exp(np.cumsum(rng.normal(0, 0.002, n)))
        trades = rng.random(n) < 0.7
        last = np.nan
        for c in range(first, n):
            if trades[c]:
                o = (last if last == last else close[c]) * (1 + rng.normal(0, 0.003))
                hi, lo = max(o, close[c]) * 1.001, min(o, close[c]) * 0.999
                vol = float(rng.integers(1, 500))
                bar = [o, hi, lo, close[c], vol, vol * close[c], 1000 + c]
                last = close[c]
            else:
                bar = [last, last, last, last, 0.0, 0.0, 1000 + c]
            body[t * BAR:(t + 1) * BAR, c] = bar
        if volumes != "real":
            body[t * BAR + 4:t * BAR + 6] = np.nan if volumes == "nan" else 0.0
        if nan_tail_runs and n > 4 and rng.random() < 0.5:
            a = int(rng.integers(0, n - 2))
            body[t * BAR:(t + 1) * BAR, a:a + int(rng.integers(1, 4))] = np.nan
    return body


def day_positions(rng, n, max_day=12):
    """Day positions 1, 2, ... restarting at random day lengths."""
    pos = []
    while len(pos) < n:
        pos.extend(range(1, int(rng.integers(1, max_day + 1)) + 1))
    return np.array(pos[:n], dtype=float)


def kmatrix(body, time_line, day_pos=None):
    n = time_line.size
    head = np.full((HEAD, n), np.nan)
    head[0] = time_line
    head[1] = 1.0 if day_pos is None else day_pos
    head[2] = 0.0
    head[3] = time_line
    return np.vstack([head, body])


def minute_times(rng, n):
    """Ascending bar times with gaps (session breaks, nights)."""
    steps = np.where(rng.random(n) < 0.05, 0.4, MINUTE)
    return 739500.0 + np.cumsum(steps)


case = st.fixed_dictionaries({
    "seed": st.integers(0, 2**31 - 1),
    "n": st.integers(0, 70),
    "targets": st.integers(0, 3),
    "volumes": st.sampled_from(["real", "real", "nan", "zero"]),
})


# -------------------------------------------------------------- combining HtoL

class TestCombineHtoL:
    @settings(max_examples=40, deadline=None)
    @given(case, st.integers(0, 25))
    def test_matches_pandas_on_random_time_lines(self, c, m):
        rng = np.random.default_rng(c["seed"])
        base_tl = minute_times(rng, c["n"])
        body = filled_bars(rng, c["targets"], c["n"], volumes=c["volumes"])
        base = kmatrix(body, base_tl)
        lo = base_tl[0] - 0.01 if c["n"] else 739500.0
        hi = base_tl[-1] + 0.01 if c["n"] else 739501.0
        # coarser bars: some at base times, some between or outside them,
        # duplicates (empty bars) included
        tl = np.sort(np.r_[rng.choice(base_tl, min(m, c["n"]), replace=False) if c["n"] else [],
                           rng.uniform(lo, hi, m // 3)])
        begin, end = nk.tvCalcKDataBeginEndPos(base_tl, tl)
        rb, re_ = ref_begin_end(base_tl, tl)
        np.testing.assert_array_equal(begin, rb)
        np.testing.assert_array_equal(end, re_)
        target = kmatrix(np.zeros((c["targets"] * BAR, tl.size)), tl)
        out = nk.tvCalcCombineMatrixHtoL(base, target, begin, end, BAR, 0)
        assert out.shape == target.shape
        np.testing.assert_array_equal(out[:HEAD], target[:HEAD])
        np.testing.assert_allclose(out[HEAD:], pandas_ranges(body, begin, end), rtol=1e-12)

    def test_five_minute_bars_equal_pandas_resample(self):
        rng = np.random.default_rng(7)
        n, targets = 240, 3
        stamps = pd.date_range("2025-09-01 09:01", periods=n, freq="1min")
        base_tl = 739861.0 + (stamps - pd.Timestamp("2025-09-01")).total_seconds().to_numpy() / 86400
        body = filled_bars(rng, targets, n)
        for width in (5, 15, 60):
            tl = base_tl[width - 1::width]
            begin, end = nk.tvCalcKDataBeginEndPos(base_tl, tl)
            out = nk.tvCalcCombineMatrixHtoL(kmatrix(body, base_tl), kmatrix(np.zeros((targets * BAR, tl.size)), tl),
                                             begin, end, BAR, 0)
            for t in range(targets):
                frame = ref.block_frame(body, t).set_index(stamps)
                expect = ref.combine(frame, pd.Grouper(freq=f"{width}min", closed="right", label="right"),
                                     sort=True)
                np.testing.assert_allclose(out[HEAD + t * BAR:HEAD + (t + 1) * BAR], expect.to_numpy().T,
                                           rtol=1e-12)

    def test_all_nan_range_is_nan_not_zero_and_single_bar_is_itself(self):
        base_tl = np.arange(1.0, 7.0)
        body = np.arange(42.0).reshape(7, 6)
        body[:, 2:4] = np.nan
        out = nk.tvCalcCombineMatrixHtoL(kmatrix(body, base_tl), kmatrix(np.zeros((7, 3)), np.array([2., 4, 5])),
                                         [0, 2, 4], [1, 3, 4], BAR, 0)
        assert np.isnan(out[HEAD:, 1]).all()  # volume too: NaN, not 0
        np.testing.assert_array_equal(out[HEAD:, 2], body[:, 4])

    def test_zero_sums_and_infinities_are_values_not_gaps(self):
        nan, inf = np.nan, np.inf
        row = np.array([0.0, 0.0, nan, 0.0, 0.0, 0.0, nan, nan, nan, nan, nan, -inf, nan, inf, 2.0])
        body = np.tile(row, (7, 1))
        begin, end = np.array([0, 6, 11, 10]), np.array([5, 10, 12, 14])
        out = nk.tvCalcCombineMatrixHtoL(kmatrix(body, np.arange(15.0)), kmatrix(np.zeros((7, 4)), np.arange(4.0)),
                                         begin, end, BAR, 0)
        np.testing.assert_array_equal(out[HEAD:], pandas_ranges(body, begin, end))
        assert out[HEAD + 4, 0] == 0.0 and np.isnan(out[HEAD + 4, 1])  # volume: 0 traded vs no data
        assert out[HEAD + 1, 2] == -inf and out[HEAD + 2, 3] == -inf and out[HEAD + 1, 3] == inf

    def test_offset_takes_absolute_positions_on_a_matrix_tail(self):
        rng = np.random.default_rng(3)
        base_tl = minute_times(rng, 50)
        base = kmatrix(filled_bars(rng, 2, 50), base_tl)
        tl = base_tl[[24, 29, 34, 49]]
        begin, end = nk.tvCalcKDataBeginEndPos(base_tl, tl)
        target = kmatrix(np.zeros((14, 4)), tl)
        full = nk.tvCalcCombineMatrixHtoL(base, target, begin, end, BAR, 0)
        tail = nk.tvCalcCombineMatrixHtoL(base[:, 20:], target[:, 1:], begin[1:], end[1:], BAR, 20)
        np.testing.assert_array_equal(tail, full[:, 1:])

    def test_adjusted_layout_by_head_len(self):
        body = np.random.default_rng(1).normal(size=(8, 10))
        out = nk.tvCalcCombineMatrixHtoL(body, np.zeros((8, 2)), [0, 5], [4, 9], 4, 0, head_len=0)
        np.testing.assert_allclose(out, pandas_ranges(body, np.array([0, 5]), np.array([4, 9]), bar_len=4))


# ------------------------------------------------- N-unit bars and forming bars

class TestFreshMask:
    @settings(max_examples=40, deadline=None)
    @given(st.integers(0, 2**31 - 1), st.integers(0, 60), st.integers(1, 7))
    def test_intraday_counts_per_day(self, seed, n, freq_num):
        day_pos = day_positions(np.random.default_rng(seed), n)
        mask = nk.tvCalculateFreshMask(day_pos, 1, freq_num)
        next_is_start = np.r_[day_pos[1:] == 1, False]  # the series may stop inside a day
        np.testing.assert_array_equal(mask, (day_pos % freq_num == 0) | next_is_start)
        assert mask.dtype == np.bool_

    def test_day_and_coarser_count_over_the_series(self):
        np.testing.assert_array_equal(nk.tvCalculateFreshMask(np.ones(7), 2, 3),
                                      [0, 0, 1, 0, 0, 1, 0])
        np.testing.assert_array_equal(nk.tvCalculateFreshMask(np.ones(4), 4, 1), [1, 1, 1, 1])
        assert nk.tvCalculateFreshMask(np.array([]), 1, 5).size == 0

    def test_day_last_bar_and_series_end(self):
        # a 7-bar day in 5-bar units: bars 5 and 7 close; a series stopping
        # inside a bar leaves its last bar open; positions before the first
        # day start close only where that day starts
        mask = nk.tvCalculateFreshMask(np.array([0, 0, 1, 2, 3, 4, 5, 6, 7, 1, 2, 3]), 1, 5)
        np.testing.assert_array_equal(np.flatnonzero(mask), [1, 6, 8])


class TestNUnitSynthesis:
    @settings(max_examples=40, deadline=None)
    @given(case, st.integers(1, 6))
    def test_complete_bars_match_pandas_per_day_groups(self, c, freq_num):
        rng = np.random.default_rng(c["seed"])
        n = c["n"]
        tl, day_pos = minute_times(rng, n), day_positions(rng, n)
        body = filled_bars(rng, c["targets"], n, volumes=c["volumes"])
        matrix = kmatrix(body, tl, day_pos)
        mask = nk.tvCalculateFreshMask(matrix[1], 1, freq_num)
        begin, end = nk.tvCalcRegKDataBeginEndPos(tl, tl[mask], 0)
        rb, re_ = ref_reg_begin_end(tl, tl[mask])
        np.testing.assert_array_equal(begin, rb)
        np.testing.assert_array_equal(end, re_)
        combined = nk.tvCalcCombineMatrix1toN(matrix, begin, end, BAR, 0)
        np.testing.assert_array_equal(combined[:HEAD], matrix[:HEAD])
        np.testing.assert_allclose(combined[HEAD:], pandas_forming(body, begin, end), rtol=1e-12)
        # complete bars: per trading day, groups of freq_num day positions
        day = np.cumsum(day_pos == 1)
        label = day * 1000 + (day_pos - 1) // freq_num
        keys = pd.factorize(label)[0]
        whole = ref.combine_columns(body, np.arange(n), keys, keys.max() + 1 if n else 0)
        closed = keys[mask]
        np.testing.assert_allclose(combined[HEAD:, mask], whole[:, closed], rtol=1e-12)

    @settings(max_examples=30, deadline=None)
    @given(case, st.integers(0, 20))
    def test_forming_bars_of_a_registered_time_line(self, c, m):
        rng = np.random.default_rng(c["seed"])
        n, targets = c["n"], c["targets"]
        base_tl = minute_times(rng, n)
        body = filled_bars(rng, targets, n, volumes=c["volumes"])
        base = kmatrix(body, base_tl)
        reg_tl = np.sort(rng.choice(base_tl, min(m, n), replace=False)) if n else np.array([])
        reg_tl = np.r_[reg_tl, reg_tl[-1:] + 0.5 * MINUTE]  # one bar between base times
        begin, end = nk.tvCalcRegKDataBeginEndPos(base_tl, np.sort(reg_tl), 0)
        rb, re_ = ref_reg_begin_end(base_tl, np.sort(reg_tl))
        np.testing.assert_array_equal(begin, rb)
        np.testing.assert_array_equal(end, re_)
        fresh = nk.tvCalcDataValueFresh(base, begin, end, BAR, targets, 0)
        assert fresh.shape == (1 + targets * BAR, n)
        np.testing.assert_array_equal(fresh[0], base_tl)
        np.testing.assert_allclose(fresh[1:], pandas_forming(body, begin, end), rtol=1e-12)
        # adjusted: four price rows per target, no head rows, no time row
        adj = body.reshape(targets, BAR, n)[:, :4].reshape(targets * 4, n)
        # the traded mask of the unadjusted bars makes them the same bars
        fresh_adj = nk.tvCalcDataValueFresh_Adj(adj, begin, end, 4, targets, 0, traded=nk.tvCalcTradedMask(base))
        np.testing.assert_array_equal(fresh_adj, fresh[1:].reshape(targets, BAR, n)[:, :4].reshape(targets * 4, n))
        # without it every bar with a close counts as traded
        np.testing.assert_allclose(nk.tvCalcDataValueFresh_Adj(adj, begin, end, 4, targets, 0),
                                   pandas_forming(adj, begin, end, bar_len=4), rtol=1e-12)

    def test_trailing_bar_keeps_forming_to_the_end(self):
        base_tl = np.arange(1.0, 8.0)
        begin, end = nk.tvCalcRegKDataBeginEndPos(base_tl, np.array([3.0]), 0)
        np.testing.assert_array_equal(begin, [0, 0, 0, 3, 3, 3, 3])
        np.testing.assert_array_equal(end, [2, 2, 2, 6, 6, 6, 6])
        begin, end = nk.tvCalcRegKDataBeginEndPos(base_tl, np.array([]), 5)
        np.testing.assert_array_equal(begin, [5] * 7)
        np.testing.assert_array_equal(end, [11] * 7)

    def test_offset_forming_bars_on_a_tail(self):
        rng = np.random.default_rng(11)
        base_tl = minute_times(rng, 40)
        base = kmatrix(filled_bars(rng, 2, 40), base_tl)
        begin, end = nk.tvCalcRegKDataBeginEndPos(base_tl, base_tl[4::5], 0)
        full = nk.tvCalcDataValueFresh(base, begin, end, BAR, 2, 0)
        tail_begin, tail_end = nk.tvCalcRegKDataBeginEndPos(base_tl[15:], base_tl[19::5], 15)
        np.testing.assert_array_equal(tail_begin, begin[15:])
        tail = nk.tvCalcDataValueFresh(base[:, 15:], tail_begin, tail_end, BAR, 2, 15)
        np.testing.assert_array_equal(tail, full[:, 15:])


# ------------------------------------------------------------------ filled bars

def one_target(rows):
    """A one-target K matrix from per-minute rows (open, high, low, close, volume, turnover, oi)."""
    body = np.array(rows, dtype=float).T
    return kmatrix(body, 739861.0 + np.arange(1, body.shape[1] + 1) * MINUTE)


GAP_UP = [  # a stock closing at 10.00, untraded for two minutes, then trading at 11.00
    [9.9, 10.0, 9.9, 10.0, 50, 500, 7], [10.0, 10.0, 10.0, 10.0, 0, 0, 7], [10.0, 10.0, 10.0, 10.0, 0, 0, 7],
    [11.0, 11.5, 10.8, 11.2, 100, 1120, 8], [11.2, 11.3, 11.1, 11.25, 50, 562, 9],
    [11.25, 11.25, 11.25, 11.25, 0, 0, 9], [11.25, 11.25, 11.25, 11.25, 0, 0, 9]]


class TestFilledBars:
    def test_a_gap_up_after_untraded_minutes_opens_at_the_first_trade(self):
        base = one_target(GAP_UP)
        out = nk.tvCalcCombineMatrixHtoL(base, base[:HEAD, [0, 4, 6]], [0, 1, 5], [0, 4, 6], BAR)
        np.testing.assert_array_equal(out[HEAD:, 1], [11.0, 11.5, 10.8, 11.25, 150, 1682, 9])
        # a bar of filled minutes only is a filled bar at the last close
        np.testing.assert_array_equal(out[HEAD:, 2], [11.25] * 4 + [0, 0, 9])
        begin, end = nk.tvCalcRegKDataBeginEndPos(base[0], base[0, [0, 4, 6]], 0)
        fresh = nk.tvCalcDataValueFresh(base, begin, end, BAR, 1)
        # while the bar has seen only filled minutes it is a filled bar at 10.00
        np.testing.assert_array_equal(fresh[1:5, 1:3], [[10.0] * 2] * 4)
        np.testing.assert_array_equal(fresh[1:, 3], [11.0, 11.5, 10.8, 11.2, 100, 1120, 8])
        np.testing.assert_array_equal(fresh[1:, 4], out[HEAD:, 1])
        np.testing.assert_array_equal(nk.tvCalcTradedMask(base), [[1, 0, 0, 1, 1, 0, 0]])
        _, idx = nk.tvMatrixUnfillComplete(base, HEAD, BAR, 4)
        np.testing.assert_array_equal(idx[0], [0, 3, 4])

    def test_feeds_without_volumes_keep_their_prices(self):
        nan_volume = [r[:4] + [np.nan, np.nan, r[6]] for r in GAP_UP]
        zero_volume = [r[:4] + [0.0, 0.0, r[6]] for r in GAP_UP]
        zero_volume[5] = zero_volume[6] = [11.3, 11.3, 11.3, 11.3, 0, 0, 9]  # a flat move, then no change
        np.testing.assert_array_equal(nk.tvCalcTradedMask(one_target(nan_volume)), [[1] * 7])
        np.testing.assert_array_equal(nk.tvCalcTradedMask(one_target(zero_volume)), [[1, 0, 0, 1, 1, 1, 0]])
        out = nk.tvCalcCombineMatrixHtoL(one_target(nan_volume), np.zeros((HEAD, 1)), [1], [4], BAR)
        np.testing.assert_array_equal(out[HEAD:, 0], [10.0, 11.5, 10.0, 11.25, np.nan, np.nan, 9])
        out = nk.tvCalcCombineMatrixHtoL(one_target(zero_volume), np.zeros((HEAD, 1)), [1], [6], BAR)
        np.testing.assert_array_equal(out[HEAD:, 0], [11.0, 11.5, 10.8, 11.3, 0, 0, 9])

    def test_the_first_bar_in_view_is_judged_by_its_own_prices(self):
        rows = [[5.0, 5.0, 5.0, 5.0, 0, 0, 1], [5.0, 6.0, 5.0, 6.0, 3, 18, 1], [6.0, 6.0, 6.0, 6.0, 0, 0, 1]]
        np.testing.assert_array_equal(nk.tvCalcTradedMask(one_target(rows)), [[0, 1, 0]])
        nan_first = [[np.nan] * 4 + [np.nan, np.nan, np.nan]] + rows
        np.testing.assert_array_equal(nk.tvCalcTradedMask(one_target(nan_first)), [[0, 0, 1, 0]])

    @settings(max_examples=30, deadline=None)
    @given(st.integers(0, 2**31 - 1), st.integers(2, 60), st.integers(1, 3), st.integers(1, 8))
    def test_adjusted_forming_bars_across_a_roll(self, seed, n, targets, width):
        """Adjusted prices scale each stretch of a continuous contract by its
        own factor, so after a roll a filled bar's adjusted price is not the
        last adjusted close; the unadjusted bars say which bars traded."""
        rng = np.random.default_rng(seed)
        body = filled_bars(rng, targets, n, nan_tail_runs=False)
        roll = int(rng.integers(1, n))
        factor = np.where(np.arange(n) < roll, rng.uniform(0.8, 1.2), 1.0)
        adj = (body.reshape(targets, BAR, n)[:, :4] * factor).reshape(targets * 4, n)
        base = kmatrix(body, minute_times(rng, n))
        begin, end = nk.tvCalcRegKDataBeginEndPos(base[0], base[0, width - 1::width], 0)
        traded = nk.tvCalcTradedMask(base)
        np.testing.assert_array_equal(traded, ref.traded_rows(body))
        got = nk.tvCalcDataValueFresh_Adj(adj, begin, end, 4, targets, 0, traded)
        np.testing.assert_allclose(got, ref.forming_ranges(adj, begin, end, 4, traded), rtol=1e-12)
        tl = base[0, width - 1::width]
        b, e = nk.tvCalcKDataBeginEndPos(base[0], tl)
        whole = nk.tvCalcCombineMatrixHtoL(adj, np.zeros((0, tl.size)), b, e, 4, 0, 0, traded)
        np.testing.assert_allclose(whole, ref.combine_ranges(adj, b, e, 4, traded), rtol=1e-12)

    def test_head_rows_alone_and_bad_masks(self):
        base = one_target(GAP_UP)
        full = nk.tvCalcCombineMatrixHtoL(base, np.zeros_like(base[:, :2]) + base[:, [3, 6]], [0, 5], [3, 6], BAR)
        head_only = nk.tvCalcCombineMatrixHtoL(base, base[:HEAD, [3, 6]], [0, 5], [3, 6], BAR)
        np.testing.assert_array_equal(full, head_only)
        adj = base[HEAD:HEAD + 4]
        with pytest.raises(ValueError, match=r"traded has shape \(1, 3\), expected \(1, 7\)"):
            nk.tvCalcDataValueFresh_Adj(adj, np.zeros(7), np.zeros(7), 4, 1, 0, np.ones((1, 3)))
        with pytest.raises(ValueError, match="traded"):
            nk.tvCalcCombineMatrixHtoL(adj, np.zeros((0, 1)), [0], [6], 4, 0, 0, np.ones(7))
        with pytest.raises(TypeError, match="traded must be a numeric array"):
            nk.tvCalcCombineMatrixHtoL(adj, np.zeros((0, 1)), [0], [6], 4, 0, 0, "yes")


# ---------------------------------------------------------------- bookkeeping

class TestBookkeeping:
    @settings(max_examples=40, deadline=None)
    @given(case)
    def test_unfill_complete(self, c):
        rng = np.random.default_rng(c["seed"])
        n, targets = c["n"], c["targets"]
        matrix = kmatrix(filled_bars(rng, targets, n, volumes=c["volumes"]), minute_times(rng, n))
        bar_ref, idx = nk.tvMatrixUnfillComplete(matrix, HEAD, BAR, 4)
        assert len(bar_ref) == len(idx) == targets
        for t in range(targets):
            real = np.flatnonzero(ref.traded_rows(matrix[HEAD:])[t])
            np.testing.assert_array_equal(idx[t], real)
            assert idx[t].dtype == np.int64
            last_real = (np.searchsorted(real, np.arange(n), side="right") - 1).astype(float)
            last_real[last_real < 0] = np.nan
            np.testing.assert_array_equal(bar_ref[t], last_real)

    @settings(max_examples=40, deadline=None)
    @given(st.integers(0, 2**31 - 1), st.integers(0, 40), st.integers(0, 40))
    def test_current_bar(self, seed, n, m):
        rng = np.random.default_rng(seed)
        tl = minute_times(rng, n)
        fresh = np.sort(np.r_[rng.choice(tl, min(n, m)) if n else [], rng.uniform(739499, 739502, m // 4)])
        got = nk.tvCalcKDataCurrentBar(tl, fresh)
        np.testing.assert_array_equal(got, np.searchsorted(tl, fresh, side="left"))
        assert got.dtype == np.int64

    @settings(max_examples=40, deadline=None)
    @given(st.lists(st.integers(-5, 5), max_size=30), st.lists(st.integers(-5, 5), max_size=30),
           st.booleans())
    def test_ismember(self, a, b, as_float):
        a_arr = np.array(a, dtype=float if as_float else np.int64)
        b_arr = np.array(b, dtype=np.int64)
        found, loc = nk.ismember(a_arr, b_arr)
        first = {}
        for i, x in enumerate(b):
            first.setdefault(x, i)
        np.testing.assert_array_equal(found, [x in first for x in a])
        np.testing.assert_array_equal(loc, [first.get(x, -1) for x in a])

    def test_ismember_nan_shape_and_dates(self):
        found, loc = nk.ismember(np.array([[np.nan, 739500.0], [739502.0, 1.5]]),
                                 np.array([739502.0, np.nan, 739500.0, 739500.0]))
        np.testing.assert_array_equal(found, [[False, True], [True, False]])
        np.testing.assert_array_equal(loc, [[-1, 2], [0, -1]])
        found, loc = nk.ismember(739502.0, [1.0, 739502.0])  # a single value gives 0-d results
        assert found.shape == loc.shape == () and found and loc == 1
        big = np.array([2**62 + 1], dtype=np.int64)  # exact beyond float precision
        assert nk.ismember(big, np.array([2**62], dtype=np.int64))[0].tolist() == [False]
