"""Deterministic sample store: real exchange calendar, synthetic but plausible prices.

``build_store(path)`` writes the sample store (2025-09-01 .. 2025-12-31);
``build_store(path, extra_stocks=50, begin=..., end=...)`` builds larger
stores for benchmarks.  ``sample_store_path()`` returns the cached sample
store, building it once per generator version (atomically, under a file lock).
"""
from __future__ import annotations

import datetime as _dt
import fcntl
import hashlib
import os
import sys
import zlib
from pathlib import Path

import duckdb
import numpy as np
import pandas as pd

from telvar.common import timeconv
from telvar.common.timeconv import date_to_int, int_to_date
from telvar.common.userdirs import UnsafeFolderError, cache_dir

from ..store import bars, daybars, fundamentals as fundamental_tables, schema, tradingtime
from ..store.daybars import day_bars
from ..store.schema import QUOTE_COLUMNS, create_schema
from ..store.tradingtime import Calendar, Session, night_is_open
from . import catalog as S
from . import fundamentals, trading
from .fundamentals import build_sample_fundamentals, limit_ratio, round_price
from .trading import costs_frame, limits_frame, with_trading_columns

GENERATOR_VERSION = "3"
SAMPLE_BEGIN, SAMPLE_END = 20250901, 20251231
MARKETS = ("SSE", "SZSE", "SHFE", "DCE", "CFFEX")


def _rng(*key) -> np.random.Generator:
    return np.random.default_rng(zlib.crc32("/".join(map(str, key)).encode()))


def xshg_days(begin: int, end: int) -> list[int]:
    import warnings

    import exchange_calendars as xc

    start = int_to_date(begin) - _dt.timedelta(days=20)
    with warnings.catch_warnings():  # exchange_calendars' own pandas deprecations
        warnings.simplefilter("ignore")
        cal = xc.get_calendar("XSHG", start=start.isoformat(), end=int_to_date(end).isoformat())
        days = [date_to_int(d.date()) for d in cal.sessions]
    if begin <= 20251006 <= end and 20251006 in days:
        # releases before 4.9 (the newest for Python 3.9) guessed the 2025
        # holidays before the exchange published them
        warnings.warn(f"exchange_calendars {xc.__version__} does not know the exchange's published 2025 "
                      "holidays (closed 2025-10-01..08), so the calendar built from it is wrong there; "
                      "exchange_calendars 4.9 or newer (Python 3.10+) has them", RuntimeWarning, stacklevel=2)
    return days


def _calendar_frame(begin: int, end: int) -> pd.DataFrame:
    all_days = xshg_days(begin, end)
    rows = []
    for prev, day in zip(all_days[:-1], all_days[1:]):
        if begin <= day <= end:
            rows.append((day, night_is_open(prev, day)))
    if all_days and all_days[0] >= begin:
        rows.insert(0, (all_days[0], False))
    frames = [pd.DataFrame({"market": m, "trade_date": [r[0] for r in rows], "night": [r[1] for r in rows]})
              for m in MARKETS]
    return pd.concat(frames, ignore_index=True)


def _trading_calendar(cal_df: pd.DataFrame, begin: int, end: int) -> tuple[Calendar, np.ndarray]:
    """The calendar the bars are generated on, and the positions of the days from ``begin`` to ``end``."""
    sse = cal_df[cal_df.market == "SSE"]
    cal = Calendar(sse.trade_date, sse.night)
    return cal, cal.between(begin, end)


def _sessions_frame() -> pd.DataFrame:
    rows = [(m, v, i, s, e, n) for (m, v), ss in S.SESSIONS.items() for i, (s, e, n) in enumerate(ss)]
    return pd.DataFrame(rows, columns=["market", "variety", "seq", "start_hhmm", "end_hhmm", "night"])


def _sessions(market: str, variety: str) -> list[Session]:
    ss = S.SESSIONS.get((market, variety)) or S.SESSIONS[(market, "")]
    return [Session(s, e, n) for s, e, n in ss]


