"""Market rules answered to a back-test's broker: kind, sizes, T+1, costs (the most specific row), the
day's price limits (checked against the exchanges' rounding worked out here from the day bars) and the
main contracts of continuous targets."""
from decimal import ROUND_HALF_UP, Decimal

import pytest

from telvar.host.importer import import_files
from telvar.host.server import Host
from telvar.kestrum.comm import TelvarSocket, TvReturnError
from user_files import written_before_trading_rules

pytestmark = pytest.mark.host
BEGIN, END = 20250901, 20251231
RULES = "tvSendCmdGetTradingRules"


def on_tick(price, ratio, tick="0.01"):
    """``price * ratio`` to the nearest tick, halves up, worked out in decimal arithmetic."""
    tick = Decimal(tick)
    return float((Decimal(repr(price)) * Decimal(ratio) / tick).quantize(Decimal(1), ROUND_HALF_UP) * tick)


def day_closes(store_con, market, code):
    return store_con.execute("SELECT trade_date, close FROM day_bars WHERE market = ? AND code = ? "
                             "ORDER BY trade_date", [market, code]).fetchall()


@pytest.fixture(scope="module")
def rules(host):
    sock = TelvarSocket(host.address)
    answer = sock.request(RULES, [["SSE.600000", "SZSE.000001", "SSE.000300", "DCE.M2601", "CFFEX.IF2512",
                                   "SHFE.RB0000", "SHFE.RB2510", "SHFE.RB2601", "SHFE.RB2605"], BEGIN, END])
    sock.close()
    return answer


def test_a_stock_trades_in_lots_of_100_on_t_plus_one_with_stamp_tax(rules, store_con):
    r = rules["SSE.600000"]
    assert {k: r[k] for k in ("Kind", "Multiplier", "PriceTick", "MarginRatio", "LotSize", "TPlusOne")} == {
        "Kind": "stock", "Multiplier": 1.0, "PriceTick": 0.01, "MarginRatio": 1.0, "LotSize": 100, "TPlusOne": True}
    assert r["Costs"] == {"CommissionRate": 0.00025, "CommissionPerLot": 0.0, "MinCommission": 5.0,
                          "StampTaxRate": 0.0005, "SlippageTicks": 0.0}
    assert r["Contracts"] == {"Date": [], "Contract": []}
    closes = day_closes(store_con, "SSE", "600000")
    assert r["Limits"]["Date"] == [d for d, _ in closes]
    # the first day's reference is the price the sample started from (13.20)
    expected_up = [on_tick(13.2, "1.1")] + [on_tick(c, "1.1") for _, c in closes[:-1]]
    expected_down = [on_tick(13.2, "0.9")] + [on_tick(c, "0.9") for _, c in closes[:-1]]
    assert r["Limits"]["Up"] == expected_up
    assert r["Limits"]["Down"] == expected_down


def test_on_an_ex_date_the_limits_start_from_the_ex_rights_close(rules, store_con):
    """000001 pays 0.236 on 2025-10-15 and splits 1.2 for 1 on 2025-11-10."""
    r = rules["SZSE.000001"]
    closes = dict(zip([d for d, _ in day_closes(store_con, "SZSE", "000001")][1:],
                      [c for _, c in day_closes(store_con, "SZSE", "000001")][:-1]))
    limits = dict(zip(r["Limits"]["Date"], zip(r["Limits"]["Up"], r["Limits"]["Down"])))
    for day, ref in ((20251015, (Decimal(repr(closes[20251015])) - Decimal("0.236"))),
                     (20251110, Decimal(repr(closes[20251110])) / Decimal("1.2")),
                     (20251016, Decimal(repr(closes[20251016])))):
        up = float((ref * Decimal("1.1")).quantize(Decimal("0.01"), ROUND_HALF_UP))
        down = float((ref * Decimal("0.9")).quantize(Decimal("0.01"), ROUND_HALF_UP))
        assert limits[day] == (up, down), day
    # the stock was pushed to its limit on 2025-11-05: it closed at the limit the rules give
    assert dict(day_closes(store_con, "SZSE", "000001"))[20251105] == limits[20251105][0]


def test_an_index_has_no_limits_and_no_costs(rules):
    r = rules["SSE.000300"]
    assert (r["Kind"], r["LotSize"], r["TPlusOne"], r["Limits"]["Date"]) == ("index", 1, False, [])
    assert set(r["Costs"].values()) == {0.0}


