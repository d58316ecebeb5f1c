"""Bar commands: multi-target bar files, per-target bar files, last-N bar records."""
from __future__ import annotations

import numpy as np

from telvar.common.frequencies import FREQUENCY_NAMES
from telvar.wire.answer_files import part_path

from ..store import bars as B
from ..store import placement as P
from ..store import reads as md
from ..store.tradingtime import bar_datenums, day_positions, period_keys
from .lastn import last_position, window_start
from .registry import (Context, as_int_date, check_fq, command, date_range, frequency_code, parse_targets,
                       positive_int)
from .writers import new_path, record_array, save_mat, write_k_multi

BAR_FREQUENCIES = tuple(name for name in FREQUENCY_NAMES if name != "tick")


def base_line(ctx: Context, insts, freq: str, begin: int, end: int):
    """The common base time line of ``insts``: (slot minutes, trading days)."""
    return md.minute_slots(ctx, insts, begin, end) if freq == "min" else md.day_slots(ctx, insts, begin, end)


def placed(ctx: Context, insts, freq: str, line, begin: int, end: int, filled: bool, fq: str) -> np.ndarray:
    """The base bars (minute bars, or day bars for a day or coarser) of ``insts`` on the time line
    ``line`` = (slot minutes, trading days), filled or not: a column-major K matrix of 7 rows per
    instrument, made in place (``store.placement``)."""
    slots, tdays = line
    keys = slots if freq == "min" else tdays
    first_block: dict = {}
    for i, inst in enumerate(insts):
        first_block.setdefault(inst, i)
    distinct = list(first_block)
    block = list(first_block.values())
    k = P.k_matrix(len(insts), keys.size if insts else 0)
    if freq == "min":  # the trading days of minute bars serve only to adjust their prices
        loaded = md.load_minute_rows(ctx, distinct, begin, end, days=fq != "NA")
    else:
        loaded = md.load_day_rows(ctx, distinct, begin, end)
    for rows in loaded:
        values = _adjusted(ctx, distinct, rows, fq)
        target = block[rows.inst] if isinstance(rows.inst, int) else np.asarray(block, np.int64)[rows.inst]
        P.place_rows(k, keys, rows.keys, target, values)
    if filled:
        P.fill_blocks(k)
    for i, inst in enumerate(insts):
        if first_block[inst] != i:  # an instrument asked for twice
            j = first_block[inst]
            k[B.N_FIELDS * i:B.N_FIELDS * (i + 1)] = k[B.N_FIELDS * j:B.N_FIELDS * (j + 1)]
    return k


def _adjusted(ctx: Context, insts, rows, fq: str) -> list:
    """The rows' field columns with the prices of stocks adjusted for splits and dividends."""
    if fq == "NA":
        return rows.values
    values = list(rows.values)
    for i in ([rows.inst] if isinstance(rows.inst, int) else np.unique(rows.inst).tolist()):
        sel = slice(None) if isinstance(rows.inst, int) else rows.inst == i
        mult = md.adjustment(ctx, insts[i], rows.tdays[sel], fq)
        if mult is None:
            continue
        for f in range(4):
            if values[f] is rows.values[f]:
                values[f] = values[f].copy()
            values[f][sel] *= mult
    return values


