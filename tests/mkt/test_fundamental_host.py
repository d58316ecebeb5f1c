"""The market queries end to end: module -> converter -> channel -> a real
host on the sample store, checked against the store's own rows."""
import duckdb
import numpy as np
import pandas as pd
import pytest

from telvar.api.fundamental import convertor
from telvar.api.fundamental.mkt import mkt
from telvar.host.sample import sample_store_path
from telvar.kestrum.utils.exceptions import TvReturnError

pytestmark = pytest.mark.host

PINGAN = {"Market": "SZSE", "Code": "000001"}
PUFA = {"Market": "SSE", "Code": "600000"}


@pytest.fixture(scope="module")
def store():
    con = duckdb.connect(str(sample_store_path()), read_only=True)
    yield con
    con.close()


def test_limits_agree_with_the_sample_day_bars(connected_host, store):
    df = mkt.market_limit([PINGAN, PUFA], "2025-10-01", 20251130,
                          ["trade_date", "market", "code", "close_price", "limit_up_price", "is_limit_up"])
    assert list(df.columns) == ["trade_date", "market", "code", "close_price", "limit_up_price", "is_limit_up"]
    bars = store.execute(
        "SELECT trade_date, market, code, close FROM day_bars "
        "WHERE ((market = 'SZSE' AND code = '000001') OR (market = 'SSE' AND code = '600000')) "
        "AND trade_date BETWEEN 20251001 AND 20251130 ORDER BY trade_date, market, code"
    ).df()
    assert df["trade_date"].dt.strftime("%Y%m%d").astype(int).tolist() == bars["trade_date"].tolist()
    np.testing.assert_allclose(df["close_price"], bars["close"])
    limit_days = df[df["is_limit_up"]]
    assert len(limit_days) >= 1  # the sample shocks 000001 to its limit in November
    np.testing.assert_allclose(limit_days["close_price"], limit_days["limit_up_price"])


def test_rows_match_the_stored_table(connected_host, store):
    df = mkt.market_rank_stocks([PINGAN], ["UP", "LIMIT_UP"], 20251101, 20251130)
    stored = store.execute(
        "SELECT * FROM fundamental_market_rank_stocks WHERE market = 'SZSE' AND code = '000001' "
        "AND abnormal_type_cd IN ('UP', 'LIMIT_UP') AND trade_date BETWEEN 20251101 AND 20251130 "
        "ORDER BY trade_date, abnormal_type_cd, rank"
    ).df()
    assert len(df) == len(stored) > 0
    assert df["rank"].tolist() == stored["rank"].tolist()
    np.testing.assert_allclose(df["change_pct"], stored["change_pct"])
    assert df["trade_date"].dt.strftime("%Y%m%d").astype(int).tolist() == stored["trade_date"].tolist()


def test_industry_queries_and_empty_results(connected_host):
    flow = mkt.market_industry_flow(["银行"], 20251201, 20251231)
    assert set(flow["industry_code"]) == {"BANK"} and (flow["stock_count"] == 2).all()
    ranks = mkt.market_rank_industry(field=["trade_date", "industry_name", "rank"])
    assert list(ranks.columns) == ["trade_date", "industry_name", "rank"] and len(ranks) > 0
    empty = mkt.market_blockd(begin_date="2024-01-01", end_date="2024-12-31")
    assert empty.empty and "trade_price" in empty.columns
    assert str(empty["trade_date"].dtype) == "datetime64[ns]" and empty["trade_price"].dtype == np.float64
    ipo = mkt.ipo_con_traddays()
    assert len(ipo) > 0 and (ipo["con_limit_days"] >= 1).all()


def test_host_names_bad_requests(connected_host):
    with pytest.raises(TvReturnError, match="unknown fundamental data set 'market_cap'"):
        convertor.get_fundamental_info(params={}, func_name="market_cap")
    with pytest.raises(TvReturnError, match=r"unknown fields \['close'\]"):
        mkt.market_equ_flow([PUFA], field=["close"])
