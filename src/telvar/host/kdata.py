"""Bar commands: multi-target bar files, per-target bar files, last-N bar records."""
from __future__ import annotations

import numpy as np

from . import bars as B
from . import marketdata as md
from .commands import Context, as_int_date, command, date_range, frequency_code, parse_targets, positive_int
from .timeutil import int_date_to_epoch_day, minutes_to_datenum
from .tradingtime import day_positions
from .writers import new_path, record_array, save_mat, write_k_multi

BAR_FREQUENCIES = ("min", "day", "week", "month", "year")


def _period_key(days: np.ndarray, freq: str) -> np.ndarray:
    if freq == "year":
        return days // 10000
    if freq == "month":
        return days // 100
    # ISO-like weeks: Monday-based week number from the epoch
    return (int_date_to_epoch_day(days) + 3) // 7


def base_line(ctx: Context, insts, freq: str, begin: int, end: int):
    """The common base time line of ``insts``: (slot minutes, trading days)."""
    return md.minute_slots(ctx, insts, begin, end) if freq == "min" else md.day_slots(ctx, insts, begin, end)


def build(ctx: Context, insts, freq: str, begin: int, end: int, filled: bool, fq: str, units: int = 1,
          anchor_end: bool = False, line=None):
    """Bars of ``insts`` on their common time line.

    N-unit intraday bars are counted per trading day (a day's last bar closes a
    bar); N-unit bars of a day or coarser are counted over the series, from its
    start, or from its end with ``anchor_end`` (so that the last bar is whole).

    ``line`` is the base time line to place the bars on (default: that of ``insts``).
    Returns (slot minutes, day positions, trading days, [ (7, T) matrix per instrument ]).
    """
    slots, tdays = line if line is not None else base_line(ctx, insts, freq, begin, end)
    if freq == "min":
        mats = []
        loaded = md.load_minutes_many(ctx, insts, begin, end)
        for inst in insts:
            t, td, v = loaded[(inst.market, inst.code)]
            mats.append(B.place(slots, t, md.adjust(ctx, inst, td, v, fq)))
        daypos = day_positions(tdays)
    else:
        mats = []
        for inst in insts:
            td, v = md.load_days(ctx, inst, begin, end)
            mats.append(B.place(tdays, td, md.adjust(ctx, inst, td, v, fq)))
        daypos = np.ones(slots.size, np.int64)
    if filled:
        mats = [B.fill(m, inplace=True) for m in mats]  # fresh matrices from place()
    if freq in ("week", "month", "year"):
        key = _period_key(tdays, freq)
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
    return slots, daypos, tdays, mats


def _insts(ctx, targets):
    pairs = parse_targets(targets)
    return md.resolve(ctx, pairs)


@command("tvSendCmdGetKDataMulti")
def get_k_data_multi(ctx: Context, targets, frequency, begin, end, filled_up, fq):
    freq, _ = frequency_code(frequency, BAR_FREQUENCIES)
    begin, end = date_range(begin, end)
    fq = md.check_fq(fq)
    insts = _insts(ctx, targets)
    line = base_line(ctx, insts, freq, begin, end)
    per_target = B.N_FIELDS * max(1, line[0].size) * 8
    group = max(1, ctx.options.part_bytes // per_target)
    if len(insts) <= group:
        slots, daypos, _, mats = build(ctx, insts, freq, begin, end, bool(filled_up), fq, line=line)
        return write_k_multi(ctx.out_dir, "kdata_multi", _k_head(slots, daypos), _stack(mats), B.N_FIELDS,
                             ctx.options.part_bytes)
    # a large answer is built and written a group of targets at a time, so memory stays at one part
    main = new_path(ctx.out_dir, "kdata_multi")
    parts = []
    for k, start in enumerate(range(0, len(insts), group)):
        slots, daypos, _, mats = build(ctx, insts[start:start + group], freq, begin, end, bool(filled_up), fq,
                                       line=line)
        parts.append(save_mat(main.with_name(f"{main.stem}_part{k + 1}.mat"), {"KArray": _stack(mats)}))
        del mats
    return save_mat(main, dict(_k_head(slots, daypos), FilePaths="|".join(parts)))


def _stack(mats) -> np.ndarray:
    """The targets' blocks one under the other, column-major as MATLAB files store them."""
    width = mats[0].shape[1] if mats else 0
    k_array = np.empty((B.N_FIELDS * len(mats), width), order="F")
    for i, m in enumerate(mats):
        k_array[B.N_FIELDS * i:B.N_FIELDS * (i + 1)] = m
    return k_array


def _k_head(slots, daypos) -> dict:
    return {
        "TimeLine": minutes_to_datenum(slots).reshape(1, -1),
        "DayPos": daypos.astype(np.float64).reshape(1, -1),
        "TradeFreshPos": np.array([[slots.size - 1]], dtype=np.float64),
    }


@command("tvSendCmdGetKData")
def get_k_data(ctx: Context, targets, frequency, units, begin, end, filled_up, fq, noReturn=False):
    freq, _ = frequency_code(frequency, BAR_FREQUENCIES)
    units = positive_int(units, "bar units")
    begin, end = date_range(begin, end)
    fq = md.check_fq(fq)
    insts = _insts(ctx, targets)
    if noReturn:
        # an announcement: the store needs no preparation, and files nobody reads would pile up
        return None
    paths = []
    for inst in insts:
        slots, daypos, _, (m,) = build(ctx, [inst], freq, begin, end, bool(filled_up), fq, units)
        data = {"Time": minutes_to_datenum(slots), "BeginBar": (daypos == 1).astype(np.float64)}
        data.update({name: m[i] for i, name in enumerate(B.FIELDS)})
        paths.append(save_mat(new_path(ctx.out_dir, f"kdata_{inst.market}_{inst.code}"), data))
    return paths


def _window_begin(ctx: Context, inst, freq: str, units: int, count: int, end: int) -> int:
    cal = md.dims(ctx).calendar(inst.market)
    last = np.searchsorted(cal.days, end, side="right") - 1
    if last < 0:
        return end
    per_day = {"min": 1.0 / 200, "day": 1, "week": 5, "month": 23, "year": 250}[freq]
    need = int(np.ceil(count * units * per_day)) + {"min": 2, "day": 1, "week": 10, "month": 30, "year": 300}[freq]
    return int(cal.days[max(0, last - need)])


@command("tvSendCmdGetNKDataMulti")
def get_n_k_data_multi(ctx: Context, targets, frequency, units, count, end, filled_up, fq):
    freq, _ = frequency_code(frequency, BAR_FREQUENCIES)
    units = positive_int(units, "bar units")
    count = positive_int(count, "bar count")
    end = as_int_date(end, "end date")
    fq = md.check_fq(fq)
    names = ["Time", *B.FIELDS, "BeginBar"]
    records = []
    for inst in _insts(ctx, targets):
        begin = _window_begin(ctx, inst, freq, units, count, end)
        slots, daypos, _, (m,) = build(ctx, [inst], freq, begin, end, bool(filled_up), fq, units, anchor_end=True)
        keep = ~np.isnan(m[B.CLOSE])
        if not filled_up:
            keep &= B.traded(m)
        sel = np.flatnonzero(keep)[-count:]
        rec = {"Time": minutes_to_datenum(slots[sel]), "BeginBar": (daypos[sel] == 1).astype(np.float64)}
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
        slots, _ = md.day_slots(ctx, insts, begin, end)
        daypos = np.ones(slots.size, np.int64)
    return save_mat(new_path(ctx.out_dir, "trading_time"),
                    {"Time": minutes_to_datenum(slots), "DayPos": daypos.astype(np.float64)})

