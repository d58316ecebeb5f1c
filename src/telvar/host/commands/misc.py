"""Factor files, the store's identity, the host log and ping (strategy ids and run records: ``runs``)."""
from __future__ import annotations

import time

import numpy as np

from telvar.common.timeconv import int_date_to_datenum

from ..store import reads as md
from ..store.storeinfo import read_store_info
from .registry import Context, command, date_range, parse_targets
from .writers import new_path, save_mat

_LOG_MESSAGE_CHARS = 4096


@command("tvSendCmdGetFactorMultiFilePath")
def get_factor_multi_file_path(ctx: Context, factors, targets, begin, end, kind=0):
    """One file per factor: ``fv_<market>_<code>`` series over the trading days and ``Date``.

    A factor the store does not hold gets the empty path (the caller falls back to
    its own factor store).
    """
    if isinstance(factors, str):
        factors = [factors]
    begin, end = date_range(begin, end)
    pairs = parse_targets(targets)
    md.resolve(ctx, pairs)
    days = md.dims(ctx).all_days
    days = days[(days >= begin) & (days <= end)]
    paths = []
    for factor in factors:
        if not ctx.con.execute("SELECT 1 FROM factors WHERE factor = ? LIMIT 1", [str(factor)]).fetchone():
            paths.append("")
            continue
        data = {"Date": int_date_to_datenum(days) if days.size else np.zeros(0)}
        for market, code in dict.fromkeys(pairs):
            r = ctx.con.execute("SELECT trade_date, value FROM factors WHERE factor = ? AND market = ? AND code = ? "
                                "AND trade_date BETWEEN ? AND ?", [factor, market, code, begin, end]).fetchnumpy()
            series = np.full(days.size, np.nan)
            pos = np.searchsorted(days, np.asarray(r["trade_date"], np.int64))
            ok = pos < days.size
            series[pos[ok]] = np.asarray(r["value"], np.float64)[ok]
            data[f"fv_{market}_{code}"] = series
        paths.append(save_mat(new_path(ctx.out_dir, f"factor_{factor}"), data))
    return paths


@command("tvSendCmdGetStoreInfo")
def get_store_info(ctx: Context):
    """The served store's identity and data version: ``{"store_id", "data_version", "source", "store"}``,
    and the folder the host writes its answer files to (``answer_dir``).

    Strategy processes scope their on-disk caches by them; the store is
    read-only while served, so they are read once per host. They remove an
    answer file of that folder once they have read it.
    """
    info = ctx.cache.get("store_info")
    if info is None:
        info = ctx.cache.setdefault("store_info", read_store_info(ctx.con))
    return dict(info, answer_dir=str(ctx.out_dir))


@command("tvSendCmdPutLog")
def put_log(ctx: Context, task_id, message):
    """Write a client's message to the host log (on one line: the log escapes control characters)."""
    text = str(message)
    if len(text) > _LOG_MESSAGE_CHARS:
        text = f"{text[:_LOG_MESSAGE_CHARS]}... ({len(text)} characters)"
    ctx.log.info("[%s] %s", str(task_id)[:100], text)
    return True


@command("tvSendCmdPing")
def ping(ctx: Context):
    return "pong"


@command("_tvDebugSleep")
def _debug_sleep(ctx: Context, seconds):
    """Sleep (for fault tests); served only by hosts started with debug commands."""
    time.sleep(float(seconds))
    return float(seconds)
