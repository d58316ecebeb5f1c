"""One client connection of the host: limits, the token check, and the request loop.

A request that carries ``"stream": true`` gets a frame ``{"ok": true,
"part": path}`` for each part file of its answer as the file is written,
before its answer frame. A request that has begun to arrive must arrive whole within the read
time-out; between requests a connection may stay idle for the idle time-out
(a strategy process keeps one connection open for its whole run; its channel
reconnects by itself after the host closed an idle one).  Request frames are
limited in size (requests are small: bulk data travel as files), and the
host serves at most ``max_connections`` connections at once; past that it
answers with a refusal and closes.  On a host with a token, the first
request must carry it, and arrive within the read time-out.
"""
from __future__ import annotations

import socket
import socketserver
import time
from dataclasses import dataclass

from telvar.wire.frames import HEADER, MAX_REQUEST, ProtocolError, decode, encode
from telvar.wire.tokens import tokens_match

from .listen import bind_owner_only, peer_is_trusted


@dataclass
class Limits:
    max_connections: int = 64
    read_timeout: float = 30.0  # seconds for a whole request once its first byte has arrived
    idle_timeout: float | None = 900.0  # seconds between requests; None: no limit
    max_request_bytes: int = MAX_REQUEST


class IdleTimeout(Exception):
    """No request began within the idle time-out."""


class RequestTimeout(Exception):
    """A request began but did not arrive whole within the read time-out."""


class RequestReader:
    """Request frames from one connection, within the limits; memory is bounded by the frame limit."""

    def __init__(self, sock: socket.socket, limit: int):
        self.sock = sock
        self.limit = limit
        self.buf = bytearray()

    def _recv(self, n: int, deadline: float) -> None:
        left = deadline - time.monotonic()
        if left <= 0:
            raise RequestTimeout
        self.sock.settimeout(left)
        try:
            chunk = self.sock.recv(n)
        except socket.timeout:
            raise RequestTimeout from None
        if not chunk:
            raise ProtocolError(f"connection closed inside a request ({len(self.buf)} bytes of it received)")
        self.buf += chunk

    def next(self, idle_timeout: float | None, read_timeout: float):
        """The next request, or None when the client closed the connection between requests."""
        if not self.buf:
            self.sock.settimeout(idle_timeout)
            try:
                chunk = self.sock.recv(1 << 16)
            except socket.timeout:
                raise IdleTimeout from None
            if not chunk:
                return None
            self.buf += chunk
        deadline = time.monotonic() + read_timeout
        while len(self.buf) < HEADER.size:
            self._recv(HEADER.size - len(self.buf), deadline)
        (n,) = HEADER.unpack_from(self.buf)
        if n > self.limit:
            raise ProtocolError(f"request frame of {n} bytes exceeds the host's limit of {self.limit} bytes")
        end = HEADER.size + n
        while len(self.buf) < end:
            self._recv(min(end - len(self.buf), 1 << 20), deadline)
        body = bytes(self.buf[HEADER.size:end])
        del self.buf[:end]
        return decode(body)


def _describe(peer) -> str:
    if isinstance(peer, tuple) and len(peer) >= 2:
        return f"{peer[0]}:{peer[1]}"
    return "a local process"


def send_refusal(sock: socket.socket, message: str) -> None:
    try:
        sock.settimeout(1.0)
        sock.sendall(encode({"ok": False, "refused": True, "error": message}))
    except OSError:
        pass