# ---------------------------------------------------------------- futures rolls
def _third_friday(year: int, month: int) -> _dt.date:
    d = _dt.date(year, month, 15)
    return d + _dt.timedelta(days=(4 - d.weekday()) % 7)


def _contracts(v: S.VarietySpec, begin: int, end: int) -> list[dict]:
    """Contracts around the period with delist and roll dates, in delivery order."""
    b, e = int_to_date(begin), int_to_date(end)
    out = []
    for year in range(b.year - 1, e.year + 2):
        for month in v.months:
            delist = _third_friday(year, month) if v.third_friday_expiry else _dt.date(year, month, 15)
            roll = delist - _dt.timedelta(days=v.roll_lead_days)
            code = f"{v.variety}{year % 100:02d}{month:02d}"
            out.append(dict(code=code, delist=delist, roll=roll))
    out.sort(key=lambda c: c["delist"])
    # contracts that are main during the period, plus the listed ones after them
    return [c for c in out if c["roll"] > b - _dt.timedelta(days=40) and c["roll"] - _dt.timedelta(days=400) <= e]


def _main_schedule(contracts: list[dict], days: np.ndarray) -> np.ndarray:
    rolls = np.array([date_to_int(c["roll"]) for c in contracts])
    idx = np.searchsorted(rolls, days, side="right")  # main while day < roll
    return np.minimum(idx, len(contracts) - 1)


# ---------------------------------------------------------------- bar generation
def _round(x, tick):
    return np.round(np.asarray(x) / tick) * tick


def _intraday_volume_shape(n: int) -> np.ndarray:
    x = np.linspace(-1, 1, n)
    return 0.6 + 0.9 * x * x


def _walk_day(rng, prev_close, n, daily_vol, shock, limits, tick):
    """Minute open, high, low, close of one day; ``limits`` (down, up) bound every price."""
    gap = rng.normal(0, daily_vol * 0.25)
    steps = rng.normal(shock / max(n, 1), daily_vol / np.sqrt(max(n, 1)), n)
    close = prev_close * np.exp(gap + np.cumsum(steps))
    openp = np.empty(n)
    openp[0] = prev_close * np.exp(gap)
    openp[1:] = close[:-1]
    wick = np.abs(rng.normal(0, daily_vol / np.sqrt(max(n, 1)) * 0.6, (2, n)))
    high = np.maximum(openp, close) * (1 + wick[0])
    low = np.minimum(openp, close) * (1 - wick[1])
    if limits is not None:
        openp, close, high, low = (np.clip(a, *limits) for a in (openp, close, high, low))
    openp, close = _round(openp, tick), _round(close, tick)
    high = np.maximum(_round(high, tick), np.maximum(openp, close))
    low = np.minimum(_round(low, tick), np.minimum(openp, close))
    return openp, high, low, close


def _bars_frame(market, code, times, tdays, o, h, l, c, vol, mult, oi):
    vwap = (o + h + l + c) / 4
    df = pd.DataFrame({
        "market": market, "code": code,
        "ts": times.astype("datetime64[m]").astype("datetime64[us]"),
        "trade_date": tdays.astype(np.int32),
        "open": o, "high": h, "low": l, "close": c, "volume": vol,
        "turnover": np.round(vol * vwap * mult, 2), "open_interest": oi,
    })
    return df[df["volume"] > 0]


