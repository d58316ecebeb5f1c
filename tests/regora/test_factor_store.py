"""The local factor store: stored factor files and factors computed from day
bars, served on the trading days of the requested range."""
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from telvar.api.facstore import _factors
from telvar.kestrum import sysmodel as cnt
from telvar.kestrum.language import text
from telvar.kestrum.utils.datetimefunc import int_date_to_ordinal

from regora_market import TARGETS, Market

KEYS = ["SHFE.RB0000", "SSE.600000"]


@pytest.fixture
def store(monkeypatch, tmp_path):
    """The store over the synthetic market's day bars, with an empty factor folder."""
    market = Market()
    requests = []

    def get_k_data_multi(params):
        requests.append(dict(params))
        return market.get_k_data_multi(params)

    history = SimpleNamespace(get_trading_days=market.get_trading_days, get_k_data_multi=get_k_data_multi)
    monkeypatch.setattr(_factors, "_history", lambda: history)
    monkeypatch.setattr(_factors, "_extra_dirs", [])
    monkeypatch.setattr(_factors, "_computed", dict(_factors._computed))
    _factors.add_factor_dir(tmp_path / "factors")
    (tmp_path / "factors").mkdir()
    days = np.unique(market.tday)
    stamps, bars = market.day_bars()
    closes = pd.DataFrame(np.vstack([b[:, 3] for b in bars]).T, index=days, columns=KEYS)
    return SimpleNamespace(folder=tmp_path / "factors", days=days, closes=closes, requests=requests)


def test_stored_csv_factor_is_served_on_the_trading_days(store):
    days = store.days
    pd.DataFrame({"Date": [days[1], days[3], days[4], 20300101],
                  "sse.600000": [1.0, 3.0, 4.0, 9.0], "OTHER.X": [5.0] * 4}).to_csv(
        store.folder / "my_factor.csv", index=False)
    out = _factors.get_factor_by_factor("my_factor", TARGETS + TARGETS[:1], days[1], days[5], 0)
    assert list(out) == KEYS + ["date"]
    np.testing.assert_array_equal(out["date"], int_date_to_ordinal(days[1:6]).astype(float))
    np.testing.assert_array_equal(out["SSE.600000"], [1.0, np.nan, 3.0, 4.0, np.nan])
    assert np.isnan(out["SHFE.RB0000"]).all()  # no column for it
    assert store.requests == []  # nothing fetched for a stored factor
    assert "my_factor" in _factors.available_factors()


def test_stored_file_without_a_date_column_is_rejected(store):
    pd.DataFrame({"day": [store.days[0]], "SSE.600000": [1.0]}).to_csv(store.folder / "bad.csv", index=False)
    with pytest.raises(Exception, match="bad.csv") as caught:
        _factors.get_factor_by_factor("bad", TARGETS, store.days[0], store.days[-1], 0)
    assert type(caught.value).__name__ == "TvDataError"


@pytest.mark.parametrize("column, values", [
    ("SSE.600000", ["1.5", "about 2", "2.0"]),  # text among the numbers
    ("SSE.600000", [True, False, True]),  # a logical column would read as 1 and 0
    ("Date", ["2025-11-03", "2025-11-04", "2025-11-05"]),  # dates that are not YYYYMMDD numbers
    ("Date", [20251103.5, 20251104.0, 20251105.0]),
])
def test_stored_file_with_values_that_are_not_numbers_is_rejected(store, column, values):
    frame = pd.DataFrame({"Date": store.days[:3], "SSE.600000": [1.0, 2.0, 3.0], "OTHER.X": ["a", "b", "c"]})
    frame[column] = values
    frame.to_csv(store.folder / "bad.csv", index=False)
    with pytest.raises(Exception, match="bad.csv") as caught:
        _factors.get_factor_by_factor("bad", TARGETS, store.days[0], store.days[-1], 0)
    assert type(caught.value).__name__ == "TvDataError" and column.upper() in str(caught.value).upper()


def test_columns_of_other_targets_are_not_read(store):
    frame = pd.DataFrame({"Date": store.days[:2], "SSE.600000": [1, 2], "OTHER.X": ["a", "b"]})
    frame.to_csv(store.folder / "ints.csv", index=False)
    out = _factors.get_factor_by_factor("ints", TARGETS, store.days[0], store.days[1], 0)
    np.testing.assert_array_equal(out["SSE.600000"], [1.0, 2.0])


@pytest.mark.parametrize("name, reference, lookback, fq", [
    ("close", lambda c: c, 0, "NA"),
    ("return_1", lambda c: c / c.shift(1) - 1, 1, "FWard"),
    ("volatility_20", lambda c: np.log((c / c.shift(1)).where(c / c.shift(1) > 0)).rolling(20).std(), 20, "FWard"),
])
def test_computed_factors_use_bars_before_the_range(store, name, reference, lookback, fq):
    begin, end = store.days[3], store.days[-2]
    out = _factors.get_factor_by_factor(name, TARGETS, begin, end, 0)
    expected = reference(store.closes).loc[begin:end]
    for key in KEYS:
        np.testing.assert_allclose(out[key], expected[key].to_numpy(), rtol=1e-12, equal_nan=True)
    (request,) = store.requests
    assert request["frequency"] == "day" and request["fq_type"] == fq and request["end_date"] == end
    assert request["begin_date"] == store.days[max(3 - lookback, 0)]
    if name == "return_1":  # the first day's return uses the day before the range
        assert np.isfinite(out["SHFE.RB0000"][0])


def test_a_registered_function_becomes_a_factor(store):
    @_factors.register_factor("spread_2", lookback=2)
    def spread_2(bars):
        return bars.high.rolling(2).max() - bars.low.rolling(2).min()

    with pytest.raises(ValueError, match="fq must be one of"):
        _factors.register_factor("bad", fq="forward")
    out = _factors.get_factor_by_factor("spread_2", TARGETS, store.days[2], store.days[6], 0)
    assert out["SHFE.RB0000"].shape == (5,) and np.isfinite(out["SHFE.RB0000"]).all()
    assert "spread_2" in _factors.available_factors()


def test_unknown_factor_and_other_modes_are_refused(store):
    with pytest.raises(KeyError) as caught:
        _factors.get_factor_by_factor("no_such", TARGETS, store.days[0], store.days[-1], 0)
    assert caught.value.args[0] == text.ERROR_UNKNOWN_FACTOR.format(
        FACTOR="no_such", KNOWN=", ".join(_factors.available_factors()))
    with pytest.raises(KeyError):  # a name is never a path into another folder
        _factors.get_factor_by_factor("../factors/x", TARGETS, store.days[0], store.days[-1], 0)
    with pytest.raises(ValueError, match="mode 0"):
        _factors.get_factor_by_factor("close", TARGETS, store.days[0], store.days[-1], 1)


def test_default_folder_is_under_the_file_manager_root(tmp_path):
    old = cnt.env.fm.root
    try:
        cnt.env.fm.set_root(tmp_path)
        assert _factors.factor_dirs()[-1] == str(tmp_path / "factors")
    finally:
        cnt.env.fm.set_root(old)
