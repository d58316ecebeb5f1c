import duckdb
import numpy as np
import pytest

from telvar.host.sample import build_store


@pytest.fixture(scope="module")
def week(tmp_path_factory):
    d = tmp_path_factory.mktemp("sample")
    a = build_store(d / "a.duckdb", begin=20251009, end=20251017, ticks=False)
    b = build_store(d / "b.duckdb", begin=20251009, end=20251017, ticks=False)
    return a, b


def test_the_generator_is_deterministic(week):
    a, b = (duckdb.connect(str(p), read_only=True) for p in week)
    sql = "SELECT * FROM minute_bars ORDER BY market, code, ts"
    fa, fb = a.execute(sql).df(), b.execute(sql).df()
    assert len(fa) > 10000
    assert fa.equals(fb)
    a.close()
    b.close()


def test_sessions_and_prices_look_like_the_markets(week):
    con = duckdb.connect(str(week[0]), read_only=True)
    last = dict(con.execute("SELECT code, max(ts)::TIME::VARCHAR FROM minute_bars WHERE trade_date = 20251013 "
                            "AND ts < '2025-10-13' GROUP BY code").fetchall())
    assert last["RB2601"] == "23:00:00"
    first_night = con.execute("SELECT min(ts)::VARCHAR FROM minute_bars WHERE code LIKE 'CU%' AND "
                              "trade_date = 20251013").fetchone()[0]
    assert first_night == "2025-10-10 21:01:00"
    cu_last = con.execute("SELECT max(ts)::VARCHAR FROM minute_bars WHERE code LIKE 'CU%' AND "
                          "trade_date = 20251013 AND ts < '2025-10-13'").fetchone()[0]
    assert cu_last == "2025-10-11 01:00:00"
    # no night session after the National Day holiday; stocks keep 09:30-11:30, 13:00-15:00
    assert con.execute("SELECT min(ts)::VARCHAR FROM minute_bars WHERE trade_date = 20251009").fetchone()[0] == \
        "2025-10-09 09:01:00"
    stock = con.execute("SELECT ts::TIME::VARCHAR AS t FROM minute_bars WHERE code = '600000' AND "
                        "trade_date = 20251010").fetchnumpy()["t"]
    assert "11:31:00" not in stock and "13:00:00" not in stock and stock.max() == "15:00:00"
    bars = con.execute("SELECT open, high, low, close FROM minute_bars").fetchnumpy()
    assert (bars["high"] >= np.maximum(bars["open"], bars["close"])).all()
    assert (bars["low"] <= np.minimum(bars["open"], bars["close"])).all()
    # daily moves of stocks stay within the 10% limit of the previous close
    d = con.execute("SELECT code, close FROM day_bars WHERE market IN ('SSE', 'SZSE') AND code <> '000300' "
                    "ORDER BY code, trade_date").df()
    moves = d.groupby("code").close.pct_change().dropna().abs()
    assert moves.max() <= 0.1005
    con.close()


def test_the_cached_sample_is_kept_per_duckdb_version(monkeypatch):
    # an older DuckDB cannot open a file a newer one wrote, so the two never share a cache file
    from telvar.host.sample import build as sample

    here = sample.generator_fingerprint()
    monkeypatch.setattr(duckdb, "__version__", "0.0.1")
    assert sample.generator_fingerprint() != here


def test_a_store_with_extra_stocks_is_written_an_instrument_at_a_time(tmp_path, monkeypatch):
    import pandas as pd

    from telvar.host.sample import build as B
    from telvar.host.store.daybars import day_bars

    inserted = []  # rows of each minute insert
    real_write = B._MinuteWriter.write

    def counting(self, frames):
        inserted.append(sum(len(f) for f in frames))
        return real_write(self, frames)

    monkeypatch.setattr(B._MinuteWriter, "write", counting)
    path = build_store(tmp_path / "extra.duckdb", begin=20251009, end=20251017, extra_stocks=12, ticks=False)
    con = duckdb.connect(str(path), read_only=True)
    try:
        minutes = con.execute("SELECT * FROM minute_bars").df()
        stored_days = con.execute("SELECT * FROM day_bars").df()
        all_a = con.execute("SELECT market, code, count(*) AS n FROM blocks WHERE block = 'ALL_A' "
                            "GROUP BY ALL ORDER BY code").df()
        momentum = con.execute("SELECT value FROM factors WHERE factor = 'pe_ttm' AND code = '601005' "
                               "ORDER BY trade_date").df()["value"].to_numpy()
    finally:
        con.close()
    # one insert per stock and per futures variety, never all minutes at once, in the store's order
    assert len(inserted) == len(B.S.STOCKS) + 12 + len(B.S.VARIETIES) and max(inserted) < len(minutes) / 4
    keys = minutes[["market", "code", "ts"]]
    assert keys.equals(keys.sort_values(["market", "code", "ts"]).reset_index(drop=True))
    pd.testing.assert_frame_equal(stored_days, day_bars(minutes), check_dtype=False)
    assert all_a["code"].tolist() == [str(601000 + k) for k in range(12)] and set(all_a["n"]) == {7}
    spec = B._all_stocks(12)[len(B.S.STOCKS) + 5]
    closes = stored_days[stored_days.code == "601005"].sort_values("trade_date")["close"].to_numpy()
    np.testing.assert_array_equal(momentum, np.round(closes / spec.eps, 4))