def _stock_bars(spec: S.StockSpec, cal: Calendar, idx: np.ndarray, scale: float = 1.0):
    sessions = _sessions(spec.market, "")
    rng = _rng("stock", spec.market, spec.code)
    tick = 0.01
    limit = limit_ratio(spec.market, spec.code, spec.name) if spec.kind == "stock" else None
    close = spec.price * scale
    frames, ratios = [], []
    for i in idx:
        day = int(cal.days[i])
        times, tdays = cal.slots(sessions, np.array([i]))
        n = times.size
        ref = close
        if day in spec.events:
            split, div = spec.events[day]
            ratio = (close - div) / close / split
            ratios.append((day, ratio, split, div))
            ref = (close - div) / split  # the ex-rights reference, as the fundamental tables compute it
        # limit prices as the fundamental tables round them, so a day pushed to a limit is flagged there
        limits = None if limit is None else tuple(float(round_price(ref * (1 + r))) for r in (-limit, limit))
        o, h, l, c = _walk_day(rng, ref, n, spec.daily_vol, spec.shocks.get(day, 0.0), limits, tick)
        vol = np.round(spec.volume * _intraday_volume_shape(n) * rng.lognormal(0, 0.5, n), -2)
        vol[rng.random(n) < 0.01] = 0
        frames.append(_bars_frame(spec.market, spec.code, times, tdays, o, h, l, c, vol, 1.0, np.zeros(n)))
        close = c[-1]
    return frames, ratios


def _future_bars(v: S.VarietySpec, cal: Calendar, idx: np.ndarray):
    sessions = _sessions(v.market, v.variety)
    contracts = _contracts(v, int(cal.days[idx[0]]), int(cal.days[idx[-1]]))
    days = cal.days[idx]
    main = _main_schedule(contracts, days)
    rng = _rng("future", v.market, v.variety)
    basis = {c["code"]: rng.normal(0, 0.015) for c in contracts}
    frames = []
    first_refs = {}  # a contract's price before its first bar, for its first day's limits
    settle = v.price
    oi_level = {c["code"]: v.open_interest * 0.3 for c in contracts}
    for k, i in enumerate(idx):
        day = int(cal.days[i])
        times, tdays = cal.slots(sessions, np.array([i]))
        n = times.size
        limits = (_round(settle * (1 - v.limit), v.tick), _round(settle * (1 + v.limit), v.tick))
        o, h, l, c = _walk_day(rng, settle, n, v.daily_vol, 0.0, limits, v.tick)
        shape = _intraday_volume_shape(n)
        for j, con in enumerate(contracts):
            if date_to_int(con["delist"]) < day or j < main[k] - 1 or j > main[k] + 2:
                continue
            weight = 1.0 if j == main[k] else (0.35 if j == main[k] + 1 else 0.06)
            f = 1.0 + basis[con["code"]]
            co, ch, cl, cc = (_round(a * f, v.tick) for a in (o, h, l, c))
            vol = np.round(v.volume * weight * shape * rng.lognormal(0, 0.6, n))
            vol[rng.random(n) < (0.02 if weight == 1.0 else 0.15)] = 0
            target = v.open_interest * (1.0 if weight == 1.0 else weight * 1.5)
            oi_level[con["code"]] += (target - oi_level[con["code"]]) * 0.15
            oi = np.round(oi_level[con["code"]] + np.cumsum(rng.normal(0, v.open_interest * 0.0005, n)))
            frames.append(_bars_frame(v.market, con["code"], times, tdays, co, ch, cl, cc, vol, v.multiplier, oi))
            if len(frames[-1]) and (v.market, con["code"]) not in first_refs:
                first_refs[(v.market, con["code"])] = (float(_round(settle * f, v.tick)), v)
        settle = c[-1]
    mains = pd.DataFrame({"market": v.market, "code": f"{v.variety}0000", "trade_date": days.astype(np.int32),
                          "contract": [contracts[m]["code"] for m in main]})
    used = {f["code"].iloc[0] for f in frames if len(f)}
    insts = []
    for con in contracts:
        if con["code"] in used:
            insts.append((v.market, con["code"], f"{v.name}{con['code'][len(v.variety):]}", "future", v.variety,
                          v.multiplier, v.tick, date_to_int(con["delist"] - _dt.timedelta(days=365)),
                          date_to_int(con["delist"])))
    insts.append((v.market, f"{v.variety}0000", f"{v.name}主力", "continuous", v.variety, v.multiplier, v.tick,
                  int(days[0]), 99991231))
    return frames, mains, insts, first_refs


