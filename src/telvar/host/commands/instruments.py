"""Instrument commands: information records, contracts, main contracts, code lists."""
from __future__ import annotations

import numpy as np

from ..store import reads as md
from ..store.dimensions import Instrument, label
from .registry import CommandError, Context, as_int_date, command, date_range, parse_targets


def _record(ctx: Context, inst: Instrument) -> dict:
    rec = {"Market": inst.market, "Code": inst.code, "Name": inst.name, "Kind": inst.kind,
           "Variety": inst.variety, "Multiplier": inst.multiplier, "PriceTick": inst.price_tick,
           "ListDate": inst.list_date, "DelistDate": inst.delist_date}
    if inst.is_continuous:
        row = ctx.con.execute("SELECT contract FROM main_contracts WHERE market = ? AND code = ? "
                              "ORDER BY trade_date DESC LIMIT 1", [inst.market, inst.code]).fetchone()
        rec["MainContract"] = row[0] if row else ""
    return rec


@command("tvSendCmdGetFutureInfo_20190920")
def get_future_info(ctx: Context, targets):
    return [_record(ctx, inst) for inst in md.resolve(ctx, parse_targets(targets))]


def _exclusive(ctx, targets, kinds, what):
    out = []
    for inst in md.resolve(ctx, parse_targets(targets)):
        if inst.kind not in kinds:
            raise CommandError(f"{label(inst.market, inst.code)} is not a {what} ({inst.kind})")
        out.append(_record(ctx, inst))
    return out


@command("tvSendCmdGetFutureInfoExculusively_20190918")
def get_future_info_exclusively(ctx: Context, targets):
    return _exclusive(ctx, targets, ("future", "continuous"), "futures contract")


@command("tvSendCmdGetStockInfoExculusively")
def get_stock_info_exclusively(ctx: Context, targets):
    return _exclusive(ctx, targets, ("stock", "index"), "stock or index")


@command("tvSendCmdGetFutureContracts")
def get_future_contracts(ctx: Context, date, market, varieties):
    date = as_int_date(date, "date")
    market = str(market).upper()
    if isinstance(varieties, str):
        varieties = [varieties] if varieties else []
    wanted = {str(v).upper() for v in (varieties or [])}
    rows = ctx.con.execute("SELECT variety, code FROM instruments WHERE market = ? AND kind = 'future' "
                           "AND list_date <= ? AND delist_date >= ? ORDER BY variety, code",
                           [market, date, date]).fetchall()
    out: dict[str, list] = {v: [] for v in sorted(wanted)}
    for variety, code in rows:
        if not wanted or variety in wanted:
            out.setdefault(variety, []).append(code)
    return out


def _keys(targets):
    pairs = parse_targets(targets)
    return pairs, [f"{m}.{c}" for m, c in pairs]


@command("tvSendCmdGetMainContracts")
def get_main_contracts(ctx: Context, targets, begin, end):
    """{key: [dates, contract codes]} for the continuous targets that have a history in the range."""
    begin, end = date_range(begin, end)
    pairs, keys = _keys(targets)
    out = {}
    for (market, code), key in zip(pairs, keys):
        dates, contracts = _main_contract_days(ctx, market, code, begin, end)
        if dates:
            out[key] = [dates, contracts]
    return out


def _main_contract_days(ctx: Context, market: str, code: str, begin: int, end: int):
    """([trading day], [its main contract]) of a continuous code, by date."""
    r = ctx.con.execute("SELECT trade_date, contract FROM main_contracts WHERE market = ? AND code = ? "
                        "AND trade_date BETWEEN ? AND ? ORDER BY trade_date", [market, code, begin, end]).fetchall()
    return [d for d, _ in r], [c for _, c in r]


def _history(ctx: Context, inst: Instrument, begin: int, end: int):
    if inst.is_continuous:
        return _main_contract_days(ctx, inst.market, inst.code, begin, end)
    cal = md.dims(ctx).calendar(inst.market)
    days = cal.days[cal.between(max(begin, inst.list_date), min(end, inst.delist_date))]
    return days.tolist(), [inst.code] * days.size


@command("tvSendCmdGetHistoryInstruments")
def get_history_instruments(ctx: Context, targets, begin, end):
    """{key: [dates, instrument codes]}: what each target stood for on each trading day."""
    begin, end = date_range(begin, end)
    pairs, keys = _keys(targets)
    out = {}
    for inst, key in zip(md.resolve(ctx, pairs), keys):
        dates, codes = _history(ctx, inst, begin, end)
        if dates:
            out[key] = [dates, codes]
    return out


@command("tvSendCmdGetInstrumentsByOffset")
def get_instruments_by_offset(ctx: Context, targets, end, past_len=1, reference=True, fill=True):
    """{key: [code per day]} for the ``past_len`` trading days up to ``end``.

    With ``reference`` a continuous target names its underlying contract; with
    ``fill`` days without a record take the nearest known code, else None.
    """
    end = as_int_date(end, "end date")
    try:
        past_len = int(past_len)
    except (TypeError, ValueError):
        raise CommandError(f"past length must be an integer, got {past_len!r}") from None
    if past_len < 1:
        raise CommandError(f"past length must be at least 1, got {past_len}")
    pairs, keys = _keys(targets)
    out = {}
    for inst, key in zip(md.resolve(ctx, pairs), keys):
        cal = md.dims(ctx).calendar(inst.market)
        last = int(np.searchsorted(cal.days, end, side="right"))
        days = cal.days[max(0, last - past_len):last].tolist()
        if not reference:
            out[key] = [inst.code] * len(days)
            continue
        known = dict(zip(*_history(ctx, inst, days[0], days[-1]))) if days else {}
        codes = [known.get(d) for d in days]
        if fill and any(c is None for c in codes) and any(c is not None for c in codes):
            prev = next(c for c in codes if c is not None)
            for i, c in enumerate(codes):
                prev = c if c is not None else prev
                codes[i] = prev
        out[key] = codes
    return out


@command("tvSendCmdGetCodeList")
def get_code_list(ctx: Context, block, day):
    day = as_int_date(day, "date")
    _check_block(ctx, block)
    rows = ctx.con.execute("SELECT market, code FROM blocks WHERE block = ? AND trade_date = "
                           "(SELECT max(trade_date) FROM blocks WHERE block = ? AND trade_date <= ?) "
                           "ORDER BY market, code", [block, block, day]).fetchall()
    return [{"Market": m, "Code": c} for m, c in rows]


@command("tvSendCmdGetCodeListSet")
def get_code_list_set(ctx: Context, block, begin, end):
    begin = as_int_date(begin, "begin date")
    end = as_int_date(end, "end date") or 99999999
    if begin > end:
        raise CommandError(f"begin date {begin} is after end date {end}")
    _check_block(ctx, block)
    rows = ctx.con.execute("SELECT trade_date, market, code FROM blocks WHERE block = ? AND trade_date "
                           "BETWEEN ? AND ? ORDER BY trade_date, market, code", [block, begin, end]).fetchall()
    return [{"Date": d, "Market": m, "Code": c} for d, m, c in rows]


def _check_block(ctx: Context, block):
    if not isinstance(block, str) or not ctx.con.execute("SELECT 1 FROM blocks WHERE block = ? LIMIT 1",
                                                         [block]).fetchone():
        raise CommandError(f"unknown block {block!r}")
