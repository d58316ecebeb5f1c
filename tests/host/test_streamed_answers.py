"""Large answers: the host tells a client of each part file as it is written, so the client's time-out
bounds each part and not the whole answer; clients that do not ask get one frame as before."""
import socket
import time

import numpy as np
import pytest

from telvar.host.commands import HostOptions, kdata
from telvar.kestrum.comm import HostTimeoutError, TelvarSocket
from telvar.kestrum.utils.utilfunc import load_mat
from telvar.wire.frames import Deadline, encode, parse_address, read_frame

pytestmark = pytest.mark.host
TARGETS = [{"Market": "SSE", "Code": c} for c in ("600000", "600519", "000300", "000001")]
ARGS = [TARGETS[:3] + [{"Market": "SZSE", "Code": "000001"}], "min", 20251013, 20251017, True, "NA"]
# one target's week of minutes is 7 x 1200 x 8 bytes: a part per target
PART_BYTES = 70_000


@pytest.fixture
def slow_parts(monkeypatch):
    """Each part takes 0.4 s to make: four parts take longer than a client's time-out of one second."""
    real = kdata.build

    def slow(*args, **kwargs):
        time.sleep(0.4)
        return real(*args, **kwargs)

    monkeypatch.setattr(kdata, "build", slow)


def _bars(path):
    main = load_mat(path)
    parts = str(main["FilePaths"].ravel()[0]).split("|") if "FilePaths" in main else []
    return np.concatenate([load_mat(p)["KArray"] for p in parts]) if parts else main["KArray"], len(parts)


def test_a_large_answer_arrives_part_by_part_within_the_time_out(make_host, slow_parts):
    h = make_host(options=HostOptions(part_bytes=PART_BYTES))
    sock = TelvarSocket(h.address, timeout=1000)
    started = time.monotonic()
    split, parts = _bars(sock.request("tvSendCmdGetKDataMulti", ARGS))
    assert time.monotonic() - started > 1.5 and parts == 4 and sock.parts_heard == 4
    whole = TelvarSocket(make_host(options=HostOptions()).address, timeout=10_000)
    expected, none = _bars(whole.request("tvSendCmdGetKDataMulti", ARGS))
    np.testing.assert_array_equal(split, expected)
    assert none == 0 and whole.parts_heard == 0
    sock.close()
    whole.close()


def test_a_client_that_does_not_stream_gets_one_frame(make_host, slow_parts):
    h = make_host(options=HostOptions(part_bytes=PART_BYTES))
    kind, where = parse_address(h.address)
    with socket.socket(socket.AF_UNIX if kind == "unix" else socket.AF_INET) as s:
        s.connect(where)
        s.sendall(encode({"cmd": "tvSendCmdGetKDataMulti", "args": ARGS, "kwargs": {}}))
        answer = read_frame(Deadline(s, 30.0))
        assert answer["ok"] and answer["value"].endswith(".mat") and "part" not in answer
        assert _bars(answer["value"])[1] == 4
    # a slow answer still times out as a whole when nothing is heard for longer than the time-out
    sock = TelvarSocket(h.address, timeout=300)
    with pytest.raises(HostTimeoutError):
        sock.request("tvSendCmdGetKDataMulti", ARGS)
    sock.close()


def test_an_answer_larger_than_the_folder_bound_is_kept_when_alone(make_host):
    h = make_host(options=HostOptions(max_output_bytes=100_000))
    sock = TelvarSocket(h.address, timeout=10_000)
    first = sock.request("tvSendCmdGetKDataMulti", ARGS)  # about 270 kB: over the bound, but alone
    assert _bars(first)[0].shape[0] == 4 * 7
    with pytest.raises(Exception, match="answer folder .* is full"):  # the first is recent and unread
        sock.request("tvSendCmdGetKDataMulti", ARGS)
    sock.close()
