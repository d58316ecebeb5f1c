"""Which store a host serves and which version of its data.

Strategy processes keep their on-disk caches in a folder per store identity
and never read an entry made from another data version, so both values are
kept in the store's ``meta`` table:

- ``store_id``: a random hex id written when the schema is first created and
  never changed afterwards;
- ``data_version``: a random hex value, written when the schema is first
  created and again inside every import transaction that commits (the sample
  builder creates its store with a fresh one).

Whoever changes a store by other means (plain SQL) must call
``new_data_version(con)`` in the same transaction, or caches keep serving the
old data.

Stores made before these keys existed lack them, and a host cannot add them
(it opens stores read-only). Such a store is named by a digest of its file's
real path (``path-<hex>``) and versioned by the size and modification time of
the file and of its write-ahead log (``file-<size>-<mtime_ns>[-wal-...]``):
any write to the file changes the version; moving the file changes the
identity. The first import into such a store gives it both keys.
"""
from __future__ import annotations

import hashlib
import os
import uuid

import duckdb

STORE_ID_KEY = "store_id"
DATA_VERSION_KEY = "data_version"


def _token() -> str:
    return uuid.uuid4().hex


def ensure_store_keys(con: duckdb.DuckDBPyConnection) -> None:
    """Give a store without them a store id and a data version (kept when present)."""
    con.execute("INSERT OR IGNORE INTO meta VALUES (?, ?)", [STORE_ID_KEY, _token()])
    con.execute("INSERT OR IGNORE INTO meta VALUES (?, ?)", [DATA_VERSION_KEY, _token()])


def new_data_version(con: duckdb.DuckDBPyConnection) -> str:
    """Write a new data version; call it inside the transaction that changes the data."""
    version = _token()
    con.execute("INSERT OR REPLACE INTO meta VALUES (?, ?)", [DATA_VERSION_KEY, version])
    return version


def _meta_values(con) -> dict:
    try:
        rows = con.execute("SELECT key, value FROM meta WHERE key IN (?, ?)",
                           [STORE_ID_KEY, DATA_VERSION_KEY]).fetchall()
    except duckdb.Error:  # a store without a meta table
        return {}
    return {k: v for k, v in rows if v}


def _database_file(con) -> str | None:
    row = con.execute("SELECT path FROM duckdb_databases() WHERE database_name = current_database()").fetchone()
    return row[0] if row and row[0] else None


def _file_stamp(path: str) -> str:
    parts = []
    for suffix, tag in (("", "file"), (".wal", "wal")):
        try:
            st = os.stat(path + suffix)
        except FileNotFoundError:
            continue
        parts.append(f"{tag}-{st.st_size}-{st.st_mtime_ns}")
    return "-".join(parts) or "file-missing"


def read_store_info(con: duckdb.DuckDBPyConnection, store_path=None) -> dict:
    """``{"store_id", "data_version", "source", "store"}`` of the store behind ``con``.

    Each value comes from the meta table when it is there, else from the store
    file (see the module's docstring); ``source`` is ``"meta"`` when both come
    from the meta table, else ``"file"``.
    """
    values = _meta_values(con)
    path = os.fspath(store_path) if store_path is not None else _database_file(con)
    real = os.path.realpath(path) if path else ""
    if not real and len(values) < 2:
        raise ValueError("the store has neither a store id and data version nor a file to derive them from")
    store_id = values.get(STORE_ID_KEY)
    if store_id is None:
        store_id = "path-" + hashlib.sha256(real.encode("utf-8", "surrogateescape")).hexdigest()[:32]
    version = values.get(DATA_VERSION_KEY)
    if version is None:
        version = _file_stamp(real)
    return {"store_id": store_id, "data_version": version, "source": "meta" if len(values) == 2 else "file",
            "store": real}


__all__ = ["STORE_ID_KEY", "DATA_VERSION_KEY", "ensure_store_keys", "new_data_version", "read_store_info"]
