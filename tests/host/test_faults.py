import os
import socket
import struct
import threading
import time
from pathlib import Path

import pytest

from telvar.host import start_host
from telvar.kestrum import comm
from telvar.kestrum.comm import HostConnectionError, HostTimeoutError, TelvarSocket
from telvar.kestrum.utils.exceptions import TvReturnError

pytestmark = pytest.mark.host


@pytest.fixture
def debug_host(tmp_path):
    """An in-process host that serves the debug commands."""
    from telvar.host.commands import HostOptions
    from telvar.host.sample import sample_store_path
    from telvar.host.server import Host

    h = Host(sample_store_path(), tmp_path / "out", socket_path=str(tmp_path / "d.sock"),
             options=HostOptions(debug_commands=True))
    h.start_in_thread()
    yield h
    h.shutdown()


def test_slow_answer_past_the_time_out(debug_host):
    sock = TelvarSocket(debug_host.address, timeout=200)
    t0 = time.monotonic()
    with pytest.raises(HostTimeoutError, match=r"did not answer _tvDebugSleep within 200 ms"):
        sock.request("_tvDebugSleep", [1.0])
    assert time.monotonic() - t0 < 0.9
    sock.set_timeout(5000)
    assert sock.request("tvSendCmdPing") == "pong"  # the late answer is not mistaken for this one
    sock.close()


def test_host_killed_during_a_request(host):
    victim = start_host(debug_commands=True)
    sock = TelvarSocket(victim.address, timeout=30000)
    threading.Timer(0.3, victim.process.kill).start()
    t0 = time.monotonic()
    with pytest.raises(HostConnectionError, match=victim.address):
        sock.request("_tvDebugSleep", [20])
    assert time.monotonic() - t0 < 10
    with pytest.raises(HostConnectionError, match=victim.address):
        sock.request("tvSendCmdPing")
    victim.stop()
    comm.connect(host.address)
    assert comm.tvcmd.tvSendCmdGetCurTradeDate() == 20251231


def test_connect_to_a_host_that_is_down_names_the_address(tmp_path):
    address = f"unix:{tmp_path / 'nobody.sock'}"
    with pytest.raises(HostConnectionError, match=address):
        comm.connect(address)
    with pytest.raises(HostConnectionError, match="127.0.0.1:1"):
        comm.connect("tcp:127.0.0.1:1")


@pytest.mark.parametrize("frame", [
    struct.pack(">I", 9) + b"not json!",
    struct.pack(">I", 0xFFFFFFF0),
    struct.pack(">I", 2) + b"[]",
    struct.pack(">I", 30) + b'{"cmd": "tvSendCmdPing", "args": 5}'[:30],
])
def test_malformed_frames_get_an_error_and_the_host_keeps_serving(host, frame):
    kind_path = host.address[5:]
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(5)
        s.connect(kind_path)
        s.sendall(frame)
        head = s.recv(4)
        (n,) = struct.unpack(">I", head)
        body = b""
        while len(body) < n:
            body += s.recv(n - len(body))
    assert b'"ok": false' in body and (b"malformed" in body)
    sock = TelvarSocket(host.address)
    assert sock.request("tvSendCmdPing") == "pong"
    sock.close()


def test_unknown_command_and_debug_commands_on_a_normal_host(host):
    sock = TelvarSocket(host.address)
    with pytest.raises(TvReturnError, match="unknown command 'tvSendCmdFoo'"):
        sock.request("tvSendCmdFoo")
    with pytest.raises(TvReturnError, match="unknown command '_tvDebugSleep'"):
        sock.request("_tvDebugSleep", [0])
    assert sock.request("tvSendCmdPing") == "pong"
    sock.close()


def test_concurrent_clients_get_their_own_answers(host):
    errors, results = [], {}

    def client(k):
        try:
            sock = TelvarSocket(host.address)
            for _ in range(20):
                days = sock.request("tvSendCmdGetTradingDaysCondition", ["SSE", 20251001 + k, 20251031])
                assert days[0] >= 20251001 + k
            results[k] = sock.request("tvSendCmdGetCodeList", ["BANK", 20251103])
            sock.close()
        except Exception as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=client, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not errors
    assert len(results) == 4 and all(len(v) == 2 for v in results.values())


def test_time_out_setting_is_validated(host):
    sock = TelvarSocket(host.address)
    sock.set_timeout(90000)
    assert sock.get_timeout() == 90000
    for bad in (0, -1, "5", None, True):
        with pytest.raises(ValueError):
            sock.set_timeout(bad)
    assert sock.get_timeout() == 90000


