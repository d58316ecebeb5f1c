"""Wire format shared by the host and the channel.

A frame is a 4-byte big-endian length followed by that many bytes of UTF-8
JSON.  A request is ``{"cmd": name, "args": [...], "kwargs": {...},
"reply": bool}``; an answer is ``{"ok": true, "value": ...}`` or
``{"ok": false, "error": message}``.  Requests with ``reply`` false get no
answer.  JSON (not pickle) keeps a request from running code in the host.
"""
from __future__ import annotations

import json
import socket
import struct

import numpy as np

HEADER = struct.Struct(">I")
MAX_FRAME = 64 * 1024 * 1024


class ProtocolError(Exception):
    """A frame that cannot be read: bad length, truncated, not JSON."""


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


def recv_exact(sock: socket.socket, n: int) -> bytes | None:
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


def read_frame(sock: socket.socket):
    """The next decoded frame, or None at a clean end of stream."""
    return _read_frame(lambda n: recv_exact(sock, n))


def read_frame_buffered(reader):
    """``read_frame`` from a buffered binary file of the socket (one system call per small frame)."""
    def read(n):
        data = reader.read(n)
        if not data:
            return None
        if len(data) < n:
            raise ProtocolError(f"connection closed after {len(data)} of {n} bytes")
        return data
    return _read_frame(read)


def _read_frame(read):
    head = read(HEADER.size)
    if head is None:
        return None
    (n,) = HEADER.unpack(head)
    if n > MAX_FRAME:
        raise ProtocolError(f"frame length {n} exceeds the limit of {MAX_FRAME}")
    body = read(n) if n else b""
    if body is None:
        raise ProtocolError("connection closed inside a frame")
    try:
        return json.loads(body.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as exc:
        raise ProtocolError(f"frame is not UTF-8 JSON: {exc}") from None


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
