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
