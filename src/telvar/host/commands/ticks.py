"""Tick commands: one day of five-level ticks per file, or several targets on one time line."""
from __future__ import annotations

import numpy as np

from telvar.common.timeconv import datetime64_to_seconds, seconds_to_datenum

from ..store import reads as md
from ..store.dimensions import Instrument
from ..store.tradingtime import day_positions
from .registry import Context, as_int_date, check_fq, command, date_range, parse_targets
from .writers import new_path, save_mat, save_parts

_BASE = [("Price", "price"), ("Volume", "volume"), ("VolumeTick", "volume_tick"), ("TurnOver", "turnover"),
         ("OpenInterest", "open_interest")]
_QUOTES = [(f"{s.capitalize()}{k.capitalize()}{n}", f"{s}_{k}{n}")
           for n in range(1, 6) for s in ("bid", "ask") for k in ("price", "volume")]
TICK_FIELDS = [name for name, _ in _BASE + _QUOTES]


def _load_ticks(ctx: Context, inst: Instrument, begin: int, end: int, fq: str):
    columns = ("ts", "trade_date") + tuple(c for _, c in _BASE + _QUOTES)
    sql = md.series_sql("ticks", columns, "ts", md.stitched(ctx, inst))
    r = ctx.con.execute(sql, [inst.market, inst.code, begin, end]).fetchnumpy()
    seconds = datetime64_to_seconds(r["ts"]) if len(r["ts"]) else np.zeros(0, np.int64)
    tdays = np.asarray(r["trade_date"], np.int64)
    data = {name: np.asarray(r[col], np.float64) for name, col in _BASE + _QUOTES}
    mult = md.adjustment(ctx, inst, tdays, fq)
    if mult is not None:
        for name in TICK_FIELDS:
            if "Price" in name:
                data[name] = data[name] * mult
    return seconds, tdays, data


@command("tvSendCmdGetTDPData")
def get_tdp_data(ctx: Context, market, code, day, fq, no_return=False, check_permission=True):
    day = as_int_date(day, "trading day")
    fq = check_fq(fq)
    (inst,) = md.resolve(ctx, parse_targets([{"Market": market, "Code": code}]))
    if no_return:
        return None  # an announcement: nothing to prepare, and no file that nobody reads
    seconds, _, data = _load_ticks(ctx, inst, day, day, fq)
    out = {"Time": seconds_to_datenum(seconds)}
    out.update(data)
    return save_mat(new_path(ctx.out_dir, f"tick_{inst.market}_{inst.code}_{day}"), out, oned_as="column")


@command("tvSendCmdGetTDPDataMulti")
def get_tdp_data_multi(ctx: Context, targets, begin, end, fq):
    """Ticks of several targets on their common time line.

    ``TickPriceData`` has shape (len(TickFields), len(TimeLine), targets): the
    fields named in ``TickFields`` for each tick time and target, NaN where a
    target has no tick at that time.
    """
    begin, end = date_range(begin, end)
    fq = check_fq(fq)
    insts = md.resolve(ctx, parse_targets(targets))
    loaded = [_load_ticks(ctx, inst, begin, end, fq) for inst in insts]
    if loaded:
        allsec = np.concatenate([s for s, _, _ in loaded])
        alldays = np.concatenate([d for _, d, _ in loaded])
        line, first = np.unique(allsec, return_index=True)
        line_days = alldays[first]
    else:
        line, line_days = np.zeros(0, np.int64), np.zeros(0, np.int64)
    cube = np.full((len(TICK_FIELDS), line.size, len(insts)), np.nan)
    for j, (sec, _, data) in enumerate(loaded):
        pos = np.searchsorted(line, sec)
        for i, name in enumerate(TICK_FIELDS):
            cube[i, pos, j] = data[name]
    head = {
        "TimeLine": seconds_to_datenum(line).reshape(1, -1),
        "DayPos": day_positions(line_days).astype(np.float64).reshape(1, -1),
        "TradeFreshPos": np.array([[line.size - 1]], np.float64),
        "TickFields": np.array(TICK_FIELDS),
        "KArray": np.zeros((0, 0)),
    }
    main = new_path(ctx.out_dir, "tick_multi")
    per_target = max(1, cube[:, :, :1].nbytes)
    step = max(1, ctx.options.part_bytes // per_target)
    if len(insts) <= step:
        return save_mat(main, dict(head, TickPriceData=cube))
    # large answers: part files of whole targets, stacked back along the third axis
    parts = save_parts(main, "TickPriceData", (cube[:, :, j:j + step] for j in range(0, len(insts), step)),
                       ctx.part_written)
    return save_mat(main, dict(head, FilePaths="|".join(parts)))

