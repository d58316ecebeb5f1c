"""Fundamental data sets derived from stock day bars, and the sample store's tables built from them.

Every function here is pure pandas: it takes day bars (columns ``market, code,
trade_date, open, high, low, close, volume, turnover``, unadjusted prices) and
returns the rows of one data set, so the fundamental tables always agree with
the bars they come from: a stock shown closing at its limit price closes at
that price in the day bars, money flows add up to the day's turnover, and so on.

Values that the bars cannot determine (how turnover splits into buying and
selling, block-trade prices) come from a pseudo-random draw keyed by the stock
and the day, so they are the same on every build.
"""
from __future__ import annotations

import hashlib

import duckdb
import numpy as np
import pandas as pd

from ..store.fundamentals import FLOW_SIZES, create_fundamental_tables, store_dataset

PRICE_TOLERANCE = 0.005  # half a price tick: a close this near a limit is at the limit

# Industries of the sample stocks; any other stock is filed under OTHER.
INDUSTRIES = {
    ("SSE", "600000"): ("BANK", "银行"),
    ("SZSE", "000001"): ("BANK", "银行"),
    ("SSE", "600519"): ("FOOD_BEVERAGE", "食品饮料"),
}
OTHER_INDUSTRY = ("OTHER", "其他")

ABNORMAL_TYPES = {
    "LIMIT_UP": "收盘涨停",
    "LIMIT_DOWN": "收盘跌停",
    "UP": "涨幅居前",
    "DOWN": "跌幅居前",
    "AMPLITUDE": "振幅居前",
    "TURNOVER": "成交额居前",
}
RANK_DEPTH = 5  # stocks listed per abnormal type and day

BROKERS = (
    "机构专用",
    "中信证券上海分公司",
    "华泰证券深圳益田路营业部",
    "国泰君安证券总部",
    "招商证券北京建国路营业部",
)


def round_price(x):
    """Round to the 0.01 price tick, halves away from zero (exchange rule)."""
    x = np.asarray(x, dtype=np.float64)
    return np.sign(x) * np.floor(np.abs(x) * 100.0 + 0.5 + 1e-9) / 100.0


def limit_ratio(market: str, code: str, name: str = "") -> float:
    """Daily price limit as a fraction of the previous close."""
    if "ST" in (name or "").upper():
        return 0.05
    if (market == "SZSE" and code.startswith(("300", "301"))) or (market == "SSE" and code.startswith("688")):
        return 0.20
    if market == "BSE":
        return 0.30
    return 0.10


def uniform(market: str, code: str, trade_date: int, salt: str) -> float:
    """A stable draw in [0, 1) for one stock, day and purpose."""
    digest = hashlib.blake2b(f"{market}.{code}.{trade_date}.{salt}".encode(), digest_size=8).digest()
    return int.from_bytes(digest, "little") / 2.0**64


def _uniforms(bars: pd.DataFrame, salt: str) -> np.ndarray:
    return np.array(
        [uniform(m, c, int(d), salt) for m, c, d in zip(bars["market"], bars["code"], bars["trade_date"])],
        dtype=np.float64,
    )


def with_prev_close(bars: pd.DataFrame, ex_rights: pd.DataFrame | None = None, names=None) -> pd.DataFrame:
    """Day bars with the reference previous close and the day's limit prices.

    The reference close is the previous day's close, made ex-rights on an
    ex-date (``ex_rights``: market, code, ex_date, split as shares per old
    share, dividend per old share): ``(close - dividend) / split``. Limits are
    the reference times one plus or minus the board's limit ratio, rounded to
    the tick. A stock's first bar has no previous close and is dropped.
    """
    out = bars.sort_values(["market", "code", "trade_date"]).reset_index(drop=True).copy()
    ref = out.groupby(["market", "code"])["close"].shift(1).to_numpy()
    if ex_rights is not None and len(ex_rights):
        ex = ex_rights.rename(columns={"ex_date": "trade_date"})[["market", "code", "trade_date", "split", "dividend"]]
        ex = out[["market", "code", "trade_date"]].merge(ex, on=["market", "code", "trade_date"], how="left")
        split = ex["split"].to_numpy(dtype=np.float64)
        split = np.where(np.isfinite(split) & (split > 0), split, 1.0)
        ref = (ref - ex["dividend"].fillna(0.0).to_numpy()) / split
    keep = ~np.isnan(ref)
    out, ref = out[keep].reset_index(drop=True), ref[keep]
    names = names or {}
    ratio = np.array([limit_ratio(m, c, names.get((m, c), "")) for m, c in zip(out["market"], out["code"])])
    out["prev_close"] = round_price(ref)
    out["limit_up_price"] = round_price(ref * (1.0 + ratio))
    out["limit_down_price"] = round_price(ref * (1.0 - ratio))
    close, high, low = out["close"].to_numpy(), out["high"].to_numpy(), out["low"].to_numpy()
    out["is_limit_up"] = np.abs(close - out["limit_up_price"].to_numpy()) < PRICE_TOLERANCE
    out["is_limit_down"] = np.abs(close - out["limit_down_price"].to_numpy()) < PRICE_TOLERANCE
    out["touched_limit_up"] = high > out["limit_up_price"].to_numpy() - PRICE_TOLERANCE
    out["touched_limit_down"] = low < out["limit_down_price"].to_numpy() + PRICE_TOLERANCE
    out["change_pct"] = (close / ref - 1.0) * 100.0
    out["amplitude"] = (high - low) / ref * 100.0
    return out


