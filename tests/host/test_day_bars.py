"""Stored day bars are their trading day's minute bars combined, in the sample
store and after an import."""
import duckdb
import numpy as np
import pandas as pd
import pytest

from reference import bars as ref
from telvar.host.store.daybars import day_bars
from telvar.host.importer import import_files
from telvar.host.sample import sample_store_path

KEY = ["market", "code", "trade_date"]
PRICES = ["open", "high", "low", "close", "open_interest"]
SUMS = ["volume", "turnover"]


@pytest.fixture(scope="module")
def sample():
    con = duckdb.connect(str(sample_store_path()), read_only=True)
    yield con
    con.close()


def pandas_day_bars(minutes: pd.DataFrame) -> pd.DataFrame:
    """The shared reference per instrument and trading day (which minutes
    traded is judged along each instrument's own series)."""
    days = []
    for _, series in minutes.sort_values(["market", "code", "ts"], kind="stable").groupby(["market", "code"]):
        bars = ref.combine(series.rename(columns={"open_interest": "oi"}), series[KEY].apply(tuple, axis=1),
                           sort=True).rename(columns={"oi": "open_interest"})
        bars.index = pd.MultiIndex.from_tuples(bars.index, names=KEY)
        days.append(bars.reset_index())
    return pd.concat(days, ignore_index=True)


def assert_same_bars(stored: pd.DataFrame, expected: pd.DataFrame):
    stored = stored.sort_values(KEY).reset_index(drop=True)
    expected = expected.sort_values(KEY).reset_index(drop=True)
    pd.testing.assert_frame_equal(stored[KEY], expected[KEY], check_dtype=False)
    for c in PRICES:  # picked values: exactly those of a minute bar
        bad = np.flatnonzero(stored[c].to_numpy() != expected[c].to_numpy())
        assert bad.size == 0, f"{c} differs:\n{pd.concat([stored.iloc[bad[:5]], expected.iloc[bad[:5]]])}"
    for c in SUMS:
        np.testing.assert_allclose(stored[c], expected[c], rtol=1e-12, err_msg=c)


def test_every_day_bar_is_its_minute_bars_combined(sample):
    minutes = sample.execute("SELECT * FROM minute_bars").df()
    stored = sample.execute("SELECT * FROM day_bars").df()
    night = minutes[minutes["ts"].dt.hour >= 21]
    # the night session opens the next trading day's bar
    assert (night["ts"].dt.strftime("%Y%m%d").astype(int) < night["trade_date"]).all()
    assert set(night["code"].str[:2]) >= {"RB", "CU", "M2"}
    assert_same_bars(stored, pandas_day_bars(minutes))
    kinds = dict(sample.execute("SELECT code, kind FROM instruments").fetchall())
    assert {kinds[c] for c in stored["code"].unique()} == {"stock", "index", "future"}


def test_limit_closes_are_minute_closes_at_the_limit(sample):
    rows = sample.execute(
        "SELECT l.market, l.code, l.trade_date, l.limit_up_price, l.limit_down_price, l.is_limit_up, "
        "l.is_limit_down, arg_max(m.close, m.ts) AS last_close, max(m.high) AS high, min(m.low) AS low "
        "FROM fundamental_market_limit l JOIN minute_bars m USING (market, code, trade_date) "
        "GROUP BY ALL").df()
    assert len(rows) > 100 and rows["is_limit_up"].any()
    up, down = rows[rows["is_limit_up"]], rows[rows["is_limit_down"]]
    np.testing.assert_allclose(up["last_close"], up["limit_up_price"], atol=1e-9)
    np.testing.assert_allclose(down["last_close"], down["limit_down_price"], atol=1e-9)
    # no minute trades beyond the day's limits
    assert (rows["high"] <= rows["limit_up_price"] + 1e-9).all()
    assert (rows["low"] >= rows["limit_down_price"] - 1e-9).all()


def test_imported_minute_bars_give_the_sample_day_bars(sample, tmp_path):
    """Importing the sample's minute bars rebuilds exactly the sample's day bars
    (a night session past midnight and a stock among them)."""
    store = tmp_path / "user.duckdb"
    codes = ("CU2511", "M2601", "600000")
    days = (20251009, 20251010, 20251013, 20251105)
    for kind, sql in (("calendar", "SELECT market, trade_date, night FROM calendar"),
                      ("sessions", "SELECT * FROM sessions"),
                      ("instruments", "SELECT * FROM instruments")):
        path = tmp_path / f"{kind}.parquet"
        sample.execute(f"COPY ({sql}) TO '{path}' (FORMAT parquet)")
        import_files(store, kind, [path])
    where = f"code IN {codes} AND trade_date IN {days}"
    path = tmp_path / "bars.parquet"  # trading days left for the importer to derive
    sample.execute(f"COPY (SELECT * EXCLUDE (ts, trade_date), ts AS time FROM minute_bars WHERE {where}) "
                   f"TO '{path}' (FORMAT parquet)")
    import_files(store, "bars-min", [path])
    con = duckdb.connect(str(store), read_only=True)
    imported = con.execute("SELECT * FROM day_bars").df()
    con.close()
    assert len(imported) == len(codes) * len(days)
    assert_same_bars(imported, sample.execute(f"SELECT * FROM day_bars WHERE {where}").df())


def test_a_stock_driven_to_its_limit_is_flagged_at_the_limit():
    """Days pushed past the limit close at the limit price the fundamental
    tables compute (exchange rounding), so every one of them is flagged."""
    from telvar.host.sample import fundamentals as derive
    from telvar.host.sample.catalog import StockSpec
    from telvar.host.sample.build import _calendar_frame, _stock_bars, _trading_calendar

    cal, idx = _trading_calendar(_calendar_frame(20250901, 20251231), 20250901, 20251231)
    days = [int(d) for d in cal.days[idx]]
    flagged = []
    for k, price in enumerate((3.17, 8.65, 12.95, 27.4, 61.3)):
        shocks = {d: 0.3 if i % 2 == 0 else -0.3 for i, d in enumerate(days)}
        spec = StockSpec("SSE", f"60{k:04d}", "limit", price, 0.01, 5e4, shocks=shocks)
        frames, _ = _stock_bars(spec, cal, idx)
        flagged.append(derive.with_prev_close(day_bars(pd.concat(frames, ignore_index=True))))
    day = pd.concat(flagged, ignore_index=True)
    up = day["trade_date"].isin(days[::2])
    assert len(day) == 5 * (len(days) - 1)
    assert day.loc[up, "is_limit_up"].all() and day.loc[~up, "is_limit_down"].all()