def _ticks(minutes: pd.DataFrame, tick_size: float, rng) -> pd.DataFrame:
    """Five-level snapshots every 3 seconds, consistent with the minute bars."""
    m = minutes.sort_values("ts").reset_index(drop=True)
    k = 20
    n = len(m)
    frac = np.linspace(0, 1, k)
    o, h, l, c = (m[x].to_numpy()[:, None] for x in ("open", "high", "low", "close"))
    up_first = (m["close"] >= m["open"]).to_numpy()[:, None]
    a, b = np.where(up_first, l, h), np.where(up_first, h, l)
    # open -> a -> b -> close, piecewise linear over the minute
    path = np.where(frac < 1 / 3, o + (a - o) * frac * 3,
                    np.where(frac < 2 / 3, a + (b - a) * (frac * 3 - 1), b + (c - b) * (frac * 3 - 2)))
    price = _round(path, tick_size)
    w = rng.random((n, k)) + 0.05
    vol_tick = np.floor(w / w.sum(1, keepdims=True) * m["volume"].to_numpy()[:, None])
    vol_tick[:, -1] += m["volume"].to_numpy() - vol_tick.sum(1)
    turn_tick = vol_tick * price * (m["turnover"].to_numpy() / np.maximum(m["volume"].to_numpy(), 1)
                                    / np.maximum(m["close"].to_numpy(), 1e-9))[:, None]
    secs = m["ts"].to_numpy().astype("datetime64[s]")[:, None] - np.arange(k - 1, -1, -1)[None, :] * 3
    tdays = np.repeat(m["trade_date"].to_numpy(), k)
    vt = vol_tick.ravel()
    cum_v = pd.Series(vt).groupby(tdays).cumsum().to_numpy()
    cum_t = pd.Series(turn_tick.ravel()).groupby(tdays).cumsum().to_numpy()
    p = price.ravel()
    out = {"market": m["market"].iloc[0], "code": m["code"].iloc[0],
           "ts": secs.ravel().astype("datetime64[ms]"), "trade_date": tdays.astype(np.int32),
           "price": p, "volume": cum_v, "volume_tick": vt, "turnover": np.round(cum_t, 2),
           "open_interest": np.repeat(m["open_interest"].to_numpy(), k)}
    spread = np.where(rng.random(p.size) < 0.7, 1, 2) * tick_size
    bid1 = _round(p - spread * rng.integers(0, 2, p.size), tick_size)
    for lvl in range(1, 6):
        out[f"bid_price{lvl}"] = _round(bid1 - (lvl - 1) * tick_size, tick_size)
        out[f"bid_volume{lvl}"] = np.round(rng.lognormal(4, 1, p.size))
        out[f"ask_price{lvl}"] = _round(bid1 + spread + (lvl - 1) * tick_size, tick_size)
        out[f"ask_volume{lvl}"] = np.round(rng.lognormal(4, 1, p.size))
    cols = ["market", "code", "ts", "trade_date", "price", "volume", "volume_tick", "turnover", "open_interest"]
    return pd.DataFrame(out)[cols + QUOTE_COLUMNS]


def _factors(day_bars: pd.DataFrame, stocks) -> pd.DataFrame:
    frames = []
    by_stock = dict(iter(day_bars.groupby(["market", "code"], sort=False)))
    for s in stocks:
        if s.kind != "stock":
            continue
        d = by_stock.get((s.market, s.code), day_bars.iloc[:0]).sort_values("trade_date")
        base = dict(market=s.market, code=s.code, trade_date=d.trade_date.to_numpy())
        frames.append(pd.DataFrame(dict(base, factor="pe_ttm", value=np.round(d.close.to_numpy() / s.eps, 4))))
        mom = d.close.to_numpy() / d.close.shift(20).to_numpy() - 1
        frames.append(pd.DataFrame(dict(base, factor="momentum_20", value=mom)))
    df = pd.concat(frames, ignore_index=True)
    return df[["factor", "market", "code", "trade_date", "value"]]


