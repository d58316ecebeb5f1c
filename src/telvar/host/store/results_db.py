"""The host's results database: back-test runs, their statistics, trades, orders and daily equity.

One SQLite file, by default ``$XDG_DATA_HOME/telvar/results/<store id>.sqlite``
(else under ``~/.local/share``), or the one ``serve --results PATH`` names.
It is created owner-only and kept in WAL mode with a busy timeout, so several
host processes can record runs into one file at once; the market store stays
read-only. A run's opening and rows are committed without waiting for the
disk; its end waits, so a complete run is on disk with everything before it
(a crash can lose only rows of runs that had not ended).  The file is opened on the first write: a host whose clients run
no back-test never creates it.

Tables (plain SQLite, for anyone to query):

- ``runs``: one row per run: ``strategy_id`` (``TVS-YYYYMMDD-xxxxxxxx``),
  ``name``, ``begin_date``, ``end_date``, ``status`` (``running`` until the run
  ended, then ``complete``), ``store_id`` of the store it ran on,
  ``started_at``/``ended_at`` (UTC, ISO 8601), ``info`` (the run's settings as
  JSON) and ``stats`` (its statistics as JSON);
- ``trades``, ``orders``, ``daily_equity``: ``strategy_id`` plus the columns
  of ``RUN_TABLES``; rows keep the order they were sent in (``rowid``).
"""
from __future__ import annotations

import datetime as _dt
import hashlib
import json
import os
import re
import secrets
import sqlite3
import time
import stat
import threading
from pathlib import Path

from telvar.common.userdirs import data_dir, private_folder

# column -> kind of value: "int" (whole numbers: dates YYYYMMDD), "real", "text", or "any" (as sent)
RUN_TABLES: dict[str, dict[str, str]] = {
    "trades": {
        "date": "int", "time": "any", "target": "text", "contract": "text", "side": "text", "offset": "text",
        "quantity": "real", "price": "real", "turnover": "real", "commission": "real", "tax": "real",
        "slippage": "real", "realized_pnl": "real", "position": "real", "order_id": "any", "note": "text",
    },
    "orders": {
        "order_id": "any", "date": "int", "time": "any", "target": "text", "contract": "text", "side": "text",
        "offset": "text", "order_type": "text", "quantity": "real", "limit_price": "real", "status": "text",
        "filled_quantity": "real", "fill_price": "real", "fill_date": "int", "fill_time": "any",
        "reason": "text", "note": "text",
    },
    "daily_equity": {
        "date": "int", "equity": "real", "cash": "real", "market_value": "real", "margin": "real", "pnl": "real",
        "daily_return": "real", "drawdown": "real", "benchmark": "real", "benchmark_return": "real",
        "turnover": "real", "commission": "real", "tax": "real", "positions": "any",
    },
}
_SQL_TYPES = {"int": "INTEGER", "real": "REAL", "text": "TEXT", "any": ""}
BUSY_TIMEOUT_SECONDS = 30.0
_SCHEMA_VERSION = 1
_SAFE_NAME = re.compile(r"^[A-Za-z0-9_.-]{1,100}$")


class ResultsError(Exception):
    """The results database cannot be opened or written; the message names the file."""


class UnknownRun(ResultsError):
    """No run of that strategy id in the results database."""


def default_results_path(store_id: str) -> Path:
    name = store_id if _SAFE_NAME.match(store_id) and not store_id.startswith(".") else \
        "store-" + hashlib.sha256(store_id.encode("utf-8", "surrogateescape")).hexdigest()[:32]
    return data_dir(create=False) / "results" / f"{name}.sqlite"


def open_results(path, store_id: str) -> "ResultsDB":
    """The results database at ``path``, or at the default place for the store (nothing is opened yet)."""
    if path:
        return ResultsDB(Path(os.path.abspath(os.fspath(path))))
    return ResultsDB(default_results_path(store_id), default_location=True)