def market_limit(day: pd.DataFrame) -> pd.DataFrame:
    """Daily limit prices of each stock and whether the close sat at a limit."""
    cols = [
        "trade_date", "market", "code", "prev_close", "limit_up_price", "limit_down_price",
        "high", "low", "close", "is_limit_up", "is_limit_down", "touched_limit_up", "touched_limit_down",
    ]
    return day[cols].rename(columns={"high": "high_price", "low": "low_price", "close": "close_price"})


def market_equ_flow(day: pd.DataFrame) -> pd.DataFrame:
    """Daily money flow of each stock by order size.

    Inflow is turnover from active buying, outflow from active selling; the
    two add up to the day's turnover. The buying share leans with the day's
    price change.
    """
    turnover = day["turnover"].to_numpy()
    change = day["change_pct"].to_numpy() / 100.0
    buy_share = np.clip(0.5 + 2.5 * change + 0.1 * (_uniforms(day, "buy") - 0.5), 0.05, 0.95)
    inflow = np.round(turnover * buy_share, 2)
    outflow = np.round(turnover - inflow, 2)
    out = day[["trade_date", "market", "code", "turnover"]].copy()
    for side, total in (("inflow", inflow), ("outflow", outflow)):
        shares = np.column_stack(
            [base * (0.75 + 0.5 * _uniforms(day, side + size)) for base, size in zip((0.35, 0.30, 0.20, 0.15), FLOW_SIZES)]
        )
        shares /= shares.sum(axis=1, keepdims=True)
        parts = np.round(shares * total[:, None], 2)
        parts[:, -1] = np.round(total - parts[:, :-1].sum(axis=1), 2)  # the parts add up to the total
        for i, size in enumerate(FLOW_SIZES):
            out[f"{side}_{size}"] = parts[:, i]
        out[side] = total
    out["net_inflow"] = np.round(inflow - outflow, 2)
    with np.errstate(divide="ignore", invalid="ignore"):
        out["net_inflow_rate"] = np.where(turnover > 0, out["net_inflow"].to_numpy() / turnover * 100.0, 0.0)
    return out.reset_index(drop=True)


def industry_of(day: pd.DataFrame) -> pd.DataFrame:
    keys = [INDUSTRIES.get((m, c), OTHER_INDUSTRY) for m, c in zip(day["market"], day["code"])]
    out = day.copy()
    out["industry_code"] = [k[0] for k in keys]
    out["industry_name"] = [k[1] for k in keys]
    return out


def market_industry_flow(flow: pd.DataFrame) -> pd.DataFrame:
    """Daily money flow of each industry: the sums over its stocks."""
    grouped = industry_of(flow).groupby(["trade_date", "industry_code", "industry_name"], as_index=False)
    out = grouped.agg(
        stock_count=("code", "size"),
        turnover=("turnover", "sum"),
        inflow=("inflow", "sum"),
        outflow=("outflow", "sum"),
    )
    out["net_inflow"] = np.round(out["inflow"] - out["outflow"], 2)
    turnover = out["turnover"].to_numpy()
    with np.errstate(divide="ignore", invalid="ignore"):
        out["net_inflow_rate"] = np.where(turnover > 0, out["net_inflow"].to_numpy() / turnover * 100.0, 0.0)
    return out.sort_values(["trade_date", "industry_code"]).reset_index(drop=True)


