"""Command registry of the host.

A command is a function ``handler(ctx, *args, **kwargs)`` registered under its
wire name with ``@command("tvSendCmdName")``.  ``ctx`` gives the handler a
read-only DuckDB cursor, the output folder for ``.mat`` answers, the host log,
the host options, data shared by the host's requests and the state of the
request's connection.  A handler raises ``CommandError`` for bad requests (and
the store's reads ``store.dimensions.NotInStore`` for what the store does not
hold); the server turns either into an error answer that names the problem.
"""
from __future__ import annotations

import inspect
import logging
import threading
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import duckdb

from telvar.common.frequencies import FREQUENCY_CODES

REGISTRY: dict[str, Callable] = {}
_SIGNATURES: dict[Callable, inspect.Signature] = {}
_SHARED_LOCK = threading.RLock()  # one request makes a shared value while the others wait


class CommandError(Exception):
    """A request the host cannot answer (bad argument, unknown instrument, ...)."""


class ClientGone(CommandError):
    """The client went away while its answer was being written."""


def command(name: str):
    def register(fn):
        if name in REGISTRY and REGISTRY[name] is not fn:
            raise ValueError(f"host command {name} registered twice")
        REGISTRY[name] = fn
        return fn
    return register


@dataclass
class HostOptions:
    part_bytes: int = 64 * 1024 * 1024
    strategy_id: str | None = None
    keep_seconds: float = 3600.0  # answer files older than this are removed
    max_output_bytes: int | None = 4 * 1024 ** 3  # past this, the oldest answer files are removed
    debug_commands: bool = False
    results: str | None = None  # the results database (default: one per store in the user's data folder)


@dataclass
class Context:
    con: duckdb.DuckDBPyConnection
    out_dir: Path
    log: logging.Logger
    options: HostOptions = field(default_factory=HostOptions)
    cache: dict = field(default_factory=dict)  # per-host, read-only data shared by requests
    connection: dict = field(default_factory=dict)  # state of one client connection (its current run)
    # sends a part file's path to a client that asked for its answer's parts as they are written
    report_part: Callable[[str], bool] | None = None

    def part_written(self, path: str) -> None:
        """A part file of the answer is written: a client streaming the answer hears of it now, and its
        time-out starts again (``ClientGone`` when it has left: the rest would be written for nobody)."""
        if self.report_part is not None and not self.report_part(str(path)):
            raise ClientGone("the client left while its answer was written")

    def shared(self, key: str, make: Callable[[], object]):
        """The per-host value ``key`` of ``cache``, made by ``make()`` by the first request that needs it."""
        value = self.cache.get(key)
        if value is None:
            with _SHARED_LOCK:
                value = self.cache.get(key)
                if value is None:
                    value = self.cache[key] = make()
        return value


def dispatch(ctx: Context, name: str, args: list, kwargs: dict):
    fn = REGISTRY.get(name)
    if fn is None:
        raise CommandError(f"unknown command {name!r}")
    sig = _SIGNATURES.get(fn)
    if sig is None:
        sig = _SIGNATURES[fn] = inspect.signature(fn)
    try:
        sig.bind(ctx, *args, **kwargs)
    except TypeError as exc:
        raise CommandError(f"bad arguments: {exc}") from None
    return fn(ctx, *args, **kwargs)


# ------------------------------------------------------------------ argument helpers
def as_int_date(value, what: str) -> int:
    try:
        if isinstance(value, bool):
            raise TypeError
        v = int(value)
        if v != value and not isinstance(value, str):
            raise ValueError
    except (TypeError, ValueError):
        raise CommandError(f"{what} must be an integer date YYYYMMDD, got {value!r}") from None
    if v < 0 or v > 99999999:
        raise CommandError(f"{what} must be an integer date YYYYMMDD, got {value!r}")
    return v


def date_range(begin, end) -> tuple[int, int]:
    b, e = as_int_date(begin, "begin date"), as_int_date(end, "end date")
    if b > e:
        raise CommandError(f"begin date {b} is after end date {e}")
    return b, e


def frequency_code(frequency, allowed=None) -> tuple[str, int]:
    if isinstance(frequency, (int,)) and not isinstance(frequency, bool) and frequency in FREQUENCY_CODES.values():
        name = next(k for k, v in FREQUENCY_CODES.items() if v == frequency)
    else:
        name = str(frequency).lower()
    if name not in FREQUENCY_CODES or (allowed is not None and name not in allowed):
        raise CommandError(f"unknown frequency {frequency!r}; expected one of "
                           f"{', '.join(allowed or FREQUENCY_CODES)}")
    return name, FREQUENCY_CODES[name]


FQ_MODES = ("NA", "FWard", "BWard")


def check_fq(fq) -> str:
    """A price adjustment: none, forward or backward."""
    if fq not in FQ_MODES:
        raise CommandError(f"unknown price adjustment {fq!r}; expected one of {', '.join(FQ_MODES)}")
    return fq


def positive_int(value, what: str) -> int:
    try:
        if isinstance(value, bool):
            raise TypeError
        v = int(value)
    except (TypeError, ValueError):
        raise CommandError(f"{what} must be a positive integer, got {value!r}") from None
    if v < 1 or v != value:
        raise CommandError(f"{what} must be a positive integer, got {value!r}")
    return v


def parse_targets(targets) -> list[tuple[str, str]]:
    """Targets as (market, code) pairs, from records, dotted keys or the columnar host form."""
    if isinstance(targets, dict) and isinstance(targets.get("Code"), (list, tuple)):
        codes, markets = targets.get("Code"), targets.get("Market")
        if not isinstance(markets, (list, tuple)) or len(markets) != len(codes):
            raise CommandError("targets: 'Market' and 'Code' lists differ in length")
        targets = [{"Market": m, "Code": c} for m, c in zip(markets, codes)]
    elif isinstance(targets, (dict, str)):
        targets = [targets]
    if not isinstance(targets, (list, tuple)):
        raise CommandError(f"targets must be a list of {{'Market', 'Code'}} records, got {type(targets).__name__}")
    out = []
    for t in targets:
        if isinstance(t, dict):
            if "Market" not in t or "Code" not in t:
                raise CommandError(f"target {t!r} lacks 'Market' or 'Code'")
            out.append((str(t["Market"]).upper(), str(t["Code"]).upper()))
        elif isinstance(t, str) and "." in t:
            market, code = t.split(".", 1)
            out.append((market.upper(), code.upper()))
        else:
            raise CommandError(f"target {t!r} is neither a record nor a 'MARKET.CODE' key")
    return out
