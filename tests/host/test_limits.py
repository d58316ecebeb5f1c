"""Slow and hostile peers: a host that drips its answer or nests it without
end, and clients that hold connections, send huge or unfinished requests."""
import socket
import struct
import threading
import time

import pytest

from telvar.host.server.connection import Limits
from telvar.wire.frames import encode
from telvar.kestrum.comm import HostConnectionError, HostTimeoutError, TelvarSocket

pytestmark = pytest.mark.host


@pytest.fixture
def make_host(make_host, tmp_path):
    """Hosts with the given connection limits, each with a log file of its own."""
    logs = iter(range(1 << 20))

    def make(**limits):
        return make_host(log_path=tmp_path / f"l{next(logs)}.log", limits=Limits(**limits))

    return make


class FakeHost:
    """A listening Unix socket whose every connection is served by ``behave(conn)`` in a thread."""

    def __init__(self, path, behave):
        self.path = str(path)
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(self.path)
        self.listener.listen()
        self.behave = behave
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        with conn:
            conn.recv(1 << 16)  # the request
            try:
                self.behave(conn)
            except OSError:
                pass

    def close(self):
        self.listener.close()


def raw_connection(h, timeout=5.0):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.connect(h.address[5:])
    return s


def read_all(s, limit=1 << 16):
    """Everything the host sends until it closes the connection (a close with our data unread resets it)."""
    data = b""
    while True:
        try:
            chunk = s.recv(limit)
        except ConnectionResetError:
            return data
        if not chunk:
            return data
        data += chunk


def ping(s):
    s.sendall(encode({"cmd": "tvSendCmdPing", "args": [], "kwargs": {}}))
    head = s.recv(4)
    return s.recv(struct.unpack(">I", head)[0])


# ------------------------------------------------------------------ the client
def test_a_dripping_host_cannot_stretch_the_time_out(tmp_path):
    frame = encode({"ok": True, "value": "x" * 100})

    def drip(conn):  # a byte every 0.5 s: no single receive ever waits the 2 s time-out
        stop = time.monotonic() + 10
        for byte in frame:
            if time.monotonic() > stop:
                return
            conn.sendall(bytes([byte]))
            time.sleep(0.5)

    fake = FakeHost(tmp_path / "drip.sock", drip)
    sock = TelvarSocket(f"unix:{fake.path}", timeout=2000)
    t0 = time.monotonic()
    with pytest.raises(HostTimeoutError, match="did not answer tvSendCmdPing within 2000 ms"):
        sock.request("tvSendCmdPing")
    assert time.monotonic() - t0 < 2.8
    fake.close()


def test_a_deeply_nested_answer_is_a_protocol_error(tmp_path):
    body = b"[" * 100_000 + b"]" * 100_000
    fake = FakeHost(tmp_path / "deep.sock", lambda conn: conn.sendall(struct.pack(">I", len(body)) + body))
    sock = TelvarSocket(f"unix:{fake.path}", timeout=5000)
    with pytest.raises(HostConnectionError, match="unreadable answer to tvSendCmdPing: frame nests 100000 levels"):
        sock.request("tvSendCmdPing")
    fake.close()


# ------------------------------------------------------------------ the host
def test_a_deeply_nested_request_is_refused_and_the_host_keeps_serving(make_host):
    h = make_host()
    body = b'{"cmd": "tvSendCmdPing", "args": ' + b"[" * 100_000 + b"]" * 100_000 + b"}"
    with raw_connection(h) as s:
        s.sendall(struct.pack(">I", len(body)) + body)
        answer = read_all(s)
    assert b'"ok": false' in answer and b"nests 100001 levels" in answer
    with raw_connection(h) as s:
        assert b"pong" in ping(s)


def test_connections_past_the_cap_are_refused_and_threads_stay_bounded(make_host):
    h = make_host(max_connections=3)
    while "telvar-host-janitor" not in [t.name for t in threading.enumerate()]:
        time.sleep(0.01)  # the host's own threads are all running
    threads_before = threading.active_count()
    held = [raw_connection(h) for _ in range(3)]
    for s in held:
        assert b"pong" in ping(s)
    extra = [raw_connection(h) for _ in range(30)]
    for s in extra:
        assert b"limit of 3 connections" in read_all(s)  # told why, then closed
        s.close()
    assert threading.active_count() - threads_before <= 3
    sock = TelvarSocket(h.address)
    with pytest.raises(HostConnectionError, match="refused the connection: .*limit of 3 connections"):
        sock.request("tvSendCmdPing")
    held.pop().close()
    deadline = time.monotonic() + 5
    while True:  # the place is free again once the host has seen the close
        try:
            assert sock.request("tvSendCmdPing") == "pong"
            break
        except HostConnectionError:
            assert time.monotonic() < deadline
            time.sleep(0.05)
    sock.close()
    for s in held:
        s.close()
    with open(h.log.handlers[0].baseFilename, encoding="utf-8") as log:
        assert "already serving the limit of 3 connections" in log.read()


def test_a_large_request_frame_is_refused_before_it_is_read(make_host):
    h = make_host()
    with raw_connection(h) as s:
        s.sendall(struct.pack(">I", 60 * 1024 * 1024) + b"x" * 65536)  # the rest never comes
        answer = read_all(s)
    assert b"exceeds the host's limit of 2097152 bytes" in answer
    sock = TelvarSocket(h.address)
    with pytest.raises(HostConnectionError, match="exceeds the host's limit"):
        sock.request("tvSendCmdPutLog", ["t", "x" * (3 * 1024 * 1024)])
    assert sock.request("tvSendCmdPing") == "pong"
    sock.close()


def test_a_client_that_stops_mid_request_is_dropped_after_the_read_time_out(make_host):
    h = make_host(read_timeout=0.5)
    with raw_connection(h) as s:
        s.sendall(struct.pack(">I", 100) + b'{"cmd": ')
        t0 = time.monotonic()
        answer = read_all(s)
        waited = time.monotonic() - t0
    assert b"request incomplete after 0.5 s" in answer and 0.3 < waited < 2.0


def test_idle_connections_are_closed_and_the_channel_reconnects(make_host):
    h = make_host(idle_timeout=0.3)
    sock = TelvarSocket(h.address)
    assert sock.request("tvSendCmdPing") == "pong"
    first = sock._sock
    time.sleep(0.8)
    assert sock.request("tvSendCmdPing") == "pong"  # no error for the user: a new connection
    assert sock._sock is not first
    sock.close()
    with raw_connection(h) as s:  # a connection that never sends anything is closed too
        t0 = time.monotonic()
        assert read_all(s) == b"" and time.monotonic() - t0 < 2.0


def test_a_tcp_connection_must_present_its_token_within_the_read_time_out(tmp_path):
    from telvar.host.sample import sample_store_path
    from telvar.host.server import Host

    h = Host(sample_store_path(), tmp_path / "out", port=0, limits=Limits(read_timeout=0.3, idle_timeout=None))
    h.start_in_thread()
    try:
        port = int(h.address.rsplit(":", 1)[1])
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            t0 = time.monotonic()
            assert b"requires a token within 0.3 s" in read_all(s) and time.monotonic() - t0 < 2.0
    finally:
        h.shutdown()