def build(ctx: Context, insts, freq: str, begin: int, end: int, filled: bool, fq: str, units: int = 1,
          anchor_end: bool = False, line=None, as_matrix: bool = False):
    """Bars of ``insts`` on their common time line.

    N-unit intraday bars are counted per trading day (a day's last bar closes a
    bar); N-unit bars of a day or coarser are counted over the series, from its
    start, or from its end with ``anchor_end`` (so that the last bar is whole).

    ``line`` is the base time line to place the bars on (default: that of ``insts``).
    Returns (slot minutes, day positions, trading days, [ (7, T) matrix per instrument ]), or with
    ``as_matrix`` the instruments' blocks in one column-major K matrix instead of the list (minute and
    day bars are placed straight into it).
    """
    slots, tdays = line if line is not None else base_line(ctx, insts, freq, begin, end)
    k = placed(ctx, insts, freq, (slots, tdays), begin, end, filled, fq)
    daypos = day_positions(tdays) if freq == "min" else np.ones(slots.size, np.int64)
    if as_matrix and units == 1 and freq in ("min", "day"):
        return slots, daypos, tdays, k
    mats = [k[B.N_FIELDS * i:B.N_FIELDS * (i + 1)] for i in range(len(insts))]
    if freq in ("week", "month", "year"):
        key = period_keys(tdays, freq)
        ends = np.r_[key[1:] != key[:-1], True] if key.size else np.zeros(0, bool)
        mats = [B.combine(m, ends) for m in mats]
        slots, tdays = slots[ends], tdays[ends]
        daypos = np.ones(slots.size, np.int64)
    if units > 1 and slots.size:
        if freq == "min":
            day_end = np.r_[tdays[1:] != tdays[:-1], True]
            ends = (daypos % units == 0) | day_end
        elif anchor_end:
            ends = (slots.size - 1 - np.arange(slots.size)) % units == 0
        else:
            ends = (np.arange(slots.size) + 1) % units == 0
            ends[-1] = True
        mats = [B.combine(m, ends) for m in mats]
        slots, tdays = slots[ends], tdays[ends]
        daypos = day_positions(tdays) if freq == "min" else np.ones(slots.size, np.int64)
    return slots, daypos, tdays, (_stack(mats) if as_matrix else mats)


def _insts(ctx, targets):
    pairs = parse_targets(targets)
    return md.resolve(ctx, pairs)


