"""Fundamental data sets of the host: built from a small store of stock day
bars, checked against those bars, and queried with filters."""
import duckdb
import numpy as np
import pandas as pd
import pytest

from telvar.api.fundamental.convertor import convert_fundamental_to_df
from telvar.host.commands import fundamental as F
from telvar.host.sample import fundamentals as D
from telvar.host.commands import CommandError
from telvar.host.store.schema import create_schema

INSERT_INSTRUMENT = ("INSERT INTO instruments (market, code, name, kind, variety, multiplier, price_tick, list_date, "
                     "delist_date) VALUES ")
STOCKS = [("SSE", "600000"), ("SSE", "600519"), ("SZSE", "000001"), ("SZSE", "300750")]
LIMIT_UP_DAY, LIMIT_DOWN_DAY, EX_DATE = 20250905, 20250910, 20250915
# 300750 (a 20% board) rises 15% on the limit-up day: a big move, not a limit.
BIG_MOVE = 0.15


def _bars(days):
    rng = np.random.default_rng(7)
    rows = []
    for market, code in STOCKS:
        close = 10.0
        for d in days:
            ref = (close - 0.3) / 1.5 if (market, code) == ("SZSE", "000001") and d == EX_DATE else close
            r = rng.normal(0, 0.02)
            if d == LIMIT_UP_DAY:
                r = BIG_MOVE if code == "300750" else 0.2
            if d == LIMIT_DOWN_DAY and code == "600000":
                r = -0.2
            ratio = D.limit_ratio(market, code)
            up, down = D.round_price(ref * (1 + ratio)), D.round_price(ref * (1 - ratio))
            new = float(np.clip(D.round_price(ref * (1 + r)), down, up))
            high, low = max(ref, new) * 1.004, min(ref, new) * 0.996
            high, low = float(min(up, D.round_price(high))), float(max(down, D.round_price(low)))
            volume = float(rng.integers(1_000, 5_000) * 100)
            rows.append((market, code, d, ref, high, low, new, volume, round(volume * (high + low) / 2, 2), 0.0))
            close = new
    return rows


@pytest.fixture(scope="module")
def con():
    con = duckdb.connect()
    create_schema(con)
    days = [int(d.strftime("%Y%m%d")) for d in pd.bdate_range("2025-09-01", "2025-12-31")]
    con.executemany("INSERT INTO calendar VALUES ('SSE', ?, false)", [[d] for d in days])
    for market, code in STOCKS + [("SSE", "000300")]:
        kind = "index" if code == "000300" else "stock"
        con.execute(INSERT_INSTRUMENT + "(?, ?, ?, ?, '', 1, 0.01, 19990101, 99991231)",
                    [market, code, code, kind])
    con.executemany("INSERT INTO day_bars VALUES (?,?,?,?,?,?,?,?,?,?)", _bars(days))
    con.execute("INSERT INTO day_bars VALUES ('SSE', '000300', 20250902, 1, 2, 1, 2, 1, 1, 0)")
    con.execute("INSERT INTO adj_factors VALUES ('SZSE', '000001', ?, 0.6, 1.5, 0.3)", [EX_DATE])
    D.build_sample_fundamentals(con)
    yield con
    con.close()


def table(con, name, **params):
    return convert_fundamental_to_df(F.query_fundamental(con, name, params))


def day_bars(con):
    df = con.execute("SELECT * FROM day_bars WHERE code <> '000300'").df()
    df["trade_date"] = pd.to_datetime(df["trade_date"].astype(str))
    return df