def market_rank_stocks(day: pd.DataFrame, flow: pd.DataFrame) -> pd.DataFrame:
    """Per day and abnormal type, the stocks that stand out, ranked from 1."""
    day = day.merge(flow[["trade_date", "market", "code", "net_inflow"]], on=["trade_date", "market", "code"])
    pieces = []
    selections = {
        "LIMIT_UP": (day[day["is_limit_up"]], "turnover", False),
        "LIMIT_DOWN": (day[day["is_limit_down"]], "turnover", False),
        "UP": (day[day["change_pct"] > 0], "change_pct", False),
        "DOWN": (day[day["change_pct"] < 0], "change_pct", True),
        "AMPLITUDE": (day, "amplitude", False),
        "TURNOVER": (day, "turnover", False),
    }
    for type_cd, (rows, key, ascending) in selections.items():
        if rows.empty:
            continue
        rows = rows.sort_values(["trade_date", key, "market", "code"], ascending=[True, ascending, True, True])
        rows = rows.assign(rank=rows.groupby("trade_date").cumcount() + 1)
        rows = rows[rows["rank"] <= RANK_DEPTH]
        pieces.append(rows.assign(abnormal_type_cd=type_cd, abnormal_type=ABNORMAL_TYPES[type_cd]))
    cols = [
        "trade_date", "market", "code", "abnormal_type_cd", "abnormal_type", "rank",
        "change_pct", "amplitude", "close", "turnover", "net_inflow",
    ]
    if not pieces:
        return pd.DataFrame({c: [] for c in cols}).rename(columns={"close": "close_price"})
    out = pd.concat(pieces)[cols].rename(columns={"close": "close_price"})
    return out.sort_values(["trade_date", "abnormal_type_cd", "rank"]).reset_index(drop=True)


def market_rank_industry(day: pd.DataFrame) -> pd.DataFrame:
    """Per day, industries ranked by their turnover-weighted price change."""
    day = industry_of(day)
    day = day.assign(weighted=day["change_pct"] * day["turnover"])
    keys = ["trade_date", "industry_code", "industry_name"]
    out = day.groupby(keys, as_index=False).agg(
        turnover=("turnover", "sum"),
        weighted=("weighted", "sum"),
        mean_change=("change_pct", "mean"),
        up_count=("change_pct", lambda s: int((s > 0).sum())),
        down_count=("change_pct", lambda s: int((s < 0).sum())),
    )
    turnover = out["turnover"].to_numpy()
    with np.errstate(divide="ignore", invalid="ignore"):
        weighted = out["weighted"].to_numpy() / turnover
    out["change_pct"] = np.where(turnover > 0, weighted, out["mean_change"].to_numpy())
    lead = day.sort_values(["change_pct", "market", "code"], ascending=[False, True, True]).groupby(keys).head(1)
    lead = lead[keys + ["market", "code", "change_pct"]].rename(
        columns={"market": "leading_market", "code": "leading_code", "change_pct": "leading_change_pct"}
    )
    out = out.merge(lead, on=keys)
    out = out.sort_values(["trade_date", "change_pct", "industry_code"], ascending=[True, False, True])
    out["rank"] = out.groupby("trade_date").cumcount() + 1
    cols = keys + [
        "rank", "change_pct", "turnover", "up_count", "down_count",
        "leading_market", "leading_code", "leading_change_pct",
    ]
    return out[cols].reset_index(drop=True)


def market_blockd(day: pd.DataFrame) -> pd.DataFrame:
    """Block trades: on about one day in four a stock has one, priced inside
    the day's limits near the close, for a slice of the day's volume."""
    pick = _uniforms(day, "block") < 0.25
    rows = day[pick]
    discount = -0.08 + 0.10 * _uniforms(rows, "discount")
    price = round_price(rows["close"].to_numpy() * (1.0 + discount))
    price = np.clip(price, rows["limit_down_price"].to_numpy(), rows["limit_up_price"].to_numpy())
    volume = np.maximum(100.0, np.round(rows["volume"].to_numpy() * (0.005 + 0.03 * _uniforms(rows, "size")) / 100.0) * 100.0)
    buyer = [BROKERS[int(u * len(BROKERS))] for u in _uniforms(rows, "buyer")]
    seller = [BROKERS[int(u * len(BROKERS))] for u in _uniforms(rows, "seller")]
    out = pd.DataFrame(
        {
            "trade_date": rows["trade_date"].to_numpy(),
            "market": rows["market"].to_numpy(),
            "code": rows["code"].to_numpy(),
            "trade_price": price,
            "volume": volume,
            "turnover": np.round(price * volume, 2),
            "close_price": rows["close"].to_numpy(),
            "premium_pct": (price / rows["close"].to_numpy() - 1.0) * 100.0,
            "buyer": buyer,
            "seller": seller,
        }
    )
    return out.sort_values(["trade_date", "market", "code"]).reset_index(drop=True)


