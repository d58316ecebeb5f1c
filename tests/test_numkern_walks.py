"""How the combining kernels walk a target's bars: every range length and start
(whole bars are walked four columns at a time, closes with gaps bar by bar),
the order in which sums are added, and forming bars over long series and
irregular positions. Checked against the shared pandas reference."""
import numpy as np
import pytest

from reference import bars as ref
from telvar.kestrum import numkern as nk

BAR = 7


def bars(rng, targets, n, gaps=False, holes=0.0):
    """Target rows of filled bars (volume 0 at the last close where a target did
    not trade). gaps: some closes NaN (a late start, a run of missing bars);
    holes: the share of other values made NaN."""
    body = np.empty((targets * BAR, n))
    for t in range(targets):
        close = 50 + np.cumsum(rng.normal(0, 1, n))
        traded = rng.random(n) < 0.6
        last = np.maximum.accumulate(np.where(traded, np.arange(n), -1))
        carried = np.where(last >= 0, close[np.maximum(last, 0)], np.nan)
        opened = np.where(traded, carried + rng.normal(0, 0.3, n), carried)
        volume = np.where(traded, rng.integers(1, 900, n), 0).astype(float)
        block = np.array([opened, np.maximum(opened, carried) + traded, np.minimum(opened, carried) - traded,
                          carried, volume, volume * carried * 1.0001, 1000 + np.arange(n) % 7.0])
        if gaps and n > 3:
            a = int(rng.integers(1, n - 2))
            block[:, a:a + int(rng.integers(1, 3))] = np.nan
        if holes:
            block[rng.random(block.shape) < holes] = np.nan
        body[t * BAR:(t + 1) * BAR] = block
    return body


def with_head(body):
    n = body.shape[1]
    return np.vstack([np.arange(n, dtype=float), np.ones(n), np.zeros(n), np.arange(n, dtype=float), body])


def every_range(n, longest):
    """Every range of 0..longest columns at every start, and the empty ones at both ends."""
    begin = [b for length in range(longest + 1) for b in range(0, n - length + 1)]
    end = [b + length - 1 for length in range(longest + 1) for b in range(0, n - length + 1)]
    return np.array(begin + [n, 0]), np.array(end + [n - 1, -1])


class TestWholeBarsOverEveryRange:
    @pytest.mark.parametrize("gaps,holes", [(False, 0.0), (True, 0.0), (False, 0.1), (True, 0.3)])
    def test_every_length_and_start_matches_pandas(self, gaps, holes):
        rng = np.random.default_rng(int(gaps) * 10 + int(holes * 10))
        body = bars(rng, 2, 23, gaps, holes)
        begin, end = every_range(23, 13)
        out = nk.tvCalcCombineMatrixHtoL(with_head(body), np.zeros((4, begin.size)), begin, end, BAR)
        np.testing.assert_allclose(out[4:], ref.combine_ranges(body, begin, end), rtol=1e-12)

    def test_untraded_all_nan_and_empty_ranges(self):
        rng = np.random.default_rng(5)
        body = bars(rng, 1, 30)
        body[:, :9] = np.nan  # no bar yet
        body[:4, 12:20] = body[3, 11]  # filled at the last close
        body[4:6, 12:20] = 0.0
        begin, end = np.array([0, 3, 12, 13, 9, 30, 5]), np.array([8, 4, 19, 15, 29, 29, 4])
        out = nk.tvCalcCombineMatrixHtoL(with_head(body), np.zeros((4, 7)), begin, end, BAR)[4:]
        np.testing.assert_allclose(out, ref.combine_ranges(body, begin, end), rtol=1e-12)
        assert np.isnan(out[:, [0, 1, 5, 6]]).all()  # all NaN or empty: NaN, volume included
        np.testing.assert_array_equal(out[:4, 2], [body[3, 11]] * 4)  # a filled bar at the last close
        assert out[4, 2] == 0.0 and out[4, 3] == 0.0

    def test_traded_mask_and_odd_block_sizes(self):
        rng = np.random.default_rng(8)
        begin, end = every_range(19, 9)
        for bar_len in (1, 3, 4, 6, 9):
            body = rng.normal(100, 5, (2 * bar_len, 19))
            body[rng.random(body.shape) < 0.15] = np.nan
            traded = rng.random((2, 19)) < 0.5
            # a bar the mask calls traded still needs a close, where the block has one
            priced = traded & ~np.isnan(body[3::bar_len]) if bar_len > 3 else traded
            for mask, judged in ((None, None), (traded, priced)):
                out = nk.tvCalcCombineMatrixHtoL(body, np.zeros((0, begin.size)), begin, end, bar_len, 0, 0, mask)
                np.testing.assert_allclose(out, ref.combine_ranges(body, begin, end, bar_len, judged), rtol=1e-12)