class TestConsistentWithBars:
    def test_limit_flags_match_the_day_bars(self, con):
        lim = table(con, "market_limit").merge(day_bars(con), on=["trade_date", "market", "code"])
        assert len(lim) == len(STOCKS) * (len(day_bars(con)) // len(STOCKS) - 1)  # first day has no reference
        np.testing.assert_allclose(lim["close_price"], lim["close"])
        up, down = lim[lim["is_limit_up"]], lim[lim["is_limit_down"]]
        np.testing.assert_allclose(up["close"], up["limit_up_price"])
        np.testing.assert_allclose(down["close"], down["limit_down_price"])
        assert set(up["trade_date"].dt.strftime("%Y%m%d").astype(int)) == {LIMIT_UP_DAY}
        assert set(up["code"]) == {"600000", "600519", "000001"}  # 300750 moved 15% on a 20% board
        assert list(down["code"]) == ["600000"]
        assert (lim["limit_up_price"] > lim["close"] - 0.005).all()
        assert (lim["limit_down_price"] < lim["close"] + 0.005).all()

    def test_limits_on_an_ex_date_use_the_ex_rights_close(self, con):
        lim = table(con, "market_limit", target_list=["SZSE.000001"], begin_date=EX_DATE, end_date=EX_DATE)
        bars = day_bars(con).set_index(["code", "trade_date"]).loc["000001"]
        before = bars[bars.index < pd.Timestamp(str(EX_DATE))]["close"].iloc[-1]
        ref = (before - 0.3) / 1.5
        assert lim["prev_close"].iloc[0] == pytest.approx(ref, abs=0.006)
        assert lim["limit_up_price"].iloc[0] == pytest.approx(D.round_price(ref * 1.1))

    def test_money_flows_add_up(self, con):
        flow = table(con, "market_equ_flow").merge(day_bars(con), on=["trade_date", "market", "code"])
        np.testing.assert_allclose(flow["inflow"] + flow["outflow"], flow["turnover_y"], rtol=1e-9)
        for side in ("inflow", "outflow"):
            parts = flow[[f"{side}_{s}" for s in D.FLOW_SIZES]].sum(axis=1)
            np.testing.assert_allclose(parts, flow[side], atol=0.02)
            assert (flow[[f"{side}_{s}" for s in D.FLOW_SIZES]] >= 0).all().all()
        ind = table(con, "market_industry_flow")
        banks = flow[flow["code"].isin(["600000", "000001"])].groupby("trade_date")["net_inflow"].sum()
        got = ind[ind["industry_code"] == "BANK"].set_index("trade_date")["net_inflow"]
        np.testing.assert_allclose(got.sort_index(), banks.sort_index(), atol=0.02)

    def test_rankings(self, con):
        ranks = table(con, "market_rank_stocks")
        day = ranks[ranks["trade_date"] == pd.Timestamp(str(LIMIT_UP_DAY))]
        assert set(day[day["abnormal_type_cd"] == "LIMIT_UP"]["code"]) == {"600000", "600519", "000001"}
        top = day[day["abnormal_type_cd"] == "UP"].sort_values("rank")
        assert top["code"].iloc[0] == "300750"  # +15% beats the three stopped at +10%
        assert top["change_pct"].is_monotonic_decreasing and list(top["rank"]) == list(range(1, len(top) + 1))
        down = ranks[ranks["abnormal_type_cd"] == "DOWN"]
        assert (down["change_pct"] < 0).all()
        ind = table(con, "market_rank_industry")
        for _, g in ind.groupby("trade_date"):
            assert g.sort_values("rank")["change_pct"].is_monotonic_decreasing

    def test_block_trades_lie_within_the_days_limits(self, con):
        blocks = table(con, "market_blockd")
        lim = table(con, "market_limit")
        both = blocks.merge(lim, on=["trade_date", "market", "code"])
        assert len(both) == len(blocks) > 0
        assert ((both["trade_price"] >= both["limit_down_price"]) & (both["trade_price"] <= both["limit_up_price"])).all()
        np.testing.assert_allclose(both["turnover"], both["trade_price"] * both["volume"], rtol=1e-9)

    def test_new_listings_and_their_limit_up_runs(self, con):
        ipo = table(con, "ipo_con_traddays")
        sub = table(con, "market_subnew_equd")
        assert len(ipo) == len(D.SAMPLE_IPOS)
        for row in ipo.itertuples():
            days = sub[sub["code"] == row.code].sort_values("trade_date")
            assert days["trade_date"].iloc[0] == row.list_date
            run = days["is_limit_up"].to_numpy()
            assert run[: row.con_limit_days].all() and not run[row.con_limit_days]
            assert days["trade_date"].iloc[row.con_limit_days] == row.first_open_date
            first = days.iloc[0]
            assert first["close"] == pytest.approx(D.round_price(row.issue_price * 1.44))
            assert row.last_limit_close == days["close"].iloc[row.con_limit_days - 1]


class TestQueries:
    def test_filters_by_targets_dates_and_fields(self, con):
        ans = F.query_fundamental(con, "market_equ_flow", {
            "target_list": [{"Market": "SSE", "Code": "600519"}, "SZSE.000001"],
            "begin_date": 20250903, "end_date": 20250909, "field": ["net_inflow", "code", "trade_date"],
        })
        assert ans["Columns"] == ["net_inflow", "code", "trade_date"]
        assert ans["Types"] == ["float", "str", "date"]
        df = convert_fundamental_to_df(ans)
        assert set(df["code"]) == {"600519", "000001"}
        assert df["trade_date"].min() == pd.Timestamp("2025-09-03") and df["trade_date"].max() == pd.Timestamp("2025-09-09")
        stored = con.execute(
            "SELECT net_inflow FROM fundamental_market_equ_flow WHERE code IN ('600519', '000001') "
            "AND trade_date BETWEEN 20250903 AND 20250909 ORDER BY trade_date, market, code"
        ).fetchall()
        assert df["net_inflow"].tolist() == [r[0] for r in stored]

    def test_industry_and_abnormal_type_filters(self, con):
        by_name = table(con, "market_industry_flow", industry_list=["银行"])
        by_code = table(con, "market_industry_flow", industry_list=["BANK"])
        assert set(by_name["industry_code"]) == {"BANK"} and by_name.equals(by_code)
        ranks = table(con, "market_rank_stocks", abnormal_type_cd=["LIMIT_UP", "LIMIT_DOWN"])
        assert set(ranks["abnormal_type_cd"]) == {"LIMIT_UP", "LIMIT_DOWN"}
        assert len(ranks) == 4
        ipo = table(con, "ipo_con_traddays", begin_date=20251001)
        assert (ipo["list_date"] >= pd.Timestamp("2025-10-01")).all() and 0 < len(ipo) < len(D.SAMPLE_IPOS)

    def test_empty_result_keeps_columns_and_types(self, con):
        for name, d in F.DATASETS.items():
            df = table(con, name, begin_date=20300101)
            assert df.empty and list(df.columns) == [c for c, _ in d.columns]
            types = dict(d.columns)
            for col in df.columns:
                kind = df[col].dtype.kind
                assert kind == {"date": "M", "float": "f", "int": "i", "bool": "b", "str": "O"}.get(types[col], kind)
            assert pd.api.types.is_string_dtype(df["market" if "market" in df else "industry_code"])

    @pytest.mark.parametrize("name, params, message", [
        ("market_cap", {}, "unknown fundamental data set 'market_cap'"),
        ("market_limit", {"industry_list": []}, "unknown parameters \\['industry_list'\\]"),
        ("market_limit", {"field": ["close"]}, "unknown fields \\['close'\\]"),
        ("market_limit", {"field": "close_price"}, "field: expected a list of strings"),
        ("market_limit", {"begin_date": "2025-09-01"}, "begin_date: expected a date"),
        ("market_limit", {"end_date": True}, "end_date: expected a date"),
        ("market_limit", {"target_list": [{"Code": "600000"}]}, "lacks 'Market'"),
        ("market_rank_industry", {"industry_list": [1]}, "industry_list: expected a list of strings"),
        ("market_blockd", [], "parameters must be a dictionary"),
    ])
    def test_bad_requests_are_named(self, con, name, params, message):
        with pytest.raises(CommandError, match=message):
            F.query_fundamental(con, name, params)


def test_a_store_without_stocks_gets_empty_tables():
    con = duckdb.connect()
    create_schema(con)
    con.execute(INSERT_INSTRUMENT + "('SHFE', 'RB2601', 'rb', 'future', 'RB', 10, 1, 0, 0)")
    con.execute("INSERT INTO day_bars VALUES ('SHFE', 'RB2601', 20250902, 1, 2, 1, 2, 1, 1, 0)")
    D.build_sample_fundamentals(con)
    for name in F.DATASETS:
        assert table(con, name).empty