# Newly listed stocks of the sample period: code, name, listing day (index into
# the period's trading days), issue price, limit-up days after the first day.
SAMPLE_IPOS = (
    ("SSE", "603901", "禾新科技", 10, 12.36, 4),
    ("SZSE", "001399", "润川材料", 35, 18.50, 2),
    ("SSE", "603907", "远澜智能", 60, 9.88, 6),
)
FIRST_DAY_LIMIT_UP = 0.44  # main-board first trading day
FIRST_DAY_LIMIT_DOWN = 0.36
SUBNEW_TRADING_DAYS = 250  # a stock is sub-new for its first year of trading


def sample_ipo_bars(trading_days) -> tuple[pd.DataFrame, pd.DataFrame]:
    """Day bars and listings of the sample's newly listed stocks: a first day
    closing at the first-day limit, a run of one-price limit-up days, then
    ordinary trading. Listings whose day falls outside ``trading_days`` are
    left out."""
    days = [int(d) for d in trading_days]
    bars, listings = [], []
    for market, code, name, first, issue, run in SAMPLE_IPOS:
        if first >= len(days):
            continue
        listings.append((market, code, name, days[first], issue))
        prev = issue
        for i, d in enumerate(days[first:]):
            u = lambda salt: uniform(market, code, d, salt)  # noqa: E731
            if i == 0:
                close = float(round_price(issue * (1 + FIRST_DAY_LIMIT_UP)))
                open_ = float(round_price(issue * (1.15 + 0.2 * u("open"))))
                high, low, volume = close, open_, 2.0e7 * (0.8 + 0.4 * u("vol"))
            elif i <= run:
                close = open_ = high = low = float(round_price(prev * 1.1))
                volume = 2.0e5 * (0.5 + u("vol"))
            else:
                limit_up, limit_down = float(round_price(prev * 1.1)), float(round_price(prev * 0.9))
                open_ = limit_up if i == run + 1 else float(round_price(prev * (0.97 + 0.06 * u("open"))))
                close = float(round_price(prev * (0.94 + 0.1 * u("close"))))
                high = min(limit_up, float(round_price(max(open_, close) * (1 + 0.02 * u("high")))))
                low = max(limit_down, float(round_price(min(open_, close) * (1 - 0.02 * u("low")))))
                volume = (3.0e7 if i == run + 1 else 8.0e6) * (0.6 + 0.8 * u("vol"))
            volume = float(np.round(volume / 100.0) * 100.0)
            turnover = round(volume * (open_ + close + high + low) / 4.0, 2)
            bars.append((market, code, d, open_, high, low, close, volume, turnover))
            prev = close
    bar_cols = ["market", "code", "trade_date", "open", "high", "low", "close", "volume", "turnover"]
    return (
        pd.DataFrame(bars, columns=bar_cols),
        pd.DataFrame(listings, columns=["market", "code", "name", "list_date", "issue_price"]),
    )


def _listed_bars(bars: pd.DataFrame, listings: pd.DataFrame) -> pd.DataFrame:
    """Bars of listed stocks from their listing day on, with the trading-day
    count since listing, the reference close (the issue price on the first
    day) and the day's limit-up price."""
    out = bars.merge(listings, on=["market", "code"])
    out = out[out["trade_date"] >= out["list_date"]].sort_values(["market", "code", "trade_date"])
    out = out.reset_index(drop=True)
    out["days_listed"] = out.groupby(["market", "code"]).cumcount() + 1
    prev = out.groupby(["market", "code"])["close"].shift(1)
    out["prev_close"] = prev.fillna(out["issue_price"])
    first = out["days_listed"].to_numpy() == 1
    ratio = np.array([limit_ratio(m, c, n) for m, c, n in zip(out["market"], out["code"], out["name"])])
    up_ratio = np.where(first, FIRST_DAY_LIMIT_UP, ratio)
    out["limit_up_price"] = round_price(out["prev_close"].to_numpy() * (1.0 + up_ratio))
    out["is_limit_up"] = np.abs(out["close"].to_numpy() - out["limit_up_price"].to_numpy()) < PRICE_TOLERANCE
    return out


