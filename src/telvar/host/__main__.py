"""Command line of the host: ``python -m telvar.host serve|import|build-sample``."""
from __future__ import annotations

import argparse
import os
import shutil
import signal
import sys
import tempfile
import threading
from pathlib import Path


def _serve(args) -> int:
    from .commands import HostOptions
    from .server import Host

    if args.store is None:
        from .sample import sample_store_path

        args.store = sample_store_path()
    out = args.output or tempfile.mkdtemp(prefix="telvar-host-out-")
    opts = HostOptions(strategy_id=args.strategy_id, debug_commands=args.debug_commands)
    if args.part_bytes:
        opts.part_bytes = args.part_bytes
    opts.keep_seconds = args.keep_seconds
    host = Host(args.store, out, socket_path=args.socket, port=args.port if args.socket is None else None,
                log_path=args.log, options=opts)
    stop = threading.Event()

    def on_signal(signum, frame):
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    thread = host.start_in_thread()
    print(f"telvar host serving {args.store} on {host.address} (answers in {out})", file=sys.stderr, flush=True)
    orphaned = False
    while not stop.wait(0.5):
        if not thread.is_alive():
            break
        if args.parent_pid and os.getppid() != args.parent_pid:
            host.log.info("the process that started this host has ended; stopping")
            orphaned = True
            break
    host.shutdown()
    if orphaned and args.starter_workdir:
        # the starter would have removed its working folder; it cannot any more
        shutil.rmtree(args.starter_workdir, ignore_errors=True)
    return 0


def _import(args) -> int:
    from .importer import ImportError_, import_files

    try:
        counts = import_files(args.store, args.kind, args.files, create=True,
                              drop_off_calendar=args.drop_off_calendar)
    except ImportError_ as exc:
        print(f"import failed, nothing imported: {exc}", file=sys.stderr)
        return 1
    dropped = counts.pop("dropped", None)
    for table, n in counts.items():
        print(f"{table}: {n} rows imported")
    if dropped is not None:
        print(f"{dropped} rows dropped: on no trading day or outside the sessions")
    return 0


def _build_sample(args) -> int:
    from .sample import build_store

    path = build_store(args.path, begin=args.begin, end=args.end, extra_stocks=args.extra_stocks)
    print(path)
    return 0


def main(argv=None) -> int:
    p = argparse.ArgumentParser(prog="python -m telvar.host", description=__doc__)
    sub = p.add_subparsers(dest="command", required=True)
    s = sub.add_parser("serve", help="serve a store")
    s.add_argument("--store", help="DuckDB store (default: the sample store)")
    where = s.add_mutually_exclusive_group()
    where.add_argument("--socket", help="Unix socket path")
    where.add_argument("--port", type=int, default=0, help="TCP port on 127.0.0.1 (0: any free port)")
    s.add_argument("--output", help="folder for answer files")
    s.add_argument("--log", help="log file (default: standard error)")
    s.add_argument("--strategy-id")
    s.add_argument("--part-bytes", type=int, help="split multi-target bar files above this size")
    s.add_argument("--keep-seconds", type=float, default=3600.0,
                   help="remove answer files older than this (default: one hour)")
    s.add_argument("--parent-pid", type=int, help="stop when this process (the starter) has ended")
    s.add_argument("--starter-workdir", help="remove this folder when stopping because the starter has ended")
    s.add_argument("--debug-commands", action="store_true", help=argparse.SUPPRESS)
    s.set_defaults(func=_serve)
    from . import importer

    i = sub.add_parser("import", help="import CSV or Parquet files into a store",
                       description=importer.__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    i.add_argument("--store", required=True)
    i.add_argument("kind", help="bars-min, bars-day, ticks, calendar, instruments, sessions, main-contracts, "
                                "adj-factors, factors, blocks")
    i.add_argument("files", nargs="+")
    i.add_argument("--drop-off-calendar", action="store_true",
                   help="drop bars and ticks on no trading day or outside the sessions (and count them) "
                        "instead of refusing the import")
    i.set_defaults(func=_import)
    b = sub.add_parser("build-sample", help="build a sample store")
    b.add_argument("path", type=Path)
    b.add_argument("--begin", type=int, default=20250901)
    b.add_argument("--end", type=int, default=20251231)
    b.add_argument("--extra-stocks", type=int, default=0)
    b.set_defaults(func=_build_sample)
    args = p.parse_args(argv)
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
