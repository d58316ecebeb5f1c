"""Bars placed straight into a multi-target K matrix and filled there equal the bars placed and
filled one target at a time (``place_one``, ``fill_one`` below, the way the host once did) and the
shared pandas reference: gaps,
untraded minutes, rows off the time line, targets without rows, an instrument asked for twice,
stitched main contracts and adjusted prices."""
import logging

import duckdb
import numpy as np
import pandas as pd
import pytest

from reference import bars as ref
from telvar.host.commands import Context, kdata
from telvar.host.sample import sample_store_path
from telvar.host.store import bars as B
from telvar.host.store import placement as P
from telvar.host.store import reads as md
from telvar.common.timeconv import datetime64_to_minutes
from telvar.kestrum.utils.utilfunc import load_mat


def place_one(slots, bar_keys, values):
    """A (7, len(slots)) matrix with each bar in its slot and NaN elsewhere; keys off the slots dropped."""
    out = np.full((B.N_FIELDS, slots.size), np.nan)
    if bar_keys.size == 0 or slots.size == 0:
        return out
    pos = np.searchsorted(slots, bar_keys)
    pos_c = np.minimum(pos, slots.size - 1)
    ok = slots[pos_c] == bar_keys
    out[:, pos_c[ok]] = values[:, ok]
    return out


def fill_one(m):
    """Filled bars: an empty slot after the first trade repeats the last close with volume 0."""
    m = m.copy()
    traded = ~np.isnan(m[B.CLOSE])
    idx = np.where(traded, np.arange(m.shape[1]), -1)
    last = np.maximum.accumulate(idx) if idx.size else idx
    gap = ~traded & (last >= 0)
    if gap.any():
        src = last[gap]
        for r in (B.OPEN, B.HIGH, B.LOW, B.CLOSE):
            m[r, gap] = m[B.CLOSE, src]
        m[B.VOLUME, gap] = 0.0
        m[B.TURNOVER, gap] = 0.0
        m[B.OI, gap] = m[B.OI, src]
    return m


def adjust_one(ctx, inst, trade_days, values, fq):
    """One instrument's open, high, low and close scaled for splits and dividends."""
    mult = md.adjustment(ctx, inst, trade_days, fq)
    if mult is None:
        return values
    out = values.copy()
    out[:4] *= mult
    return out


def load_minutes(ctx, inst, begin, end):
    """One instrument's stored minute bars: (epoch minutes, trading days, (7, n) values), in time order."""
    sql = md.series_sql("minute_bars", ("ts", "trade_date") + md.FIELD_COLUMNS, "ts", md.stitched(ctx, inst))
    r = ctx.con.execute(sql, [inst.market, inst.code, begin, end]).fetchnumpy()
    values = np.vstack([np.asarray(r[k], dtype=np.float64) for k in md.FIELD_COLUMNS]) if len(r["ts"]) else \
        np.zeros((B.N_FIELDS, 0))
    return datetime64_to_minutes(r["ts"]), np.asarray(r["trade_date"], np.int64), values


def _random_rows(rng, slots, n_targets):
    """Per target: its rows (keys, 7 x n values) with gaps, some rows without a close (an untraded
    minute), keys off the time line, and one target without rows."""
    rows = []
    empty = int(rng.integers(n_targets))
    for t in range(n_targets):
        if t == empty:
            rows.append((np.zeros(0, np.int64), np.zeros((7, 0))))
            continue
        keys = np.sort(rng.choice(slots, int(rng.integers(1, slots.size)), replace=False))
        off = rng.integers(slots[0] - 50, slots[-1] + 50, 3)
        keys = np.union1d(keys, off[~np.isin(off, slots)])
        values = rng.random((7, keys.size)) * 100
        values[B.CLOSE, rng.random(keys.size) < 0.1] = np.nan
        values[B.OI, rng.random(keys.size) < 0.2] = np.nan
        rows.append((keys, values))
    return rows


def _one_at_a_time(slots, rows, filled):
    mats = [place_one(slots, keys, values) for keys, values in rows]
    return np.vstack([fill_one(m) if filled else m for m in mats])


@pytest.mark.parametrize("seed", range(8))
def test_placed_and_filled_in_one_matrix_as_one_target_at_a_time(seed):
    rng = np.random.default_rng(seed)
    slots = np.cumsum(rng.integers(1, 4, int(rng.integers(1, 300)))) + 27_000_000
    n = int(rng.integers(1, 9))
    rows = _random_rows(rng, slots, n)
    for filled in (False, True):
        k = P.k_matrix(n, slots.size)
        # all targets' rows in one call, shuffled (a query returns them in no particular order)
        keys = np.concatenate([r[0] for r in rows])
        values = np.hstack([r[1] for r in rows])
        target = np.repeat(np.arange(n), [r[0].size for r in rows])
        order = rng.permutation(keys.size)
        placed = P.place_rows(k, slots, keys[order], target[order], list(values[:, order]))
        if filled:
            P.fill_blocks(k)
        assert k.flags.f_contiguous and k.shape == (7 * n, slots.size)
        assert placed == int(np.isin(keys, slots).sum())
        np.testing.assert_array_equal(k, _one_at_a_time(slots, rows, filled))