@pytest.mark.parametrize("key, margin, ratio, tick, costs", [
    ("DCE.M2601", 0.08, "0.07", "1", {"CommissionRate": 0.0, "CommissionPerLot": 1.5}),
    ("CFFEX.IF2512", 0.12, "0.10", "0.2", {"CommissionRate": 0.000023, "CommissionPerLot": 0.0}),
])
def test_a_futures_contract_has_its_varietys_margin_costs_and_limits(rules, store_con, key, margin, ratio, tick,
                                                                     costs):
    r = rules[key]
    assert (r["Kind"], r["MarginRatio"], r["LotSize"], r["TPlusOne"], r["PriceTick"]) == (
        "future", margin, 1, False, float(tick))
    assert {k: r["Costs"][k] for k in costs} == costs and r["Costs"]["StampTaxRate"] == 0.0
    closes = day_closes(store_con, *key.split("."))
    assert r["Limits"]["Date"] == [d for d, _ in closes]
    up = 1 + Decimal(ratio)
    down = 1 - Decimal(ratio)
    assert r["Limits"]["Up"][1:] == [on_tick(c, up, tick) for _, c in closes[:-1]]
    assert r["Limits"]["Down"][1:] == [on_tick(c, down, tick) for _, c in closes[:-1]]


def test_a_continuous_target_has_the_main_contract_and_its_limits_of_each_day(rules, connected_host):
    from telvar.api.history import _history
    from telvar.kestrum.comm import tvcmd

    r = rules["SHFE.RB0000"]
    assert tvcmd.tvSendCmdGetTradingRules([{"Market": "SHFE", "Code": "RB0000"}], BEGIN, END) == {"SHFE.RB0000": r}
    (dates, contracts), = _history.get_main_contract([{"Market": "SHFE", "Code": "RB0000"}], BEGIN, END).values()
    assert r["Contracts"]["Date"] == [int(d) for d in dates]
    assert r["Contracts"]["Contract"] == [str(c).split(".")[-1] for c in contracts]
    assert len(set(r["Contracts"]["Contract"])) >= 2  # it rolls in the period
    assert (r["Kind"], r["MarginRatio"], r["TPlusOne"]) == ("continuous", 0.10, False)
    assert r["Costs"]["CommissionRate"] == 0.0001
    by_contract = {c: dict(zip(rules[f"SHFE.{c}"]["Limits"]["Date"],
                               zip(rules[f"SHFE.{c}"]["Limits"]["Up"], rules[f"SHFE.{c}"]["Limits"]["Down"])))
                   for c in set(r["Contracts"]["Contract"])}
    assert r["Limits"]["Date"] == r["Contracts"]["Date"]
    for day, contract, up, down in zip(r["Limits"]["Date"], r["Contracts"]["Contract"], r["Limits"]["Up"],
                                       r["Limits"]["Down"]):
        assert by_contract[contract][day] == (up, down)


def test_a_shorter_range_and_unknown_targets(host):
    sock = TelvarSocket(host.address)
    try:
        r = sock.request(RULES, [[{"Market": "SHFE", "Code": "RB0000"}], 20251103, 20251107])["SHFE.RB0000"]
        assert r["Limits"]["Date"] == r["Contracts"]["Date"] == [20251103, 20251104, 20251105, 20251106, 20251107]
        with pytest.raises(TvReturnError, match=r"unknown instrument SHFE\.XX0000 .*'MARKET\.CODE' keys"):
            sock.request(RULES, [["SHFE.XX0000"], 20251103, 20251107])
        with pytest.raises(TvReturnError, match="begin date 20251107 is after end date 20251103"):
            sock.request(RULES, [["SHFE.RB0000"], 20251107, 20251103])
    finally:
        sock.close()


def test_no_bar_of_the_sample_lies_outside_its_days_limits(store_con):
    outside = store_con.execute("""SELECT b.market, b.code, b.ts FROM minute_bars b JOIN limits l
        ON l.market = b.market AND l.code = b.code AND l.trade_date = b.trade_date
        WHERE b.high > l.limit_up OR b.low < l.limit_down LIMIT 5""").fetchall()
    assert outside == []
    missing = store_con.execute("""SELECT count(*) FROM day_bars b JOIN instruments i USING (market, code)
        LEFT JOIN limits l USING (market, code, trade_date) WHERE i.kind IN ('stock', 'future')
        AND l.limit_up IS NULL""").fetchone()
    assert missing == (0,)