def _schema_sql() -> list[str]:
    sql = ["""CREATE TABLE IF NOT EXISTS runs (
        strategy_id TEXT PRIMARY KEY, name TEXT, begin_date INTEGER, end_date INTEGER,
        status TEXT NOT NULL, store_id TEXT, started_at TEXT NOT NULL, ended_at TEXT,
        info TEXT NOT NULL, stats TEXT)"""]
    for table, columns in RUN_TABLES.items():
        cols = ", ".join(f'"{c}" {_SQL_TYPES[k]}'.rstrip() for c, k in columns.items())
        sql.append(f"CREATE TABLE IF NOT EXISTS {table} (strategy_id TEXT NOT NULL, {cols})")
        sql.append(f"CREATE INDEX IF NOT EXISTS {table}_by_run ON {table} (strategy_id)")
    return sql


def _now() -> str:
    return _dt.datetime.now(_dt.timezone.utc).isoformat(timespec="seconds")


def _new_strategy_id() -> str:
    return f"TVS-{_dt.date.today():%Y%m%d}-{secrets.token_hex(4)}"


class ResultsDB:
    """The results database of one host; thread-safe (one connection, used under a lock)."""

    def __init__(self, path, busy_timeout: float = BUSY_TIMEOUT_SECONDS, default_location: bool = False):
        self.path = Path(path)
        self.busy_timeout = busy_timeout
        self._default_location = default_location
        self._con: sqlite3.Connection | None = None
        self._lock = threading.Lock()

    # ------------------------------------------------------------------ opening
    def _prepare_file(self) -> None:
        """The file, created owner-only when missing; one that another user owns is refused."""
        folder = self.path.parent
        if self._default_location:
            data_dir()
            private_folder(folder)
        else:
            folder.mkdir(mode=0o700, parents=True, exist_ok=True)
        try:
            fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
            os.fchmod(fd, 0o600)  # whatever the umask
            os.close(fd)
        except FileExistsError:
            st = os.stat(self.path)
            if not stat.S_ISREG(st.st_mode):
                raise ResultsError(f"results database {self.path}: not a regular file") from None
            if st.st_uid != os.getuid():
                raise ResultsError(f"results database {self.path} belongs to another user (uid {st.st_uid}); "
                                   f"the host will not use it") from None

    def _connect(self, create: bool) -> sqlite3.Connection | None:
        """The open connection; None when the file does not exist and ``create`` is false."""
        if self._con is not None:
            return self._con
        if not create and not self.path.exists():
            return None
        try:
            self._prepare_file()
            con = sqlite3.connect(str(self.path), timeout=self.busy_timeout, isolation_level=None,
                                  check_same_thread=False)
        except (OSError, sqlite3.Error) as exc:
            raise ResultsError(f"cannot open the results database {self.path}: {exc}") from None
        def create_tables():
            for sql in _schema_sql():
                con.execute(sql)
            con.execute(f"PRAGMA user_version = {_SCHEMA_VERSION}")

        try:
            con.execute(f"PRAGMA busy_timeout = {int(self.busy_timeout * 1000)}")
            self._use_wal(con)  # readers never wait for a writer; writers queue
            con.execute("PRAGMA synchronous = NORMAL")  # in WAL mode: commits do not wait for the disk
            self._write(con, create_tables)
        except sqlite3.Error as exc:
            con.close()
            raise ResultsError(f"cannot open the results database {self.path}: {exc}") from None
        except BaseException:
            con.close()
            raise
        self._con = con
        return con

    def _use_wal(self, con):
        """Switch the file to write-ahead logging. Two hosts opening a new file at once both ask for
        the switch, and SQLite answers the second "database is locked" at once, without its busy
        handler: it is asked again until the busy timeout has passed."""
        deadline = time.monotonic() + self.busy_timeout
        while True:
            try:
                con.execute("PRAGMA journal_mode = WAL")
                return
            except sqlite3.OperationalError as exc:
                if "locked" not in str(exc) or time.monotonic() >= deadline:
                    raise
                time.sleep(0.01)

    def _write(self, con, work, durable=False):
        """Run ``work`` in one write transaction (taken at once: no deadlock between processes);
        ``durable`` waits until it is on disk, and with it every transaction committed before."""
        try:
            if durable:
                con.execute("PRAGMA synchronous = FULL")
            con.execute("BEGIN IMMEDIATE")
        except sqlite3.Error as exc:
            raise ResultsError(f"results database {self.path}: {exc}") from None
        try:
            out = work()
            con.execute("COMMIT")
            return out
        except BaseException as exc:
            try:
                con.execute("ROLLBACK")
            except sqlite3.Error:  # SQLite rolled back already
                pass
            if isinstance(exc, sqlite3.Error):
                raise ResultsError(f"results database {self.path}: {exc}") from None
            raise
        finally:
            if durable:
                try:
                    con.execute("PRAGMA synchronous = NORMAL")
                except sqlite3.Error:  # the next write finds the connection as it is
                    pass

    def close(self) -> None:
        with self._lock:
            if self._con is not None:
                self._con.close()
                self._con = None

    # ------------------------------------------------------------------ runs
    def begin_run(self, name: str, begin_date: int, end_date: int, info: dict, store_id: str | None) -> str:
        text = json.dumps(info, ensure_ascii=False)
        with self._lock:
            con = self._connect(create=True)

            def insert():
                for _ in range(8):
                    sid = _new_strategy_id()
                    if not con.execute("SELECT 1 FROM runs WHERE strategy_id = ?", [sid]).fetchone():
                        con.execute("INSERT INTO runs (strategy_id, name, begin_date, end_date, status, store_id, "
                                    "started_at, info) VALUES (?, ?, ?, ?, 'running', ?, ?, ?)",
                                    [sid, name, begin_date, end_date, store_id, _now(), text])
                        return sid
                raise ResultsError(f"results database {self.path}: no free strategy id")
            return self._write(con, insert)

    def _running(self, con, sid: str) -> None:
        row = con.execute("SELECT status FROM runs WHERE strategy_id = ?", [sid]).fetchone()
        if row is None:
            raise UnknownRun(f"unknown strategy id {sid!r} (no run of this id in {self.path})")
        if row[0] != "running":
            raise ResultsError(f"run {sid} has ended: it takes no more rows or statistics")

    def put_rows(self, sid: str, table: str, columns: list[str], rows: list[list]) -> int:
        """Append rows (already checked against ``RUN_TABLES``) to a running run."""
        names = ", ".join(f'"{c}"' for c in columns)
        sql = f"INSERT INTO {table} (strategy_id, {names}) VALUES (?{', ?' * len(columns)})"
        with self._lock:
            con = self._connect(create=True)

            def insert():
                self._running(con, sid)
                con.executemany(sql, ([sid, *r] for r in rows))
                return len(rows)
            return self._write(con, insert)

    def end_run(self, sid: str, stats: dict) -> None:
        text = json.dumps(stats, ensure_ascii=False)
        with self._lock:
            con = self._connect(create=True)

            def finish():
                self._running(con, sid)
                con.execute("UPDATE runs SET status = 'complete', ended_at = ?, stats = ? WHERE strategy_id = ?",
                            [_now(), text, sid])
            self._write(con, finish, durable=True)

    def run(self, sid: str) -> dict | None:
        """``{"strategy_id", "name", "begin_date", "end_date", "status", "info", "stats"}``, or None."""
        with self._lock:
            con = self._connect(create=False)
            if con is None:
                return None
            try:
                row = con.execute("SELECT strategy_id, name, begin_date, end_date, status, info, stats FROM runs "
                                  "WHERE strategy_id = ?", [sid]).fetchone()
            except sqlite3.Error as exc:
                raise ResultsError(f"results database {self.path}: {exc}") from None
        if row is None:
            return None
        keys = ("strategy_id", "name", "begin_date", "end_date", "status", "info", "stats")
        rec = dict(zip(keys, row))
        rec["info"] = json.loads(rec["info"])
        rec["stats"] = json.loads(rec["stats"]) if rec["stats"] is not None else None
        return rec
