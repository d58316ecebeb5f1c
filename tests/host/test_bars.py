"""Host bar arithmetic against pandas."""
import numpy as np
import pandas as pd
import pytest

from reference import bars as ref
from telvar.host.store import bars as B
from telvar.host.store import placement as P


def _reference(m, ends):
    frame = pd.DataFrame(m.T, columns=ref.FIELDS)
    group = np.r_[0, np.cumsum(ends[:-1])]
    return ref.combine(frame, group, sort=True).to_numpy().T


def _filled(m):
    """One target's bars filled as the host fills an answer's matrix."""
    k = P.k_matrix(1, m.shape[1])
    k[:] = m
    P.fill_blocks(k)
    return np.ascontiguousarray(k)


@pytest.mark.parametrize("seed", range(6))
def test_fill_and_combine_match_pandas(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 60))
    m = rng.random((7, n)) * 100
    m[:, rng.random(n) < 0.4] = np.nan
    ends = rng.random(n) < 0.25
    ends[-1] = True
    np.testing.assert_allclose(B.combine(m, ends), _reference(m, ends), equal_nan=True)
    f = _filled(m)
    close = pd.Series(m[B.CLOSE]).ffill().to_numpy()
    gap = np.isnan(m[B.CLOSE]) & ~np.isnan(close)
    for r in (B.OPEN, B.HIGH, B.LOW, B.CLOSE):
        np.testing.assert_array_equal(f[r, gap], close[gap])
    assert (f[B.VOLUME, gap] == 0).all() and np.isnan(f[:, np.isnan(close)]).all()
    np.testing.assert_allclose(B.combine(f, ends), _reference(f, ends), equal_nan=True)
    np.testing.assert_array_equal(B.traded(f), ~np.isnan(m[B.CLOSE]))


def test_filled_slots_lend_no_price():
    """A stock that gaps up from 10.00 and trades first in the third minute:
    the 5-minute bar opens at the first trade; a bar of filled slots only is
    a filled bar at the last close."""
    nan = np.nan
    m = np.array([  # open, high, low, close, volume, turnover, oi per minute
        [10.0, 10.0, 10.0, 10.0, 50, 500, nan],  # the day before
        [10.0, 10.0, 10.0, 10.0, 0, 0, nan], [10.0, 10.0, 10.0, 10.0, 0, 0, nan],
        [11.0, 11.5, 10.8, 11.2, 100, 1120, nan], [11.2, 11.3, 11.1, 11.25, 50, 562, nan],
        [11.25, 11.25, 11.25, 11.25, 0, 0, nan],
        [11.25, 11.25, 11.25, 11.25, 0, 0, nan], [11.25, 11.25, 11.25, 11.25, 0, 0, nan]]).T
    out = B.combine(m, np.array([1, 0, 0, 0, 0, 1, 0, 1], bool))
    np.testing.assert_array_equal(out[:, 1], [11.0, 11.5, 10.8, 11.25, 150, 1682, nan])
    np.testing.assert_array_equal(out[:, 2], [11.25] * 4 + [0, 0, nan])
    np.testing.assert_array_equal(B.traded(m), [1, 0, 0, 1, 1, 0, 0, 0])
    # a feed without volumes keeps its prices: NaN volume, or 0 with moving prices
    no_volume = m.copy()
    no_volume[4:6] = nan
    assert B.combine(no_volume, np.array([1, 0, 0, 0, 0, 1, 0, 1], bool))[B.OPEN, 1] == 10.0
    zero = m.copy()
    zero[4:6] = 0.0
    np.testing.assert_array_equal(B.combine(zero, np.array([1, 0, 0, 0, 0, 1, 0, 1], bool))[:4, 1],
                                  [11.0, 11.5, 10.8, 11.25])


def test_adjustment_multipliers():
    days = np.array([20250101, 20250105, 20250110, 20250120])
    ex, ratio = np.array([20250110, 20250105]), np.array([0.5, 0.8])
    np.testing.assert_allclose(B.adjustment_multipliers(days, ex, ratio, "FWard"), [0.4, 0.5, 1, 1])
    np.testing.assert_allclose(B.adjustment_multipliers(days, ex, ratio, "BWard"), [1, 1.25, 2.5, 2.5])
    np.testing.assert_array_equal(B.adjustment_multipliers(days, ex, ratio, "NA"), np.ones(4))