def _blocks(days: np.ndarray, extra: list) -> pd.DataFrame:
    days = [int(d) for d in days]
    parts = []  # (block, days, members), each member on each of its days, member by member

    def add(block, on, members):
        if on and members:
            parts.append(pd.DataFrame({"block": block, "trade_date": np.tile(np.asarray(on, dtype=np.int64),
                                                                              len(members)),
                                       "market": np.repeat([m[0] for m in members], len(on)),
                                       "code": np.repeat([m[1] for m in members], len(on))}))

    for block, members in S.BLOCKS.items():
        add(block, days, list(members))
        for m, since in S.BLOCK_JOINS.get(block, []):
            add(block, [d for d in days if d >= since], [m])
    add("ALL_A", days, list(extra))
    columns = ["block", "trade_date", "market", "code"]
    if not parts:
        return pd.DataFrame(columns=columns)
    return pd.concat(parts, ignore_index=True)[columns]


def _all_stocks(extra_stocks: int) -> list:
    stocks = list(S.STOCKS)
    for k in range(extra_stocks):
        r = _rng("extra", k)
        stocks.append(S.StockSpec("SSE", f"{601000 + k}", f"样本股{k + 1:03d}", float(np.round(r.uniform(4, 80), 2)),
                                  float(r.uniform(0.012, 0.03)), float(np.round(r.uniform(2e4, 2e5), -2)),
                                  eps=float(r.uniform(0.2, 3))))
    return stocks


class _MinuteWriter:
    """Minute bars go into the store one instrument (a stock, a futures variety) at a time, in the
    store's order (market, code, time): only one instrument's minutes are in memory at once. Their
    day bars, and the minutes the ticks are made from, are kept."""

    def __init__(self, con, tick_days):
        self.con, self.tick_days = con, tick_days
        self.day_frames, self.tick_minutes, self.last = [], [], None

    def write(self, frames):
        frames = [f for f in frames if len(f)]
        if not frames:
            return
        minutes = pd.concat(frames, ignore_index=True).sort_values(["market", "code", "ts"])
        first = (minutes["market"].iloc[0], minutes["code"].iloc[0])
        if self.last is not None and first <= self.last:
            raise RuntimeError("instruments %s and %s interleave in the store's order" % (self.last, first))
        self.last = (minutes["market"].iloc[-1], minutes["code"].iloc[-1])
        self.con.execute("INSERT INTO minute_bars SELECT * FROM minutes")
        self.day_frames.append(day_bars(minutes))
        if _may_have_ticks(first):
            self.tick_minutes.append(minutes[minutes["trade_date"].isin(self.tick_days)])

    def day_bars(self):
        if not self.day_frames:
            return day_bars(pd.DataFrame(columns=["market", "code", "ts", "trade_date"]))
        return pd.concat(self.day_frames, ignore_index=True)


def _write_minutes(con, stocks, futures, cal, idx):
    """Generate and store the minute bars; returns (day bars, minutes of the tick days, adjustment rows,
    instrument rows, main-contract frames, first prices of contracts)."""
    stock_ratios, variety_parts = {}, {}
    jobs = [((s.market, s.code), "stock", s) for s in stocks]
    if futures:
        jobs += [((v.market, v.variety), "future", v) for v in S.VARIETIES]
    writer = _MinuteWriter(con, cal.days[idx][-S.TICK_DAYS:])
    for _, kind, spec in sorted(jobs, key=lambda job: job[0]):
        if kind == "stock":
            frames, stock_ratios[(spec.market, spec.code)] = _stock_bars(spec, cal, idx)
        else:
            frames, *variety_parts[(spec.market, spec.variety)] = _future_bars(spec, cal, idx)
        writer.write(frames)
    adj_rows, inst_rows, mains, contracts = [], [], [], {}
    for s in stocks:
        adj_rows += [(s.market, s.code, d, r, sp, dv) for d, r, sp, dv in stock_ratios[(s.market, s.code)]]
        inst_rows.append((s.market, s.code, s.name, s.kind, "", 1.0, 0.01, 19991110, 99991231))
    if futures:
        for v in S.VARIETIES:
            main_df, insts, first_refs = variety_parts[(v.market, v.variety)]
            contracts.update(first_refs)
            mains.append(main_df)
            inst_rows += insts
    tick_minutes = [m for m in writer.tick_minutes if len(m)]
    tick_minutes = pd.concat(tick_minutes, ignore_index=True) if tick_minutes else None
    return writer.day_bars(), tick_minutes, adj_rows, inst_rows, mains, contracts