class Connection:
    """Serves the requests of one connection until it closes or breaks a limit."""

    def __init__(self, host, sock: socket.socket, peer):
        self.host = host
        self.sock = sock
        self.peer = _describe(peer)
        self.limits: Limits = host.limits
        self.authenticated = host.token is None

    def serve(self, ctx) -> None:
        host, log = self.host, self.host.log
        if host.address.startswith("unix:"):
            trusted, uid = peer_is_trusted(self.sock)
            if not trusted:
                log.warning("refused a connection from user id %s: the host serves its own user only", uid)
                send_refusal(self.sock, "the host serves only the user who started it")
                return
        reader = RequestReader(self.sock, self.limits.max_request_bytes)
        while True:
            # before the token, a connection gets no longer than a request takes to arrive
            idle = self.limits.idle_timeout if self.authenticated else self.limits.read_timeout
            try:
                req = reader.next(idle, self.limits.read_timeout)
            except IdleTimeout:
                if not self.authenticated:
                    log.warning("closed a connection from %s: no token within %s s", self.peer, idle)
                    send_refusal(self.sock, f"the host requires a token within {idle} s")
                else:
                    log.info("closed a connection from %s idle for %s s", self.peer, idle)
                return
            except RequestTimeout:
                log.warning("closed a connection from %s: a request did not arrive whole within %s s",
                            self.peer, self.limits.read_timeout)
                self._send({"ok": False, "error": f"request incomplete after {self.limits.read_timeout} s"})
                return
            except ProtocolError as exc:
                log.warning("malformed frame from %s: %s", self.peer, exc)
                self._send({"ok": False, "error": f"malformed frame: {exc}"})
                return
            except OSError:
                return
            if req is None:
                return
            if not self.authenticated and not self._check_token(req):
                return
            # a client that asks for it hears of each part file as it is written (its time-out then
            # bounds each part, not the whole answer); others get the one answer frame only
            streams = isinstance(req, dict) and req.get("stream") is True and req.get("reply", True) is not False
            ctx.report_part = (lambda path: self._send({"ok": True, "part": path})) if streams else None
            try:
                answer = host.run(ctx, req)
            finally:
                ctx.report_part = None
            if answer is not None and not self._send(answer):
                return

    def _check_token(self, req) -> bool:
        given = req.get("token") if isinstance(req, dict) else None
        if tokens_match(given, self.host.token):
            self.authenticated = True
            return True
        reason = "no token" if given is None else "a wrong token"
        self.host.log.warning("refused a connection from %s: %s", self.peer, reason)
        send_refusal(self.sock, f"the host requires its token and the request carried {reason} (a client "
                                f"finds it in the host's token file; see telvar.wire.tokens)")
        return False

    def _send(self, answer) -> bool:
        try:
            data = encode(answer)
        except Exception as exc:  # e.g. an answer too large for a frame: the client must still hear back
            data = encode({"ok": False, "error": f"the answer cannot be sent: {exc}"})
        try:
            self.sock.settimeout(self.limits.idle_timeout)  # a client that never reads cannot hold the thread
            self.sock.sendall(data)
            return True
        except OSError:
            return False


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        self.server.host.serve_connection(self.request, self.client_address)


class CappedThreadingMixIn(socketserver.ThreadingMixIn):
    """A thread per connection, at most ``host.limits.max_connections`` of them."""

    daemon_threads = True
    block_on_close = False  # the host ends its connections itself (Host.shutdown)
    allow_reuse_address = True
    request_queue_size = 64
    host = None

    def process_request(self, request, client_address):
        host = self.host
        if not host.reserve_connection():
            cap = host.limits.max_connections
            host.log.warning("refused a connection from %s: already serving the limit of %d connections",
                             _describe(client_address), cap)
            send_refusal(request, f"the host is serving its limit of {cap} connections; try again later")
            self.shutdown_request(request)
            return
        try:
            super().process_request(request, client_address)
        except BaseException:  # no thread could start: the place is free again
            host.release_connection()
            raise

    def process_request_thread(self, request, client_address):
        try:
            super().process_request_thread(request, client_address)
        finally:
            self.host.release_connection()


class UnixServer(CappedThreadingMixIn, socketserver.UnixStreamServer):
    def server_bind(self):
        bind_owner_only(self.socket, self.server_address)


class TCPServer(CappedThreadingMixIn, socketserver.TCPServer):
    pass
