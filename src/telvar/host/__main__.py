"""Command line of the host: ``python -m telvar.host serve|import|build-sample``."""
from __future__ import annotations

import argparse
import os
import shutil
import signal
import sys
import threading
from pathlib import Path


def _serve(args) -> int:
    from .commands import HostOptions
    from .server.connection import Limits
    from .server.host import Host
    from .server.options import remove_token, token_from_file, write_ready_file

    if args.store is None:
        from .sample import sample_store_path

        args.store = sample_store_path()
    opts = HostOptions(strategy_id=args.strategy_id, debug_commands=args.debug_commands,
                       keep_seconds=args.keep_seconds, max_output_bytes=args.max_output_bytes or None,
                       results=args.results)
    if args.part_bytes:
        opts.part_bytes = args.part_bytes
    limits = Limits(max_connections=args.max_connections, read_timeout=args.read_timeout,
                    idle_timeout=args.idle_timeout or None, max_request_bytes=args.max_request_bytes)
    tcp = args.socket is None
    try:
        token, wrote_token = token_from_file(args.token_file)
        host = Host(args.store, args.output, socket_path=args.socket, port=args.port if tcp else None,
                    log_path=args.log, options=opts, limits=limits, token=token)
    except OSError as exc:
        print(f"telvar host: {exc}", file=sys.stderr)
        return 2
    token_path = Path(args.token_file) if args.token_file else None
    try:
        if tcp and token_path is None:
            from telvar.wire.tokens import default_token_path, write_token

            token_path = write_token(default_token_path(int(host.address.rsplit(":", 1)[1])), host.token)
            wrote_token = True
        if args.ready_file:
            write_ready_file(args.ready_file, host)
    except OSError as exc:
        host.shutdown()
        print(f"telvar host: {exc}", file=sys.stderr)
        return 2
    stop = threading.Event()

    def on_signal(signum, frame):
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    thread = host.start_in_thread()
    where = f"; token in {token_path}" if token_path else ""
    print(f"telvar host serving {args.store} on {host.address} (answers in {host.out_dir}{where})",
          file=sys.stderr, flush=True)
    orphaned = False
    while not stop.wait(0.5):
        if not thread.is_alive():
            break
        if args.parent_pid and os.getppid() != args.parent_pid:
            host.log.info("the process that started this host has ended; stopping")
            orphaned = True
            break
    host.shutdown()
    if wrote_token:
        remove_token(token_path, host.token)
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
    from telvar.wire.frames import MAX_FRAME, MAX_REQUEST

    from .server.options import SERVE_DESCRIPTION, nonnegative_float, nonnegative_int, positive_float, positive_int

    s = sub.add_parser("serve", help="serve a store", description=SERVE_DESCRIPTION,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    s.add_argument("--store", help="DuckDB store (default: the sample store)")
    where = s.add_mutually_exclusive_group()
    where.add_argument("--socket", help="Unix socket path (owner-only; a stale socket there is replaced, "
                                        "anything else is refused)")
    where.add_argument("--port", type=int, default=0, help="TCP port on 127.0.0.1 (0: any free port)")
    s.add_argument("--token-file", help="token clients must present: read from this owner-only file, or a new "
                                        "one written there when it does not exist (default for --port: a new "
                                        "token in the user's telvar token folder, found by clients on their own)")
    s.add_argument("--output", help="folder in which the host makes its own answer folder "
                                    "(default: the temporary folder)")
    s.add_argument("--keep-seconds", type=positive_float, default=3600.0,
                   help="remove answer files older than this (default: one hour)")
    s.add_argument("--max-output-bytes", type=nonnegative_int, default=4 * 1024 ** 3,
                   help="bound on the answer folder's size: past it the oldest answers are removed, and while "
                        "recent answers fill it new ones are refused (default: 4 GiB; 0: no bound)")
    s.add_argument("--max-connections", type=positive_int, default=64,
                   help="connections served at once; more are refused (default: 64)")
    s.add_argument("--read-timeout", type=positive_float, default=30.0,
                   help="seconds in which a request that has begun must arrive whole, and a new connection "
                        "to a host with a token must present it (default: 30)")
    s.add_argument("--idle-timeout", type=nonnegative_float, default=900.0,
                   help="close connections idle this many seconds between requests; clients reconnect on their "
                        "own (default: 900; 0: never)")
    s.add_argument("--max-request-bytes", type=positive_int, default=MAX_REQUEST,
                   help=f"largest request frame (default: {MAX_REQUEST} bytes; answers are limited to "
                        f"{MAX_FRAME} bytes)")
    s.add_argument("--log", help="log file (default: standard error)")
    s.add_argument("--ready-file", help="once listening, write the address and answer folder here as JSON")
    s.add_argument("--results", help="SQLite file the host records back-test runs in, created owner-only; "
                                     "several hosts may share one (default: $XDG_DATA_HOME/telvar/results/"
                                     "<store id>.sqlite, else under ~/.local/share)")
    s.add_argument("--strategy-id", help="strategy id the host answers on connections that began no run "
                                         "(default: the store's)")
    s.add_argument("--part-bytes", type=int, help="split multi-target bar files above this size")
    s.add_argument("--parent-pid", type=int, help="stop when this process (the starter) has ended")
    s.add_argument("--starter-workdir", help="remove this folder when stopping because the starter has ended")
    s.add_argument("--debug-commands", action="store_true", help=argparse.SUPPRESS)
    s.set_defaults(func=_serve)
    from .importer import loader

    i = sub.add_parser("import", help="import CSV or Parquet files into a store",
                       description=loader.__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    i.add_argument("--store", required=True)
    i.add_argument("kind", help="bars-min, bars-day, ticks, calendar, instruments, sessions, main-contracts, "
                                "adj-factors, factors, blocks, costs, limits")
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