def market_subnew_equd(bars: pd.DataFrame, listings: pd.DataFrame) -> pd.DataFrame:
    """Daily data of stocks in their first year of trading."""
    day = _listed_bars(bars, listings)
    day = day[day["days_listed"] <= SUBNEW_TRADING_DAYS].copy()
    day["change_pct"] = (day["close"] / day["prev_close"] - 1.0) * 100.0
    cols = [
        "trade_date", "market", "code", "name", "list_date", "days_listed", "prev_close",
        "open", "high", "low", "close", "volume", "turnover", "change_pct", "is_limit_up",
    ]
    return day[cols].sort_values(["trade_date", "market", "code"]).reset_index(drop=True)


def ipo_con_traddays(bars: pd.DataFrame, listings: pd.DataFrame) -> pd.DataFrame:
    """Per listing: the run of limit-up closes from the first trading day on,
    and the day the run ended (None while it lasts)."""
    day = _listed_bars(bars, listings)
    rows = []
    for (market, code), g in day.groupby(["market", "code"], sort=True):
        at_limit = g["is_limit_up"].to_numpy()
        run = int(np.argmin(at_limit)) if not at_limit.all() else len(at_limit)
        first_open = None if run == len(at_limit) else int(g["trade_date"].iloc[run])
        last_close = float(g["close"].iloc[run - 1]) if run else float("nan")
        issue = float(g["issue_price"].iloc[0])
        rows.append((
            int(g["list_date"].iloc[0]), market, code, g["name"].iloc[0], issue, run,
            first_open, last_close, (last_close / issue - 1.0) * 100.0,
        ))
    cols = [
        "list_date", "market", "code", "name", "issue_price", "con_limit_days",
        "first_open_date", "last_limit_close", "total_change_pct",
    ]
    out = pd.DataFrame(rows, columns=cols)
    out["first_open_date"] = pd.array(out["first_open_date"].tolist(), dtype="Int64")
    return out.sort_values(["list_date", "market", "code"]).reset_index(drop=True)


# ---------------------------------------------------------------- the store's tables
def _stock_day_bars(con: duckdb.DuckDBPyConnection) -> tuple[pd.DataFrame, dict]:
    bars = con.execute(
        "SELECT b.market, b.code, b.trade_date, b.open, b.high, b.low, b.close, b.volume, b.turnover, i.name "
        "FROM day_bars b JOIN instruments i ON i.market = b.market AND i.code = b.code "
        "WHERE i.kind = 'stock' AND b.close IS NOT NULL ORDER BY b.market, b.code, b.trade_date"
    ).df()
    names = {(m, c): n for m, c, n in zip(bars["market"], bars["code"], bars["name"])}
    return bars.drop(columns=["name"]), names


def _ex_rights(con: duckdb.DuckDBPyConnection) -> pd.DataFrame:
    return con.execute("SELECT market, code, ex_date, split, dividend FROM adj_factors").df()


def build_fundamentals(con, bars: pd.DataFrame, ex_rights: pd.DataFrame, names: dict, trading_days) -> None:
    """Fills every fundamental table from stock day bars (the data sets: ``store.fundamentals``)."""
    create_fundamental_tables(con)
    day = with_prev_close(bars, ex_rights, names)
    flow = market_equ_flow(day)
    ipo_bars, listings = sample_ipo_bars(trading_days)
    store_dataset(con, "market_limit", market_limit(day))
    store_dataset(con, "market_equ_flow", flow)
    store_dataset(con, "market_industry_flow", market_industry_flow(flow))
    store_dataset(con, "market_rank_stocks", market_rank_stocks(day, flow))
    store_dataset(con, "market_rank_industry", market_rank_industry(day))
    store_dataset(con, "ipo_con_traddays", ipo_con_traddays(ipo_bars, listings))
    store_dataset(con, "market_subnew_equd", market_subnew_equd(ipo_bars, listings))
    store_dataset(con, "market_blockd", market_blockd(day))


def build_sample_fundamentals(con: duckdb.DuckDBPyConnection) -> None:
    """Builds the fundamental tables of a store whose stock day bars,
    instruments and adjustment factors already exist. The sample's new
    listings fall on trading days of the stock bars."""
    bars, names = _stock_day_bars(con)
    days = sorted(int(d) for d in bars["trade_date"].unique())
    build_fundamentals(con, bars, _ex_rights(con), names, days)
