"""The host terminal: a separate process serving a DuckDB market-data store.

``start_host(store=None)`` starts one in the background (``store=None``: the
sample store, built on first use) and returns a handle with ``.address`` and
``.stop()``; the handle is a context manager.  A TCP host (``port=``)
requires a token: the handle carries it (``.token``), and
``comm.connect(handle.address)`` in the same process and
``runner.setup(..., host=handle)`` present it on their own.  From the shell:
``python -m telvar.host serve|import|build-sample``.

Subpackages, each one subsystem: ``server`` (serving a store: connections,
the answer folder), ``commands`` (what a host answers), ``store`` (the DuckDB
store: schema, reads, bar arithmetic, trading time, the results database),
``importer`` (loading a user's files), ``sample`` (the sample store).  The
names users call are importable from here; all but ``start_host`` and
``HostHandle`` are loaded on first use.
"""
from .launch import HostHandle, start_host

# name -> module that defines it, loaded on first use (a strategy process needs none of them)
_LAZY = {
    "Host": ".server", "Limits": ".server", "HostOptions": ".commands",
    "import_files": ".importer", "ImportError_": ".importer",
    "build_store": ".sample", "sample_store_path": ".sample",
    "new_data_version": ".store.storeinfo", "read_store_info": ".store.storeinfo",
    "storeinfo": ".store",  # documented as telvar.host.storeinfo.new_data_version
}

__all__ = ["start_host", "HostHandle", *(name for name in _LAZY if name != "storeinfo")]


def __getattr__(name):
    where = _LAZY.get(name)
    if where is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib

    return getattr(importlib.import_module(where, __name__), name)