def build_store(path, begin: int = SAMPLE_BEGIN, end: int = SAMPLE_END, extra_stocks: int = 0,
                futures: bool = True, ticks: bool = True) -> Path:
    """Write a store to ``path`` (replaced atomically).

    Minute bars are made and stored one instrument at a time, so memory stays
    at one instrument's minutes (and the day bars), whatever ``extra_stocks``
    and the range.
    """
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    if tmp.exists():
        tmp.unlink()
    cal_df = _calendar_frame(begin, end)
    cal, idx = _trading_calendar(cal_df, begin, end)
    stocks = _all_stocks(extra_stocks)
    con = duckdb.connect(str(tmp))
    try:
        con.execute("SET memory_limit = '1GB'")  # what DuckDB itself holds; it spills to disk past that
        create_schema(con)
        con.execute("INSERT INTO calendar SELECT * FROM cal_df")
        sessions_df = _sessions_frame()
        # night_on stays NULL: the Chinese night sessions are held on the previous trading day by default
        con.execute(f"INSERT INTO sessions ({', '.join(sessions_df.columns)}) SELECT * FROM sessions_df")
        days_df, tick_minutes, adj_rows, inst_rows, mains, contracts = _write_minutes(con, stocks, futures, cal, idx)
        inst_df = with_trading_columns(pd.DataFrame(inst_rows, columns=[
            "market", "code", "name", "kind", "variety", "multiplier", "price_tick", "list_date", "delist_date"]),
            S.VARIETIES)
        con.execute("INSERT INTO instruments SELECT * FROM inst_df")
        con.execute("INSERT INTO day_bars SELECT * FROM days_df")
        if mains:
            main_all = pd.concat(mains, ignore_index=True)
            con.execute("INSERT INTO main_contracts SELECT * FROM main_all")
        adj_df = pd.DataFrame(adj_rows, columns=["market", "code", "ex_date", "ratio", "split", "dividend"])
        con.execute("INSERT INTO adj_factors SELECT * FROM adj_df")
        _insert_trading_rules(con, days_df, stocks, adj_df, contracts)
        fac_df = _factors(days_df, stocks)
        con.execute("INSERT INTO factors SELECT * FROM fac_df")
        blk_df = _blocks(cal.days[idx], [(s.market, s.code) for s in stocks[len(S.STOCKS):]])
        con.execute("INSERT INTO blocks SELECT * FROM blk_df")
        if ticks and tick_minutes is not None:
            _insert_ticks(con, tick_minutes, cal.days[idx], mains)
        con.execute("INSERT INTO strategies VALUES ('TVS-0001', '双均线示例', ?, ?, 0.0834, 0.2712, -0.0561, "
                    "1.87, 0.54, 128)", [int(cal.days[idx[0]]), int(cal.days[idx[-1]])])
        con.execute("INSERT OR REPLACE INTO meta VALUES ('generator_version', ?), ('strategy_id', 'TVS-0001')",
                    [GENERATOR_VERSION])
        _build_extension_tables(con)
        con.execute("CHECKPOINT")
    finally:
        con.close()
    os.replace(tmp, path)
    return path


