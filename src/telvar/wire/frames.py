"""Frames and addresses: the wire format of the host and its clients.

A frame is a 4-byte big-endian length followed by that many bytes of UTF-8
JSON.  A request is ``{"cmd": name, "args": [...], "kwargs": {...},
"reply": bool}``; the first request on a connection to a host that requires a
token also carries ``"token": text``.  An answer is ``{"ok": true, "value":
...}`` or ``{"ok": false, "error": message}``; a host that turns a connection
away answers ``{"ok": false, "refused": true, "error": message}`` and closes
it.  Requests with ``reply`` false get no answer.  A request with ``"stream":
true`` may get frames ``{"ok": true, "part": path}`` before its answer, one
for each part file of the answer as the host writes it; a client's time-out
then bounds each frame, so a large answer is not late only because it is
large (a host that does not stream sends the answer frame alone, and a
client that does not ask is sent nothing else).  JSON (not pickle) keeps a
request from running code in the host.

Limits: an answer frame holds at most ``MAX_FRAME`` bytes, a request frame at
most ``MAX_REQUEST`` unless the host was started with another limit, and
neither nests arrays and objects deeper than ``MAX_DEPTH``.
"""
from __future__ import annotations

import json
import re
import socket
import struct
import time

import numpy as np

HEADER = struct.Struct(">I")
MAX_FRAME = 64 * 1024 * 1024
# requests name a command and its arguments (targets, dates); bulk data travel as files
MAX_REQUEST = 2 * 1024 * 1024
# the deepest request or answer the commands use nests four or five levels
MAX_DEPTH = 64


class ProtocolError(Exception):
    """A frame that cannot be read: bad length, truncated, not JSON, nested too deeply."""


def _default(o):
    if isinstance(o, np.generic):
        return o.item()
    if isinstance(o, np.ndarray):
        return o.tolist()
    if isinstance(o, (set, frozenset)):
        return sorted(o)
    if isinstance(o, bytes):
        return o.decode("utf-8", "replace")
    raise TypeError(f"cannot send a value of type {type(o).__name__} to the host")


def encode(obj) -> bytes:
    body = json.dumps(obj, default=_default, ensure_ascii=False).encode("utf-8")
    if len(body) > MAX_FRAME:
        raise ProtocolError(f"frame of {len(body)} bytes exceeds the limit of {MAX_FRAME}")
    return HEADER.pack(len(body)) + body


_JSON_STRING = re.compile(rb'"[^"\\]*(?:\\.[^"\\]*)*"', re.S)
_DEPTH_CHUNK = 1 << 20


def _nesting_depth(body: bytes) -> int:
    """How deeply the arrays and objects of a JSON text nest (strings skipped)."""
    text = _JSON_STRING.sub(b"", body)
    deepest, level = 0, 0
    for start in range(0, len(text), _DEPTH_CHUNK):
        chunk = np.frombuffer(text, np.uint8, min(_DEPTH_CHUNK, len(text) - start), start)
        step = (chunk == ord("[")).astype(np.int32) + (chunk == ord("{"))
        step -= (chunk == ord("]")).astype(np.int32) + (chunk == ord("}"))
        levels = np.cumsum(step) + level
        if levels.size:
            deepest = max(deepest, int(levels.max()))
            level = int(levels[-1])
    return deepest


def decode(body: bytes, max_depth: int = MAX_DEPTH):
    """The value of a frame's body; ``ProtocolError`` for anything but UTF-8 JSON nested at most ``max_depth``."""
    # a body with fewer brackets than the limit cannot nest deeper: no scan
    if body.count(b"[") + body.count(b"{") > max_depth:
        depth = _nesting_depth(body)
        if depth > max_depth:
            raise ProtocolError(f"frame nests {depth} levels deep, more than the limit of {max_depth}")
    try:
        return json.loads(body.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as exc:
        raise ProtocolError(f"frame is not UTF-8 JSON: {exc}") from None
    except RecursionError:
        raise ProtocolError("frame nests too deeply") from None


class Deadline:
    """A socket's ``recv`` bounded by one deadline for a whole frame, not each receive:
    a peer that sends one byte now and then cannot stretch a time-out."""

    def __init__(self, sock: socket.socket, seconds: float):
        self.sock = sock
        self.at = time.monotonic() + seconds

    def left(self) -> float:
        left = self.at - time.monotonic()
        if left <= 0:
            raise socket.timeout("timed out")
        return left

    def recv(self, n: int) -> bytes:
        self.sock.settimeout(self.left())
        return self.sock.recv(n)


def recv_exact(sock, n: int) -> bytes | None:
    """``n`` bytes, or None when the peer closed the connection before the first byte."""
    buf = bytearray()
    while len(buf) < n:
        chunk = sock.recv(min(n - len(buf), 1 << 20))
        if not chunk:
            if not buf:
                return None
            raise ProtocolError(f"connection closed after {len(buf)} of {n} bytes")
        buf += chunk
    return bytes(buf)


def read_frame(sock, limit: int = MAX_FRAME):
    """The next decoded frame, or None at a clean end of stream.

    ``sock`` is a socket or a ``Deadline`` around one.
    """
    head = recv_exact(sock, HEADER.size)
    if head is None:
        return None
    (n,) = HEADER.unpack(head)
    if n > limit:
        raise ProtocolError(f"frame length {n} exceeds the limit of {limit}")
    body = recv_exact(sock, n) if n else b""
    if body is None:
        raise ProtocolError("connection closed inside a frame")
    return decode(body)


def parse_address(address):
    """('unix', path) or ('tcp', (host, port)) from 'unix:PATH', 'tcp:HOST:PORT', 'HOST:PORT', a path or a tuple."""
    if isinstance(address, tuple) and len(address) == 2:
        return "tcp", (str(address[0]), int(address[1]))
    a = str(address)
    if a.startswith("unix:"):
        return "unix", a[5:]
    if a.startswith("tcp:"):
        a = a[4:]
    elif "/" in a:
        return "unix", a
    host, sep, port = a.rpartition(":")
    if not sep or not port.isdigit():
        raise ValueError(f"not a host address: {address!r} (expected 'unix:PATH' or 'tcp:127.0.0.1:PORT')")
    return "tcp", (host or "127.0.0.1", int(port))


def format_address(kind: str, where) -> str:
    return f"unix:{where}" if kind == "unix" else f"tcp:{where[0]}:{where[1]}"


def probe(address: str, timeout: float = 1.0, token: str | None = None) -> bool:
    """True when a host answers a ping at ``address`` (presenting ``token``)."""
    kind, where = parse_address(address)
    fam = socket.AF_UNIX if kind == "unix" else socket.AF_INET
    request = {"cmd": "tvSendCmdPing", "args": [], "kwargs": {}}
    if token is not None:
        request["token"] = token
    try:
        with socket.socket(fam, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.connect(where)
            s.sendall(encode(request))
            ans = read_frame(Deadline(s, timeout))
            return bool(ans and ans.get("ok"))
    except (OSError, ProtocolError):
        return False