def test_an_answer_that_cannot_be_sent_is_an_error_not_a_hang(debug_host, monkeypatch):
    from telvar.host import commands as C

    monkeypatch.setitem(C.REGISTRY, "_tvDebugUnsendable", lambda ctx: object())
    sock = TelvarSocket(debug_host.address, timeout=5000)
    with pytest.raises(TvReturnError, match="cannot be sent"):
        sock.request("_tvDebugUnsendable")
    assert sock.request("tvSendCmdPing") == "pong"
    sock.close()


def test_answer_files_stay_in_the_output_folder(tmp_path):
    from telvar.host.commands.writers import new_path

    p = new_path(tmp_path, "factor_../../etc/passwd")
    assert p.parent == tmp_path and "/" not in p.name


def test_tcp_host_on_the_loopback_interface(tmp_path):
    from telvar.host.sample import sample_store_path
    from telvar.host.server import Host

    h = Host(sample_store_path(), tmp_path / "out", port=0)
    h.start_in_thread()
    try:
        assert h.address.startswith("tcp:127.0.0.1:")
        sock = TelvarSocket(h.address, token=h.token)
        assert sock.request("tvSendCmdGetTradingDaysCondition", ["DCE", 20251229, 20251231]) == \
            [20251229.0, 20251230.0, 20251231.0]
        sock.close()
    finally:
        h.shutdown()


@pytest.mark.parametrize("text, parsed", [
    ("unix:/tmp/a.sock", ("unix", "/tmp/a.sock")),
    ("/tmp/a.sock", ("unix", "/tmp/a.sock")),
    ("tcp:127.0.0.1:5000", ("tcp", ("127.0.0.1", 5000))),
    ("127.0.0.1:5000", ("tcp", ("127.0.0.1", 5000))),
    (("127.0.0.1", 5000), ("tcp", ("127.0.0.1", 5000))),
])
def test_addresses(text, parsed):
    from telvar.wire.frames import parse_address

    assert parse_address(text) == parsed


def test_bad_address_is_rejected():
    from telvar.wire.frames import parse_address

    with pytest.raises(ValueError, match="not a host address"):
        parse_address("somewhere")


def test_an_interrupted_request_does_not_leave_its_answer_behind(debug_host, monkeypatch):
    import telvar.kestrum.comm as comm_mod

    sock = TelvarSocket(debug_host.address, timeout=5000)
    calls = {"n": 0}
    real = comm_mod.read_frame

    def interrupted(s):
        calls["n"] += 1
        if calls["n"] == 1:
            raise KeyboardInterrupt
        return real(s)

    monkeypatch.setattr(comm_mod, "read_frame", interrupted)
    with pytest.raises(KeyboardInterrupt):
        sock.request("tvSendCmdGetTradingDaysCondition", ["SSE", 20251229, 20251231])
    assert sock.request("tvSendCmdPing") == "pong"
    sock.close()


def test_a_host_stops_when_its_starter_dies(tmp_path):
    import subprocess
    import sys

    script = ("import sys, time; from telvar.host import start_host; h = start_host(); "
              "print(h.process.pid, h.workdir, flush=True); time.sleep(60)")
    starter = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    try:
        pid_text, workdir = starter.stdout.readline().split(maxsplit=1)
        host_pid, workdir = int(pid_text), Path(workdir.strip())
        assert workdir.is_dir()
        starter.kill()  # no clean-up runs in the starter
        starter.wait()
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                os.kill(host_pid, 0)
                with open(f"/proc/{host_pid}/stat") as fh:  # an exited but unreaped process counts as ended
                    if fh.read().split(")")[-1].split()[0] == "Z":
                        break
            except (ProcessLookupError, FileNotFoundError):
                break
            time.sleep(0.1)
        else:
            os.kill(host_pid, 9)
            pytest.fail("the host outlived its starter")
        assert not workdir.exists()  # the starter's working folder went with it
    finally:
        starter.stdout.close()


def test_shutdown_waits_for_requests_in_flight(tmp_path):
    # the store must not be closed under a request that is still running
    from telvar.host.commands import HostOptions
    from telvar.host.sample import sample_store_path
    from telvar.host.server import Host

    h = Host(sample_store_path(), tmp_path / "out", socket_path=str(tmp_path / "s.sock"),
             options=HostOptions(debug_commands=True))
    h.start_in_thread()
    sock = TelvarSocket(h.address, timeout=5000)
    outcome = {}

    def slow_request():
        try:
            outcome["answer"] = sock.request("_tvDebugSleep", [0.5])
        except Exception as exc:  # the host went away: any clear error will do
            outcome["error"] = exc

    client = threading.Thread(target=slow_request)
    client.start()
    deadline = time.monotonic() + 5
    while not h._connections and time.monotonic() < deadline:
        time.sleep(0.01)
    assert h._connections
    h.shutdown()
    assert not h._connections  # every handler finished before the store was closed
    client.join(5)
    assert not client.is_alive() and outcome
    sock.close()
