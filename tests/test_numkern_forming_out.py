"""The forming-bar kernels writing into the caller's rows (`out`) and keeping
only some base columns (`keep`): the same bars as the whole result's columns,
and bad outputs refused with a Python exception."""
import numpy as np
import pytest

from telvar.kestrum import numkern as nk

TARGETS, BAR_LEN = 3, 7


def k_matrix(rng, cols, nan_rows=()):
    """A K matrix (4 head rows) with filled bars, NaN stretches and bars without volume."""
    m = np.full((4 + TARGETS * BAR_LEN, cols), np.nan)
    m[0] = np.arange(cols) / 1440.0 + 739000.0
    for t in range(TARGETS):
        rows = 4 + t * BAR_LEN
        close = 100 + np.cumsum(rng.normal(size=cols))
        m[rows + 3] = close
        m[rows + 0] = close + rng.normal(size=cols)
        m[rows + 1] = np.maximum(m[rows], close) + 1
        m[rows + 2] = np.minimum(m[rows], close) - 1
        m[rows + 4] = rng.integers(0, 5, cols).astype(float)
        m[rows + 5] = m[rows + 4] * close
        m[rows + 6] = rng.integers(1000, 2000, cols).astype(float)
        filled = m[rows + 4] == 0
        prev = np.roll(close, 1)
        for f in range(3):
            m[rows + f, filled] = prev[filled]
        m[rows + 3, filled] = prev[filled]
    m[4 + BAR_LEN:4 + BAR_LEN + 4, 5:9] = np.nan  # a stretch without prices
    for r in nan_rows:
        m[r] = np.nan
    return m


def positions(cols, unit):
    """Forming ranges of `unit`-column bars, with an empty range and one that stops early."""
    begin = np.array([i - i % unit for i in range(cols)], float)
    end = np.array([min(i - i % unit + unit - 1, cols - 1) for i in range(cols)], float)
    if cols > 12:
        begin[7], end[7] = 8, 7  # empty
        end[11] = 10  # stops before its column
    return begin, end


def assert_same_bits(a, b):
    assert a.shape == b.shape and a.dtype == b.dtype
    assert a.tobytes() == b.tobytes()


@pytest.mark.parametrize("cols,unit", [(40, 5), (97, 15), (1, 1), (6, 60)])
@pytest.mark.parametrize("share", [1.0, 0.3, 0.0])
def test_out_and_keep_give_the_whole_results_columns(cols, unit, share):
    rng = np.random.default_rng(cols * 7 + unit)
    m = k_matrix(rng, cols)
    begin, end = positions(cols, unit)
    keep = rng.random(cols) < share
    whole = nk.tvCalcDataValueFresh(m, begin, end, BAR_LEN, TARGETS)
    kept = nk.tvCalcDataValueFresh(m, begin, end, BAR_LEN, TARGETS, keep=keep)
    assert_same_bits(kept, np.ascontiguousarray(whole[:, keep]))

    out = np.full((1 + TARGETS * BAR_LEN, keep.sum()), -1.0)
    assert nk.tvCalcDataValueFresh(m, begin, end, BAR_LEN, TARGETS, out=out, keep=keep) is out
    assert_same_bits(out, kept)

    # without the time row: only the targets' rows are written
    body = np.full((TARGETS * BAR_LEN, keep.sum()), -1.0)
    nk.tvCalcDataValueFresh(m, begin, end, BAR_LEN, TARGETS, out=body, keep=keep)
    assert_same_bits(body, kept[1:])


def test_rows_of_a_larger_buffer_are_written_and_nothing_around_them():
    rng = np.random.default_rng(5)
    m = k_matrix(rng, 50)
    begin, end = positions(50, 5)
    buffer = np.full((2 + TARGETS * BAR_LEN + 3, 50), 7.0)
    nk.tvCalcDataValueFresh(m, begin, end, BAR_LEN, TARGETS, out=buffer[2:2 + TARGETS * BAR_LEN])
    assert_same_bits(buffer[2:2 + TARGETS * BAR_LEN], nk.tvCalcDataValueFresh(m, begin, end, BAR_LEN, TARGETS)[1:])
    assert (buffer[:2] == 7.0).all() and (buffer[2 + TARGETS * BAR_LEN:] == 7.0).all()


def test_all_nan_rows_and_empty_ranges_stay_nan():
    rng = np.random.default_rng(9)
    m = k_matrix(rng, 30, nan_rows=range(4, 4 + BAR_LEN))  # the first target never has a value
    begin, end = positions(30, 5)
    keep = np.arange(30) % 3 != 0
    out = np.zeros((TARGETS * BAR_LEN, keep.sum()))
    nk.tvCalcDataValueFresh(m, begin, end, BAR_LEN, TARGETS, out=out, keep=keep)
    assert np.isnan(out[:BAR_LEN]).all()
    empty_col = np.flatnonzero(keep)[np.flatnonzero(keep) == 7]
    assert empty_col.size == 1
    assert np.isnan(out[:, list(np.flatnonzero(keep)).index(7)]).all()
    assert_same_bits(out, nk.tvCalcDataValueFresh(m, begin, end, BAR_LEN, TARGETS)[1:, keep])