def test_filled_bars_match_pandas():
    """Minutes with gaps at the start, middle and end, targets one at a time into one matrix."""
    rng = np.random.default_rng(11)
    slots = np.arange(240, dtype=np.int64) + 29_000_000
    k = P.k_matrix(3, slots.size)
    frames = []
    for t in range(3):
        keys = np.sort(rng.choice(slots[5 * t:], 100, replace=False))
        values = np.round(rng.random((7, keys.size)) * 10 + 5, 2)
        frames.append(pd.DataFrame(values.T, index=keys, columns=ref.FIELDS))
        P.place_rows(k, slots, keys, t, list(values))
    P.fill_blocks(k)
    for t, frame in enumerate(frames):
        expected = ref.filled(frame, pd.Index(slots)).to_numpy().T
        np.testing.assert_array_equal(k[7 * t:7 * (t + 1)], expected)
        first = np.searchsorted(slots, frame.index[0])
        assert np.isnan(k[7 * t:7 * (t + 1), :first]).all()
        assert (k[7 * t + B.VOLUME, first:] >= 0).all()


def test_placement_refuses_what_does_not_fit():
    slots = np.arange(10, dtype=np.int64)
    k = P.k_matrix(2, slots.size)
    cols = [np.ones(3)] * 7
    keys = np.array([1, 2, 3])
    with pytest.raises(IndexError, match="target 2 of row 1"):
        P.place_rows(k, slots, keys, [0, 2, 1], cols)
    with pytest.raises(IndexError, match="target -1"):
        P.place_rows(k, slots, keys, -1, cols)
    with pytest.raises(ValueError, match="7 field columns"):
        P.place_rows(k, slots, keys, 0, cols[:6])
    with pytest.raises(ValueError, match="field column 3 has 2 items"):
        P.place_rows(k, slots, keys, 0, cols[:3] + [np.ones(2)] + cols[4:])
    with pytest.raises(ValueError, match="target has 2 items"):
        P.place_rows(k, slots, keys, [0, 1], cols)
    with pytest.raises(ValueError, match="slots has 9 items"):
        P.place_rows(k, slots[:9], keys, 0, cols)
    with pytest.raises(ValueError, match="7 columns per target"):
        P.fill_blocks(np.full((10, 6), np.nan, order="F"))
    with pytest.raises(ValueError, match="writable C-contiguous"):
        P.fill_blocks(np.full((14, 10), np.nan))  # a C-ordered matrix is not the answer's layout
    assert np.isnan(k).all()  # nothing was written by the refused calls
    P.place_rows(k, slots, np.zeros(0, np.int64), np.zeros(0, np.int64), [np.zeros(0)] * 7)
    P.fill_blocks(P.k_matrix(0, 0))
    assert np.isnan(k).all()


TARGETS = [("SSE", "600000"), ("SZSE", "000001"), ("SHFE", "RB0000"), ("CFFEX", "IF2509"), ("SSE", "600000"),
           ("DCE", "M2611"), ("SSE", "000300")]
BEGIN, END = 20251103, 20251114


@pytest.fixture(scope="module")
def ctx(tmp_path_factory):
    con = duckdb.connect(str(sample_store_path()), read_only=True)
    yield Context(con, tmp_path_factory.mktemp("answers"), logging.getLogger("test"))
    con.close()


@pytest.mark.parametrize("freq", ["min", "day"])
@pytest.mark.parametrize("fq", ["NA", "FWard"])
@pytest.mark.parametrize("filled", [True, False])
def test_a_multi_target_answer_equals_its_targets_built_one_at_a_time(ctx, freq, fq, filled):
    """Targets with and without bars in the range (IF2509 expired, M2611 not yet listed), a stitched
    main contract with night sessions, a stock with an ex-date in the range, one stock asked for twice."""
    insts = md.resolve(ctx, TARGETS)
    path = kdata.get_k_data_multi(ctx, [{"Market": m, "Code": c} for m, c in TARGETS], freq, BEGIN, END,
                                  filled, fq)
    answer = load_mat(path)
    k = answer["KArray"]
    slots, tdays = kdata.base_line(ctx, insts, freq, BEGIN, END)
    keys = slots if freq == "min" else tdays
    expected = []
    for inst in insts:
        if freq == "min":
            bar_keys, td, values = load_minutes(ctx, inst, BEGIN, END)
        else:
            td, values = md.load_days(ctx, inst, BEGIN, END)
            bar_keys = td
        m = place_one(keys, bar_keys, adjust_one(ctx, inst, td, values, fq))
        expected.append(fill_one(m) if filled else m)
    expected = np.vstack(expected)
    assert k.shape == expected.shape == (7 * len(TARGETS), keys.size)
    np.testing.assert_array_equal(k, expected)
    blocks = {t: k[7 * i:7 * (i + 1)] for i, t in enumerate(TARGETS)}
    assert np.isnan(blocks[("CFFEX", "IF2509")]).all() and np.isnan(blocks[("DCE", "M2611")]).all()
    np.testing.assert_array_equal(k[:7], k[28:35])
    assert np.isfinite(blocks[("SHFE", "RB0000")][B.CLOSE]).any()
    if freq == "min" and filled:  # the stocks are filled over the futures' night slots
        assert np.isfinite(blocks[("SSE", "600000")][B.CLOSE, -1])