# ---------------------------------------------------------------- a user's store
def _write(path, lines):
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


@pytest.fixture
def user_store(tmp_path):
    s = tmp_path / "user.duckdb"
    import_files(s, "calendar", [_write(tmp_path / "cal.csv", ["market,trade_date", "SHFE,20251010",
                                                               "SSE,20251010"])])
    import_files(s, "instruments", [_write(tmp_path / "ins.csv", [
        "market,code,name,kind,variety,multiplier,price_tick,margin_ratio,lot_size",
        "SHFE,RB2601,rebar,future,RB,10,1,0.13,",
        "SHFE,CU2601,copper,future,CU,5,10,,",
        "SHFE,AL2601,aluminium,future,AL,5,5,,",
        "SHFE,AL0000,aluminium main,continuous,AL,5,5,,",
        "SHFE,ZN0000,zinc main,continuous,ZN,5,5,,",
        "SSE,600000,bank,stock,,1,0.01,,",
        "SSE,510300,fund,index,,1,0.001,,"])])
    return s


def _rules_of(store, tmp_path, keys):
    host = Host(store, tmp_path / "out", socket_path=str(tmp_path / "h.sock"))
    host.start_in_thread()
    try:
        sock = TelvarSocket(host.address)
        answer = sock.request(RULES, [keys, 20251010, 20251010])
        sock.close()
        return answer
    finally:
        host.shutdown()


KEYS = ["SHFE.RB2601", "SHFE.CU2601", "SHFE.AL2601", "SHFE.AL0000", "SHFE.ZN0000", "SSE.600000", "SSE.510300"]


def test_costs_come_from_the_most_specific_row(user_store, tmp_path):
    import_files(user_store, "costs", [_write(tmp_path / "costs.csv", [
        "market,variety,kind,commission_rate",
        "SHFE,,,0.0009",            # the market's own row
        "SHFE,,future,0.0008",      # futures of SHFE
        "SHFE,CU,,0.0007",          # the CU variety
        "SHFE,AL,continuous,0.0006",  # AL's continuous target only
        "SHFE,AL,,0.0005",
        "SSE,,stock,0.0004"])])
    rates = {k: v["Costs"]["CommissionRate"] for k, v in _rules_of(user_store, tmp_path, KEYS).items()}
    assert rates == {
        "SHFE.RB2601": 0.0008,  # no RB row: the kind's
        "SHFE.CU2601": 0.0007,  # the variety's over the kind's and the market's
        "SHFE.AL2601": 0.0005,  # the variety's row for any kind
        "SHFE.AL0000": 0.0006,  # variety and kind
        "SHFE.ZN0000": 0.0008,  # a continuous target trades futures: the futures row
        "SSE.600000": 0.0004,
        "SSE.510300": 0.0,      # SSE has no row for indices nor one of its own: the built-in default
    }


def test_without_costs_rows_the_built_in_defaults_apply_and_sizes_follow_the_kind(user_store, tmp_path):
    rules = _rules_of(user_store, tmp_path, KEYS)
    assert rules["SSE.600000"]["Costs"] == {"CommissionRate": 0.0003, "CommissionPerLot": 0.0,
                                            "MinCommission": 5.0, "StampTaxRate": 0.0005, "SlippageTicks": 0.0}
    assert rules["SHFE.CU2601"]["Costs"]["CommissionRate"] == 0.0001
    assert [(rules[k]["MarginRatio"], rules[k]["LotSize"]) for k in ("SHFE.RB2601", "SHFE.CU2601", "SSE.600000")] \
        == [(0.13, 1), (0.10, 1), (1.0, 100)]
    assert rules["SHFE.AL0000"]["Contracts"] == {"Date": [], "Contract": []}


def test_a_store_written_before_the_trading_rules_is_served_with_defaults(user_store, tmp_path):
    written_before_trading_rules(user_store)
    rules = _rules_of(user_store, tmp_path, ["SHFE.RB2601", "SSE.600000"])
    assert (rules["SHFE.RB2601"]["MarginRatio"], rules["SHFE.RB2601"]["LotSize"]) == (0.10, 1)
    assert (rules["SSE.600000"]["MarginRatio"], rules["SSE.600000"]["LotSize"]) == (1.0, 100)
    assert rules["SSE.600000"]["Costs"]["StampTaxRate"] == 0.0005
    assert rules["SHFE.RB2601"]["Limits"] == {"Date": [], "Up": [], "Down": []}