def test_nothing_to_write():
    empty = np.zeros(0)
    m = np.zeros((1, 0))
    out = np.zeros((1, 0))
    assert nk.tvCalcDataValueFresh(m, empty, empty, BAR_LEN, 0, out=out) is out
    rng = np.random.default_rng(2)
    m = k_matrix(rng, 10)
    begin, end = positions(10, 5)
    none_kept = nk.tvCalcDataValueFresh(m, begin, end, BAR_LEN, TARGETS, keep=np.zeros(10, bool))
    assert none_kept.shape == (1 + TARGETS * BAR_LEN, 0)
    no_targets = np.zeros((0, 10))
    assert nk.tvCalcDataValueFresh_Adj(np.zeros((0, 10)), begin, end, 4, 0, out=no_targets) is no_targets


def test_adjusted_form_with_traded_mask():
    rng = np.random.default_rng(13)
    m = k_matrix(rng, 60)
    adj = np.ascontiguousarray(np.concatenate([m[4 + t * BAR_LEN:4 + t * BAR_LEN + 4] * 1.5 for t in range(TARGETS)]))
    traded = nk.tvCalcTradedMask(m)
    begin, end = positions(60, 15)
    keep = rng.random(60) < 0.5
    whole = nk.tvCalcDataValueFresh_Adj(adj, begin, end, 4, TARGETS, 0, traded)
    out = np.empty((TARGETS * 4, keep.sum()))
    nk.tvCalcDataValueFresh_Adj(adj, begin, end, 4, TARGETS, 0, traded, out=out, keep=keep)
    assert_same_bits(out, np.ascontiguousarray(whole[:, keep]))
    with pytest.raises(ValueError, match="out has shape"):  # no time row to leave out
        nk.tvCalcDataValueFresh_Adj(adj, begin, end, 4, TARGETS, 0, traded, out=np.empty((TARGETS * 4 - 1, 60)))


class TestBadOutputs:
    rng = np.random.default_rng(17)
    m = k_matrix(rng, 20)
    begin, end = positions(20, 5)
    rows = 1 + TARGETS * BAR_LEN

    def call(self, **kwargs):
        return nk.tvCalcDataValueFresh(self.m, self.begin, self.end, BAR_LEN, TARGETS, **kwargs)

    @pytest.mark.parametrize("make,message", [
        (lambda rows: np.empty((rows, 19)), "out has shape"),
        (lambda rows: np.empty((rows + 1, 20)), "out has shape"),
        (lambda rows: np.empty((rows, 20, 1)), "2-D"),
        (lambda rows: np.empty(rows * 20), "2-D"),
        (lambda rows: np.empty((rows, 20), np.float32), "dtype float64"),
        (lambda rows: np.empty((rows, 20), np.int64), "dtype float64"),
        (lambda rows: np.empty((20, rows)).T, "C-contiguous"),
        (lambda rows: np.empty((rows, 40))[:, ::2], "C-contiguous"),
        (lambda rows: [[0.0] * 20] * rows, "C-contiguous"),
        (lambda rows: "out", "C-contiguous"),
    ])
    def test_refused(self, make, message):
        with pytest.raises(ValueError, match=message):
            self.call(out=make(self.rows))

    def test_read_only(self):
        out = np.empty((self.rows, 20))
        out.flags.writeable = False
        with pytest.raises(ValueError, match="writable"):
            self.call(out=out)

    def test_sharing_memory_with_the_matrix(self):
        n = 4 + TARGETS * BAR_LEN
        m = np.zeros((n + self.rows, 20))
        m[:n] = self.m
        with pytest.raises(ValueError, match="share memory"):
            nk.tvCalcDataValueFresh(m[:n], self.begin, self.end, BAR_LEN, TARGETS, out=m[n - 1:n - 1 + self.rows])
        # rows of the same buffer below the matrix's are another matter
        nk.tvCalcDataValueFresh(m[:n], self.begin, self.end, BAR_LEN, TARGETS, out=m[n:])
        assert_same_bits(m[n:], self.call())

    def test_keep_of_the_wrong_length_or_kind(self):
        with pytest.raises(ValueError, match="keep has 19 flags"):
            self.call(keep=np.ones(19, bool))
        with pytest.raises(ValueError, match="1-D"):
            self.call(keep=np.ones((1, 20), bool))
        with pytest.raises(TypeError, match="numeric"):
            self.call(keep="all")

    def test_out_and_keep_are_keywords_only(self):
        with pytest.raises(TypeError, match=r"at most 6 positional arguments \(7 given\)"):
            nk.tvCalcDataValueFresh(self.m, self.begin, self.end, BAR_LEN, TARGETS, 0, np.empty((self.rows, 20)))
        with pytest.raises(TypeError, match="unexpected keyword argument 'outs'"):
            self.call(outs=None)

    def test_a_refused_output_is_left_untouched(self):
        out = np.full((self.rows, 19), 3.0)
        with pytest.raises(ValueError):
            self.call(out=out)
        assert (out == 3.0).all()