@command("tvSendCmdGetKDataMulti")
def get_k_data_multi(ctx: Context, targets, frequency, begin, end, filled_up, fq):
    freq, _ = frequency_code(frequency, BAR_FREQUENCIES)
    begin, end = date_range(begin, end)
    fq = check_fq(fq)
    insts = _insts(ctx, targets)
    line = base_line(ctx, insts, freq, begin, end)
    per_target = B.N_FIELDS * max(1, line[0].size) * 8
    group = max(1, ctx.options.part_bytes // per_target)
    if len(insts) <= group:
        slots, daypos, tdays, k_array = build(ctx, insts, freq, begin, end, bool(filled_up), fq, line=line,
                                              as_matrix=True)
        return write_k_multi(ctx.out_dir, "kdata_multi", _k_head(slots, daypos, tdays), k_array, B.N_FIELDS,
                             ctx.options.part_bytes, ctx.part_written)
    # a large answer is built and written a group of targets at a time, so memory stays at one part; a
    # client that streams hears of each part as it is written
    main = new_path(ctx.out_dir, "kdata_multi")
    parts = []
    for k, start in enumerate(range(0, len(insts), group)):
        slots, daypos, tdays, k_array = build(ctx, insts[start:start + group], freq, begin, end, bool(filled_up),
                                              fq, line=line, as_matrix=True)
        parts.append(save_mat(part_path(main, k + 1), {"KArray": k_array}))
        del k_array
        ctx.part_written(parts[-1])
    return save_mat(main, dict(_k_head(slots, daypos, tdays), FilePaths="|".join(parts)))


def _stack(mats) -> np.ndarray:
    """The targets' blocks one under the other, column-major as MATLAB files store them."""
    width = mats[0].shape[1] if mats else 0
    k_array = np.empty((B.N_FIELDS * len(mats), width), order="F")
    for i, m in enumerate(mats):
        k_array[B.N_FIELDS * i:B.N_FIELDS * (i + 1)] = m
    return k_array


def _k_head(slots, daypos, tdays) -> dict:
    return {
        "TimeLine": bar_datenums(slots, tdays).reshape(1, -1),
        "DayPos": daypos.astype(np.float64).reshape(1, -1),
        "TradeFreshPos": np.array([[slots.size - 1]], dtype=np.float64),
    }


@command("tvSendCmdGetKData")
def get_k_data(ctx: Context, targets, frequency, units, begin, end, filled_up, fq, noReturn=False):
    freq, _ = frequency_code(frequency, BAR_FREQUENCIES)
    units = positive_int(units, "bar units")
    begin, end = date_range(begin, end)
    fq = check_fq(fq)
    insts = _insts(ctx, targets)
    if noReturn:
        # an announcement: the store needs no preparation, and files nobody reads would pile up
        return None
    paths = []
    for inst in insts:
        slots, daypos, tdays, (m,) = build(ctx, [inst], freq, begin, end, bool(filled_up), fq, units)
        data = {"Time": bar_datenums(slots, tdays), "BeginBar": (daypos == 1).astype(np.float64)}
        data.update({name: m[i] for i, name in enumerate(B.FIELDS)})
        paths.append(save_mat(new_path(ctx.out_dir, f"kdata_{inst.market}_{inst.code}"), data))
    return paths


def _first_stored_day(ctx: Context, inst) -> int | None:
    table = "main_contracts" if md.stitched(ctx, inst) else "day_bars"
    return ctx.con.execute(f"SELECT min(trade_date) FROM {table} WHERE market = ? AND code = ?",
                           [inst.market, inst.code]).fetchone()[0]


def _kept(m, filled_up) -> np.ndarray:
    """Columns a last-N read returns: bars with a price, and only traded ones unless filled bars are wanted."""
    keep = ~np.isnan(m[B.CLOSE])
    if not filled_up:
        keep &= B.traded(m)
    return keep


def _last_bars(ctx: Context, inst, freq: str, units: int, count: int, end: int, filled_up: bool, fq: str):
    """The bars of the window holding ``count`` returned bars, read further back over gaps in the data.

    Returns (slots, day positions, trading days, (7, T) matrix, returned columns).
    """
    d = md.dims(ctx)
    cal, sessions = d.calendar(inst.market), d.sessions_of(inst)
    last = last_position(cal, end)
    if last < 0:
        empty = np.zeros(0, np.int64)
        return empty, empty, empty, np.zeros((B.N_FIELDS, 0)), empty
    want, floor = count, None
    while True:
        first = window_start(cal, sessions, freq, units, want, last)
        begin = int(cal.days[first])
        slots, daypos, tdays, (m,) = build(ctx, [inst], freq, begin, end, filled_up, fq, units, anchor_end=True)
        sel = np.flatnonzero(_kept(m, filled_up))
        if sel.size >= count or first == 0:
            break
        if floor is None:
            floor = _first_stored_day(ctx, inst)
        if floor is None or begin <= floor:
            break  # the data hold no older bars
        want *= 2  # suspended days or untraded bars: twice as many bars back
    return slots, daypos, tdays, m, sel[-count:]


@command("tvSendCmdGetNKDataMulti")
def get_n_k_data_multi(ctx: Context, targets, frequency, units, count, end, filled_up, fq):
    freq, _ = frequency_code(frequency, BAR_FREQUENCIES)
    units = positive_int(units, "bar units")
    count = positive_int(count, "bar count")
    end = as_int_date(end, "end date")
    fq = check_fq(fq)
    names = ["Time", *B.FIELDS, "BeginBar"]
    records = []
    for inst in _insts(ctx, targets):
        slots, daypos, tdays, m, sel = _last_bars(ctx, inst, freq, units, count, end, bool(filled_up), fq)
        rec = {"Time": bar_datenums(slots[sel], tdays[sel]), "BeginBar": (daypos[sel] == 1).astype(np.float64)}
        rec.update({name: m[i, sel] for i, name in enumerate(B.FIELDS)})
        records.append(rec)
    return save_mat(new_path(ctx.out_dir, "kdata_n"), {"KArray": record_array(records, names)})


@command("tvSendCmdGetTradingTime")
def get_trading_time(ctx: Context, targets, frequency, begin, end):
    freq, _ = frequency_code(frequency, BAR_FREQUENCIES)
    begin, end = date_range(begin, end)
    insts = _insts(ctx, targets)
    if freq == "min":
        slots, tdays = md.minute_slots(ctx, insts, begin, end)
        daypos = day_positions(tdays)
    else:
        slots, tdays = md.day_slots(ctx, insts, begin, end)
        daypos = np.ones(slots.size, np.int64)
    return save_mat(new_path(ctx.out_dir, "trading_time"),
                    {"Time": bar_datenums(slots, tdays), "DayPos": daypos.astype(np.float64)})

