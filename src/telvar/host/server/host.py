"""The host server: one thread per connection, a read-only store, answers as frames.

Connections, their limits and the token check are in ``connection``; the
answer folder and its sweeping in ``answers``; the Unix socket's claiming and
permissions in ``listen``; the commands in ``telvar.host.commands``.
"""
from __future__ import annotations

import logging
import os
import socket
import threading
import time
from pathlib import Path

import duckdb

from telvar.wire.frames import format_address
from telvar.wire.tokens import new_token

from .. import commands as C  # importing the package registers every command
from ..store.dimensions import NotInStore
from ..store.results_db import open_results
from ..store.storeinfo import read_store_info
from .answers import AnswerFolder, AnswerFolderFull, answer_paths
from .connection import Connection, Handler, Limits, TCPServer, UnixServer
from .listen import claim_socket_path, make_socket_folder
from .logsafe import OneLineFormatter


def _make_log(log_path) -> logging.Logger:
    log = logging.getLogger(f"telvar.host.{os.getpid()}.{threading.get_ident()}.{time.monotonic_ns()}")
    log.setLevel(logging.INFO)
    log.propagate = False
    handler = logging.FileHandler(log_path, encoding="utf-8") if log_path else logging.StreamHandler()
    handler.setFormatter(OneLineFormatter("%(asctime)s %(levelname)s %(message)s"))
    log.addHandler(handler)
    return log


def _close_log(log: logging.Logger) -> None:
    for h in list(log.handlers):
        h.close()
        log.removeHandler(h)


