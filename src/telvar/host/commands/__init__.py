"""The host's commands: the registry and every command module.

``registry`` holds the command table, the request context and the argument
checks; each other module registers the commands of one subject when it is
imported, and importing this package imports them all: ``kdata`` and
``lastn`` (bars), ``ticks``, ``calendar``, ``instruments``, ``trading_rules``,
``fundamental``, ``runs`` (back-test runs recorded by the host) and ``misc``
(factor files, store identity, log, ping).  ``writers`` writes the ``.mat``
answer files.
"""
from .registry import REGISTRY, CommandError, Context, HostOptions, command, dispatch

from . import calendar, fundamental, instruments, kdata, misc, runs, ticks, trading_rules  # noqa: E402,F401

__all__ = ["REGISTRY", "CommandError", "Context", "HostOptions", "command", "dispatch"]
