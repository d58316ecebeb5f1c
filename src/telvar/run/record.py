"""The run as the host records it: a strategy id at set-up, then trades, orders, daily equity and stats.

``tvSendCmdBeginRun(info)`` answers the run's strategy id, which
``_history.get_strategy_id()`` then answers on this connection;
``tvSendCmdPutRunRows(id, table, columns, rows)`` appends rows in chunks (a
request frame is limited); ``tvSendCmdEndRun(id, stats)`` completes the run.
A host without these commands (an older host) records nothing: the run goes
on, ``strategy_id`` is None and a line in the ``telvar`` log says so.
"""

import numpy as np

from telvar.common.jsonvalue import json_scalar as json_value
from telvar.kestrum.utils.logger import logger

CHUNK_ROWS = 5000


def _unknown(error):
    return "unknown command" in str(error)


def begin_run(info, tvcmd=None):
    """The new strategy id, or None when the host does not record runs."""
    if tvcmd is None:
        from telvar.kestrum.comm import tvcmd
    from telvar.kestrum.utils.exceptions import TvReturnError

    try:
        return str(tvcmd.call("tvSendCmdBeginRun", {k: json_value(v) if not isinstance(v, (list, dict)) else v
                                                    for k, v in info.items()}))
    except TvReturnError as exc:
        if not _unknown(exc):
            raise
        logger.warning("the host does not record runs (%s); the run has no strategy id", exc)
        return None


def put_rows(strategy_id, table, frame, tvcmd=None, chunk=CHUNK_ROWS):
    """Send a DataFrame's rows in chunks of at most ``chunk``."""
    if tvcmd is None:
        from telvar.kestrum.comm import tvcmd
    columns = [str(c) for c in frame.columns]
    values = frame.to_numpy(dtype=object)
    for start in range(0, len(values), chunk):
        rows = [[json_value(v) for v in row] for row in values[start:start + chunk]]
        tvcmd.call("tvSendCmdPutRunRows", strategy_id, table, columns, rows)


def end_run(strategy_id, stats, tvcmd=None):
    if tvcmd is None:
        from telvar.kestrum.comm import tvcmd
    tvcmd.call("tvSendCmdEndRun", strategy_id, {k: json_value(v) for k, v in stats.items()})


# The host's run tables know these columns; the result's own frames name a few
# differently or carry bar positions, which mean nothing outside this run.
_HOST_NAMES = {
    "trades": {"bar": None},
    "orders": {"bar": None, "fill_bar": None},
    "daily_equity": {"return": "daily_return"},
}


def host_frame(table, frame):
    """``frame`` with the columns the host's ``table`` records (a roll trade is noted as such)."""
    renames = _HOST_NAMES[table]
    out = frame.drop(columns=[c for c, to in renames.items() if to is None and c in frame.columns])
    out = out.rename(columns={c: to for c, to in renames.items() if to is not None})
    if table == "trades" and "roll" in out.columns:
        out = out.assign(note=np.where(out["roll"].astype(bool), "roll", None)).drop(columns=["roll"])
    return out


def record_run(strategy_id, trades, orders, daily, stats, tvcmd=None):
    """Send the run's rows and stats to the host (nothing without a strategy id)."""
    if strategy_id is None:
        return
    put_rows(strategy_id, "trades", host_frame("trades", trades), tvcmd)
    put_rows(strategy_id, "orders", host_frame("orders", orders), tvcmd)
    put_rows(strategy_id, "daily_equity", host_frame("daily_equity", daily), tvcmd)
    end_run(strategy_id, stats, tvcmd)


__all__ = ["begin_run", "put_rows", "end_run", "record_run", "host_frame", "json_value", "CHUNK_ROWS"]