class Host:
    """A host serving one store on a Unix socket or on 127.0.0.1.

    ``out_dir`` is the folder the host makes its own answer folder in (see
    ``answers``; default: the system's temporary folder); ``self.out_dir`` is
    that answer folder.  A TCP host requires ``token`` (a new one when not
    given: ``self.token``); a Unix-socket host requires one only when given.
    """

    def __init__(self, store, out_dir=None, socket_path=None, port=None, log_path=None, options=None,
                 limits: Limits | None = None, token: str | None = None):
        self.store = str(store)
        if not Path(self.store).exists():
            raise FileNotFoundError(f"store not found: {self.store}")
        self.options = options or C.HostOptions()
        self.limits = limits or Limits()
        self._count_lock = threading.Lock()
        self._open_count = 0
        self._connections: dict[threading.Thread, socket.socket] = {}
        self._connections_lock = threading.Lock()
        self._made_socket_folder = None
        self.log = _make_log(log_path)
        try:
            self._open(out_dir, socket_path, port, token)
        except BaseException:
            _close_log(self.log)
            raise
        self.out_dir = self.answers.path
        self._server.host = self
        self._stop = threading.Event()
        self._serving = False

    def _open(self, out_dir, socket_path, port, token) -> None:
        """The store, the answer folder and the listening socket; nothing is left open when one fails."""
        self.con = duckdb.connect(self.store, read_only=True)
        try:
            self.cache: dict = {"store_info": read_store_info(self.con, self.store)}
            self.results = self.cache["results"] = open_results(self.options.results,
                                                                self.cache["store_info"]["store_id"])
            self.answers = AnswerFolder(out_dir, self.options.keep_seconds, self.options.max_output_bytes)
            try:
                self._listen(socket_path, port, token)
            except BaseException:
                self.answers.close()
                raise
        except BaseException:
            self.con.close()
            raise

    def _listen(self, socket_path, port, token) -> None:
        if socket_path is not None:
            socket_path = os.path.abspath(os.fspath(socket_path))
            if make_socket_folder(socket_path):
                self._made_socket_folder = os.path.dirname(socket_path)
            try:
                claim_socket_path(socket_path)
                self._server = UnixServer(socket_path, Handler)
            except BaseException:
                if self._made_socket_folder:
                    os.rmdir(self._made_socket_folder)
                raise
            st = os.lstat(socket_path)
            self._socket_id = (st.st_dev, st.st_ino)
            self.address = format_address("unix", socket_path)
            self.token = token
        else:
            self._server = TCPServer(("127.0.0.1", int(port or 0)), Handler)
            self.address = format_address("tcp", self._server.server_address)
            self.token = token or new_token()

    # ------------------------------------------------------------------ requests
    def run(self, ctx: C.Context, req):
        """Answer one request; never raises."""
        if not isinstance(req, dict) or not isinstance(req.get("cmd"), str):
            return {"ok": False, "error": "malformed request: expected {'cmd': name, 'args': [...]}"}
        name = req["cmd"]
        args, kwargs = req.get("args", []), req.get("kwargs", {})
        reply = req.get("reply", True) is not False
        if not isinstance(args, list) or not isinstance(kwargs, dict):
            return {"ok": False, "error": f"{name}: malformed arguments"} if reply else None
        try:
            if name.startswith("_tvDebug") and not self.options.debug_commands:
                raise C.CommandError(f"unknown command {name!r}")
            value = C.dispatch(ctx, name, args, kwargs)
            files = answer_paths(value, self.out_dir)
            if not reply:
                self.answers.discard(files)  # nobody will read them
                return None
            self.answers.admit(files)
            answer = {"ok": True, "value": value}
        except (C.CommandError, NotInStore) as exc:
            self.log.info("%s refused: %s", name, exc)
            answer = {"ok": False, "error": f"{name}: {exc}"}
        except AnswerFolderFull as exc:
            self.log.warning("%s refused: %s", name, exc)
            answer = {"ok": False, "error": f"{name}: {exc}"}
        except Exception as exc:  # a fault in a handler must not stop the host
            self.log.exception("%s failed", name)
            answer = {"ok": False, "error": f"{name}: internal error: {type(exc).__name__}: {exc}"}
        return answer if reply else None

    def serve_connection(self, sock: socket.socket, peer) -> None:
        cur = self.con.cursor()
        ctx = C.Context(cur, self.out_dir, self.log, self.options, self.cache)
        with self._connections_lock:
            self._connections[threading.current_thread()] = sock
        try:
            Connection(self, sock, peer).serve(ctx)
        finally:
            cur.close()
            with self._connections_lock:
                self._connections.pop(threading.current_thread(), None)

    def reserve_connection(self) -> bool:
        with self._count_lock:
            if self._open_count >= self.limits.max_connections:
                return False
            self._open_count += 1
            return True

    def release_connection(self) -> None:
        with self._count_lock:
            self._open_count -= 1

    # ------------------------------------------------------------------ running
    def serve_forever(self):
        info = self.cache["store_info"]
        self.log.info("serving %s on %s (store id %s, data version %s, from the %s); answers in %s; "
                      "results in %s", self.store, self.address, info["store_id"], info["data_version"],
                      "meta table" if info["source"] == "meta" else "file", self.out_dir, self.results.path)
        threading.Thread(target=self._janitor, name="telvar-host-janitor", daemon=True).start()
        self._serving = True
        self._server.serve_forever(poll_interval=0.2)

    def remove_old_answers(self, now: float | None = None) -> int:
        """Sweep the answer folder (old files, then the size bound) and folders of killed hosts; returns how many files went."""
        return self.answers.sweep(now) + self.answers.sweep_abandoned(now)

    def _janitor(self):
        while not self._stop.wait(min(60.0, self.options.keep_seconds)):
            try:
                self.remove_old_answers()
            except Exception:  # the next round tries again
                self.log.exception("sweeping the answer folder failed")

    def start_in_thread(self) -> threading.Thread:
        self._serving = True  # before the thread runs, so that an early shutdown() still stops it
        t = threading.Thread(target=self.serve_forever, name="telvar-host", daemon=True)
        t.start()
        return t

    def _close_connections(self, wait: float = 10.0) -> None:
        """End the open client connections and wait for their requests to finish,
        so the store is not closed under a running query."""
        with self._connections_lock:
            open_now = dict(self._connections)
        for sock in open_now.values():
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        deadline = time.monotonic() + wait
        for thread in open_now:
            thread.join(max(0.0, deadline - time.monotonic()))

    def shutdown(self):
        self._stop.set()
        if self._serving:  # socketserver's shutdown() waits for a serve_forever() loop
            self._server.shutdown()
        self._server.server_close()
        if self.address.startswith("unix:"):
            path = self.address[5:]
            try:
                st = os.lstat(path)
                if (st.st_dev, st.st_ino) == self._socket_id:  # still ours, not a file put there since
                    os.unlink(path)
            except OSError:
                pass
            if self._made_socket_folder:
                try:
                    os.rmdir(self._made_socket_folder)
                except OSError:
                    pass
        self._close_connections()
        try:
            self.con.close()
        except duckdb.Error as exc:  # a request that outlived the wait still holds its cursor
            self.log.warning("store closed while a request was running: %s", exc)
        self.answers.close()
        self.results.close()
        _close_log(self.log)