def _insert_trading_rules(con, days_df, stocks, adj_df, contracts) -> None:
    costs_df = costs_frame()
    con.execute(f"INSERT INTO costs ({', '.join(costs_df.columns)}) SELECT * FROM costs_df")
    limits_df = limits_frame(days_df, stocks, adj_df, contracts)
    con.execute(f"INSERT INTO limits ({', '.join(limits_df.columns)}) SELECT * FROM limits_df")


# the instruments with ticks: these stocks and the main contracts of these continuous codes
TICK_STOCKS = [("SSE", "600000", 0.01), ("SZSE", "000001", 0.01)]
TICK_MAINS = {"RB0000": 1.0, "IF0000": 0.2}


def _may_have_ticks(instrument) -> bool:
    market, code = instrument
    return any((market, code) == (m, c) for m, c, _ in TICK_STOCKS) or \
        any(code.startswith(main[:-4]) for main in TICK_MAINS)


def _insert_ticks(con, minutes: pd.DataFrame, days: np.ndarray, mains: list) -> None:
    tick_days = days[-S.TICK_DAYS:]
    wanted = list(TICK_STOCKS)
    main_all = pd.concat(mains, ignore_index=True) if mains else pd.DataFrame(columns=["market", "code", "trade_date", "contract"])
    ticks_of = TICK_MAINS
    for code, tick in ticks_of.items():
        rows = main_all[(main_all.code == code) & (main_all.trade_date.isin(tick_days))]
        for contract in rows.contract.unique():
            wanted.append((rows.market.iloc[0], contract, tick))
    for market, code, tick in wanted:
        m = minutes[(minutes.market == market) & (minutes.code == code) & (minutes.trade_date.isin(tick_days))]
        if len(m):
            df = _ticks(m, tick, _rng("ticks", market, code))
            con.execute("INSERT INTO ticks SELECT * FROM df")


def _build_extension_tables(con) -> None:
    """Tables that other parts of the package add to the sample store."""
    build_sample_fundamentals(con)


# ---------------------------------------------------------------- cached sample
# the modules whose code decides what the sample store holds
_GENERATOR_MODULES = (sys.modules[__name__], S, schema, tradingtime, timeconv, daybars, bars, fundamental_tables,
                      fundamentals, trading)


def generator_fingerprint() -> str:
    """Version plus a digest of the generator's sources and of the DuckDB version.

    An edited generator gets a new cache file, and so does another DuckDB:
    an older DuckDB cannot open a file that a newer one wrote.
    """
    h = hashlib.sha256(GENERATOR_VERSION.encode())
    h.update(duckdb.__version__.encode())
    for module in _GENERATOR_MODULES:
        h.update(Path(module.__file__).read_bytes())
    return f"v{GENERATOR_VERSION}-{h.hexdigest()[:10]}"


def sample_store_path() -> Path:
    """The sample store, built on first use and cached per generator fingerprint.

    It lives in the user's own cache folder (``$XDG_CACHE_HOME/telvar``, else
    ``~/.cache/telvar``, owner-only); a store found there that another user
    owns is refused. ``$TELVAR_SAMPLE_STORE`` names the file to use instead
    (built there when missing).
    """
    override = os.environ.get("TELVAR_SAMPLE_STORE")
    if override:
        path = Path(override)
    else:
        path = cache_dir() / f"sample-{generator_fingerprint()}.duckdb"
    if path.exists():
        return _own_store(path) if not override else path
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path.with_suffix(".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not path.exists():
            build_store(path)
    return path


def _own_store(path: Path) -> Path:
    st = path.stat()
    if st.st_uid != os.getuid():
        raise UnsafeFolderError(f"the sample store {path} belongs to another user (uid {st.st_uid}); "
                                f"telvar will not serve it")
    if st.st_mode & 0o022:
        os.chmod(path, 0o600)
    return path
