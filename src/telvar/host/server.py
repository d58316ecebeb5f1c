"""The host server: one thread per connection, a read-only store, answers as frames."""
from __future__ import annotations

import logging
import os
import socket
import socketserver
import threading
import time
from pathlib import Path

import duckdb

from . import commands as C
from .protocol import ProtocolError, encode, format_address, read_frame, read_frame_buffered
from .storeinfo import read_store_info

# importing the command modules registers their commands
from . import calendar_cmds, fundamental, instrument_cmds, kdata, misc_cmds, tick_cmds  # noqa: F401,E402


@C.command("_tvDebugSleep")
def _debug_sleep(ctx: C.Context, seconds):
    """Sleep (for fault tests); served only by hosts started with debug commands."""
    time.sleep(float(seconds))
    return float(seconds)


class _Handler(socketserver.BaseRequestHandler):
    server: "_Mixin"

    def handle(self):
        host: Host = self.server.host
        cur = host.con.cursor()
        ctx = C.Context(cur, host.out_dir, host.log, host.options, host.cache)
        reader = self.request.makefile("rb", buffering=1 << 16)
        host.connection_opened(self.request)
        try:
            while True:
                try:
                    req = read_frame_buffered(reader)
                except ProtocolError as exc:
                    host.log.warning("malformed frame: %s", exc)
                    self._send({"ok": False, "error": f"malformed frame: {exc}"})
                    return
                except OSError:
                    return
                if req is None:
                    return
                answer = host.run(ctx, req)
                if answer is not None and not self._send(answer):
                    return
        finally:
            reader.close()
            cur.close()
            host.connection_closed()

    def _send(self, answer) -> bool:
        try:
            data = encode(answer)
        except Exception as exc:  # e.g. an answer too large for a frame: the client must still hear back
            data = encode({"ok": False, "error": f"the answer cannot be sent: {exc}"})
        try:
            self.request.sendall(data)
            return True
        except OSError:
            return False


class _Mixin(socketserver.ThreadingMixIn):
    daemon_threads = True
    allow_reuse_address = True
    host: "Host"


class _UnixServer(_Mixin, socketserver.UnixStreamServer):
    pass


class _TCPServer(_Mixin, socketserver.TCPServer):
    pass


class Host:
    """A host serving one store on a Unix socket or on 127.0.0.1."""

    def __init__(self, store, out_dir, socket_path=None, port=None, log_path=None, options=None):
        self.store = str(store)
        if not Path(self.store).exists():
            raise FileNotFoundError(f"store not found: {self.store}")
        self.con = duckdb.connect(self.store, read_only=True)
        self._connections: dict[threading.Thread, socket.socket] = {}
        self._connections_lock = threading.Lock()
        self.out_dir = Path(out_dir)
        self.out_dir.mkdir(parents=True, exist_ok=True)
        self.options = options or C.HostOptions()
        self.cache: dict = {"store_info": read_store_info(self.con, self.store)}
        self.log = logging.getLogger(f"telvar.host.{id(self)}")
        self.log.setLevel(logging.INFO)
        self.log.propagate = False
        handler = logging.FileHandler(log_path, encoding="utf-8") if log_path else logging.StreamHandler()
        handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(message)s"))
        self.log.addHandler(handler)
        if socket_path is not None:
            if os.path.exists(socket_path):
                os.unlink(socket_path)
            self._server = _UnixServer(str(socket_path), _Handler)
            self.address = format_address("unix", str(socket_path))
        else:
            self._server = _TCPServer(("127.0.0.1", int(port or 0)), _Handler)
            self.address = format_address("tcp", self._server.server_address)
        self._server.host = self
        self._stop = threading.Event()
        self._serving = False

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
            answer = {"ok": True, "value": value}
        except C.CommandError as exc:
            self.log.info("%s refused: %s", name, exc)
            answer = {"ok": False, "error": f"{name}: {exc}"}
        except Exception as exc:  # a fault in a handler must not stop the host
            self.log.exception("%s failed", name)
            answer = {"ok": False, "error": f"{name}: internal error: {type(exc).__name__}: {exc}"}
        return answer if reply else None

    def serve_forever(self):
        info = self.cache["store_info"]
        self.log.info("serving %s on %s (store id %s, data version %s, from the %s)", self.store, self.address,
                      info["store_id"], info["data_version"], "meta table" if info["source"] == "meta" else "file")
        threading.Thread(target=self._janitor, name="telvar-host-janitor", daemon=True).start()
        self._serving = True
        self._server.serve_forever(poll_interval=0.2)

    def remove_old_answers(self, now: float | None = None) -> int:
        """Remove answer files older than ``options.keep_seconds``; returns how many."""
        limit = (now or time.time()) - self.options.keep_seconds
        removed = 0
        for p in self.out_dir.glob("*.mat"):
            try:
                if p.stat().st_mtime < limit:
                    p.unlink()
                    removed += 1
            except OSError:
                pass
        return removed

    def _janitor(self):
        while not self._stop.wait(min(60.0, self.options.keep_seconds)):
            self.remove_old_answers()

    def start_in_thread(self) -> threading.Thread:
        self._serving = True  # before the thread runs, so that an early shutdown() still stops it
        t = threading.Thread(target=self.serve_forever, name="telvar-host", daemon=True)
        t.start()
        return t

    def connection_opened(self, sock: socket.socket) -> None:
        with self._connections_lock:
            self._connections[threading.current_thread()] = sock

    def connection_closed(self) -> None:
        with self._connections_lock:
            self._connections.pop(threading.current_thread(), None)

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
            try:
                os.unlink(self.address[5:])
            except OSError:
                pass
        self._close_connections()
        try:
            self.con.close()
        except duckdb.Error as exc:  # a request that outlived the wait still holds its cursor
            self.log.warning("store closed while a request was running: %s", exc)
        for h in list(self.log.handlers):
            h.close()
            self.log.removeHandler(h)


def probe(address: str, timeout: float = 1.0) -> bool:
    """True when a host answers a ping at ``address``."""
    from .protocol import parse_address

    kind, where = parse_address(address)
    fam = socket.AF_UNIX if kind == "unix" else socket.AF_INET
    try:
        with socket.socket(fam, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.connect(where)
            s.sendall(encode({"cmd": "tvSendCmdPing", "args": [], "kwargs": {}}))
            ans = read_frame(s)
            return bool(ans and ans.get("ok"))
    except (OSError, ProtocolError):
        return False
