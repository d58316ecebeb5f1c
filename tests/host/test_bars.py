"""Host bar arithmetic against pandas."""
import numpy as np
import pandas as pd
import pytest

from telvar.host import bars as B


def _reference(m, ends):
    df = pd.DataFrame(m.T, columns=B.FIELDS)
    group = np.r_[0, np.cumsum(ends[:-1])]
    g = df.groupby(group)
    out = pd.DataFrame({
        "Open": g.Open.first(), "High": g.High.max(), "Low": g.Low.min(), "Close": g.Close.last(),
        "Volume": g.Volume.sum(min_count=1), "TurnOver": g.TurnOver.sum(min_count=1),
        "OpenInterest": g.OpenInterest.last(),
    })
    return out.to_numpy().T


@pytest.mark.parametrize("seed", range(6))
def test_fill_and_combine_match_pandas(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 60))
    m = rng.random((7, n)) * 100
    m[:, rng.random(n) < 0.4] = np.nan
    ends = rng.random(n) < 0.25
    ends[-1] = True
    np.testing.assert_allclose(B.combine(m, ends), _reference(m, ends), equal_nan=True)
    f = B.fill(m)
    close = pd.Series(m[B.CLOSE]).ffill().to_numpy()
    gap = np.isnan(m[B.CLOSE]) & ~np.isnan(close)
    for r in (B.OPEN, B.HIGH, B.LOW, B.CLOSE):
        np.testing.assert_array_equal(f[r, gap], close[gap])
    assert (f[B.VOLUME, gap] == 0).all() and np.isnan(f[:, np.isnan(close)]).all()
    np.testing.assert_allclose(B.combine(f, ends), _reference(f, ends), equal_nan=True)


def test_adjustment_multipliers():
    days = np.array([20250101, 20250105, 20250110, 20250120])
    ex, ratio = np.array([20250110, 20250105]), np.array([0.5, 0.8])
    np.testing.assert_allclose(B.adjustment_multipliers(days, ex, ratio, "FWard"), [0.4, 0.5, 1, 1])
    np.testing.assert_allclose(B.adjustment_multipliers(days, ex, ratio, "BWard"), [1, 1.25, 2.5, 2.5])
    np.testing.assert_array_equal(B.adjustment_multipliers(days, ex, ratio, "NA"), np.ones(4))