class TestSumOrder:
    """Sums are not associative: a whole bar adds its columns in four running
    sums (lane k: columns b + k, b + k + 4, ...; the columns after the last full
    four in lane 0), joined as (0 + 1) + (2 + 3); a forming bar adds them one by one."""

    @staticmethod
    def lanes(x):
        quads = len(x) // 4 * 4
        lane = [0.0] * 4
        for j, v in enumerate(x):
            lane[j % 4 if j < quads else 0] += v
        return (lane[0] + lane[1]) + (lane[2] + lane[3])

    @pytest.mark.parametrize("length", [1, 3, 4, 6, 9, 13])
    def test_whole_and_forming_sums(self, length):
        turnover = np.array([1e16, 1.0, -1e16, 3.0, 1.0, 0.5, 1e16, -1e16, 2.0, 1.0, 7.0, 0.25, 1.0])[:length]
        body = np.tile(np.arange(1.0, length + 1), (BAR, 1))
        body[5] = turnover
        out = nk.tvCalcCombineMatrixHtoL(with_head(body), np.zeros((4, 1)), [0], [length - 1], BAR)
        assert out[4 + 5, 0] == self.lanes(list(turnover))
        forming = nk.tvCalcDataValueFresh(with_head(body), np.zeros(length), np.full(length, length - 1), BAR, 1)
        running = 0.0
        for j, v in enumerate(turnover):
            running += v
            assert forming[1 + 5, j] == running


class TestFormingBars:
    def test_long_series_equal_whole_bars_up_to_each_column(self):
        """Bars of 1 to 5,000 columns over 9,000 columns: the bar formed up to
        column i is the whole bar over its first column..i."""
        rng = np.random.default_rng(2)
        n = 9000
        body = bars(rng, 2, n, gaps=True)
        cuts = np.unique(np.r_[rng.integers(1, n, 40), 3000, 8000])
        begin = np.r_[0, cuts][np.searchsorted(cuts, np.arange(n), side="right")]
        end = np.r_[cuts - 1, n - 1][np.searchsorted(cuts, np.arange(n), side="right")]
        fresh = nk.tvCalcDataValueFresh(with_head(body), begin, end, BAR, 2)
        whole = nk.tvCalcCombineMatrixHtoL(with_head(body), np.zeros((4, n)), begin, np.arange(n), BAR)
        sums = np.isin(np.arange(2 * BAR) % BAR, [4, 5])
        np.testing.assert_array_equal(fresh[1:][~sums], whole[4:][~sums])
        np.testing.assert_allclose(fresh[1:][sums], whole[4:][sums], rtol=1e-12)
        adj = body.reshape(2, BAR, n)[:, :4].reshape(8, n)
        traded = nk.tvCalcTradedMask(with_head(body))
        np.testing.assert_array_equal(nk.tvCalcDataValueFresh_Adj(adj, begin, end, 4, 2, 0, traded),
                                      fresh[1:].reshape(2, BAR, n)[:, :4].reshape(8, n))

    @pytest.mark.parametrize("seed", range(6))
    def test_irregular_positions_match_pandas(self, seed):
        """Positions no registration makes: bars that end before their column,
        start after it, or restart inside a bar."""
        rng = np.random.default_rng(seed)
        n = 40
        body = bars(rng, 2, n, gaps=seed % 2 == 1, holes=0.05 * (seed % 3))
        begin = np.maximum(np.arange(n) - rng.integers(0, 9, n), 0)
        begin[rng.random(n) < 0.1] += 3  # starts after its column: empty
        end = np.where(rng.random(n) < 0.2, np.arange(n) - rng.integers(1, 4, n), n - 1)
        end = np.maximum(end, -1)
        want = ref.forming_ranges(body, begin, end)
        np.testing.assert_allclose(nk.tvCalcDataValueFresh(with_head(body), begin, end, BAR, 2)[1:], want,
                                   rtol=1e-12)
        np.testing.assert_allclose(nk.tvCalcCombineMatrix1toN(with_head(body), begin, end, BAR)[4:], want,
                                   rtol=1e-12)
