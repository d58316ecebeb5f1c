"""Serving a store: the ``Host`` (``host``), its connections and their limits
(``connection``), the Unix socket (``listen``), the answer folder (``answers``),
a log that client text cannot forge lines in (``logsafe``) and the pieces of
``serve``'s command line (``options``).

``Host`` and ``Limits`` are imported on first use: the command line reads
``options`` without loading the store's code.
"""
__all__ = ["Host", "Limits"]


def __getattr__(name):
    if name == "Host":
        from .host import Host

        return Host
    if name == "Limits":
        from .connection import Limits

        return Limits
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
