"""The host respects the user's files and serves only its own user: the socket
path it claims, the answer folder it sweeps, the socket's permissions, the
TCP token, the log, and the sample store's place."""
import json
import os
import socket
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest

from telvar.host.server import Host
from telvar.kestrum import comm
from telvar.kestrum.comm import HostConnectionError, TelvarSocket

pytestmark = pytest.mark.host

HOUR = 3600.0


def age(path, seconds):
    t = time.time() - seconds
    os.utime(path, (t, t))


def serve_cli(*args, env=None, timeout=20):
    """Run ``python -m telvar.host serve`` until it fails or prints that it serves; (process, first line)."""
    full_env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), **(env or {}))
    proc = subprocess.Popen([sys.executable, "-m", "telvar.host", "serve", *args], stderr=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, text=True, env=full_env)
    line = proc.stderr.readline()
    return proc, line


def stop_cli(proc):
    proc.terminate()
    proc.wait(10)
    proc.stderr.close()


# ------------------------------------------------------------------ the socket path
class TestSocketPath:
    def test_the_command_line_refuses_a_regular_file_and_leaves_it(self, tmp_path):
        victim = tmp_path / "notes.txt"
        victim.write_text("my notes")
        proc, line = serve_cli("--socket", str(victim), "--output", str(tmp_path / "out"))
        assert proc.wait(20) == 2
        proc.stderr.close()
        assert str(victim) in line and "regular file" in line
        assert victim.read_text() == "my notes"

    def test_a_folder_and_a_live_socket_are_refused_and_left(self, tmp_path, make_host):
        from telvar.host.server.listen import SocketPathError

        folder = tmp_path / "data"
        (folder / "inner").mkdir(parents=True)
        with pytest.raises(SocketPathError, match=f"{folder}.*folder"):
            make_host(socket_path=str(folder))
        assert (folder / "inner").is_dir()

        live_path = tmp_path / "live.sock"
        live = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        live.bind(str(live_path))
        live.listen()
        try:
            with pytest.raises(SocketPathError, match=f"{live_path}.*live socket"):
                make_host(socket_path=str(live_path))
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as still:
                still.connect(str(live_path))  # the other program still listens there
        finally:
            live.close()

    def test_a_stale_socket_is_replaced(self, tmp_path, make_host):
        stale_path = tmp_path / "stale.sock"
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.bind(str(stale_path))
        s.close()  # the file stays; nobody answers on it
        h = make_host(socket_path=str(stale_path))
        sock = TelvarSocket(h.address)
        assert sock.request("tvSendCmdPing") == "pong"
        sock.close()

    def test_the_socket_is_owner_only_whatever_the_umask(self, tmp_path, make_host):
        old = os.umask(0)
        try:
            h = make_host(socket_path=str(tmp_path / "new-folder" / "h.sock"))
            probe = tmp_path / "umask-probe"
            probe.touch()
        finally:
            os.umask(old)
        assert stat.S_IMODE(probe.stat().st_mode) == 0o666  # the umask really was open
        assert stat.S_IMODE(os.stat(h.address[5:]).st_mode) == 0o600
        assert stat.S_IMODE((tmp_path / "new-folder").stat().st_mode) == 0o700
        assert stat.S_IMODE(h.out_dir.stat().st_mode) == 0o700
        assert [p.name for p in (tmp_path / "new-folder").iterdir()] == ["h.sock"]  # no binding leftovers

    @pytest.mark.skipif(os.getuid() != 0, reason="needs root to act as a second user")
    def test_another_user_is_refused_even_on_an_open_socket(self, tmp_path, make_host):
        import shutil
        import tempfile

        shared = Path(tempfile.mkdtemp(prefix="telvar-test-"))  # a folder the other user can reach
        os.chmod(shared, 0o755)
        try:
            self._second_user_connects(make_host(socket_path=str(shared / "h.sock"),
                                                 log_path=tmp_path / "host.log"), tmp_path / "host.log")
        finally:
            shutil.rmtree(shared, ignore_errors=True)

    @staticmethod
    def _second_user_connects(h, log):
        os.chmod(h.address[5:], 0o666)  # as if the permissions had been loosened
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:  # the second user
            try:
                os.setuid(65534)
                s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                s.settimeout(5)
                s.connect(h.address[5:])
                from telvar.wire.frames import encode, read_frame

                try:
                    s.sendall(encode({"cmd": "tvSendCmdPing", "args": [], "kwargs": {}}))
                except BrokenPipeError:  # turned away before the request was sent
                    pass
                os.write(write_end, json.dumps(read_frame(s)).encode())
            except BaseException as exc:  # reported to the parent
                os.write(write_end, json.dumps({"exception": repr(exc)}).encode())
            finally:
                os._exit(0)
        os.close(write_end)
        os.waitpid(pid, 0)
        answer = json.loads(os.read(read_end, 65536))
        os.close(read_end)
        assert answer.get("refused") is True and "only the user who started it" in answer["error"]
        assert "user id 65534" in log.read_text()


# ------------------------------------------------------------------ the answer folder
def host_name(stem, k, part=None):
    return f"{stem}_{k:012x}" + (f"_part{part}" if part else "") + ".mat"


class TestAnswerFolder:
    def test_only_the_hosts_own_old_files_are_swept(self, tmp_path, make_host):
        out = tmp_path / "out"
        out.mkdir()
        users = [out / "results.mat", out / host_name("kdata", 1)]  # one even looks like an answer
        for p in users:
            p.write_bytes(b"user data")
            age(p, 2 * HOUR)
        h = make_host()
        old = [h.out_dir / host_name("kdata", 2), h.out_dir / host_name("kdata", 2, part=1),
               h.out_dir / f".{host_name('tick', 3)}.{'ab' * 16}.tmp"]  # a killed writer's temporary
        new = [h.out_dir / host_name("kdata", 4), h.out_dir / f".{host_name('tick', 5)}.{'cd' * 16}.tmp"]
        mine_inside = h.out_dir / "copied-here.mat"
        for p in old + new + [mine_inside]:
            p.write_bytes(b"x")
        for p in old + [mine_inside]:
            age(p, 2 * HOUR)
        assert h.remove_old_answers() == 3
        assert [p.exists() for p in old] == [False] * 3
        assert all(p.exists() for p in new + users + [mine_inside])
        assert users[0].read_bytes() == b"user data"

    def test_the_atomic_writers_leftovers_are_swept_by_age(self, make_host):
        h = make_host()
        old, young = h.out_dir / ".telvar-tmp-ab12cd_3.mat", h.out_dir / ".telvar-tmp-zz99yy00.mat"
        look_alike = h.out_dir / ".telvar-tmp-ab12cd_3.mat.bak"  # not a name the writer gives
        for p in (old, young, look_alike):
            p.write_bytes(b"half a file")
        for p in (old, look_alike):
            age(p, 2 * HOUR)
        assert h.remove_old_answers() == 1
        assert [old.exists(), young.exists(), look_alike.exists()] == [False, True, True]

    def test_the_size_bound_removes_the_oldest_answers_first(self, tmp_path, make_host):
        from telvar.host.commands import HostOptions

        h = make_host(options=HostOptions(max_output_bytes=2500))
        files = [h.out_dir / host_name("kdata", k) for k in range(4)]
        for k, p in enumerate(files):
            p.write_bytes(b"x" * 1000)
            age(p, 600 - 60 * k)  # files[0] is the oldest
        assert h.remove_old_answers() == 2
        assert [p.exists() for p in files] == [False, False, True, True]

    def test_recent_answers_are_kept_and_a_new_one_past_the_bound_is_refused(self, tmp_path, make_host):
        from telvar.host.commands import HostOptions
        from telvar.kestrum.utils.exceptions import TvReturnError

        h = make_host(options=HostOptions(max_output_bytes=20000))
        recent = h.out_dir / host_name("kdata", 7)
        recent.write_bytes(b"x" * 19000)  # a client may be about to read it
        h.remove_old_answers()  # the sweeper's round notices it
        sock = TelvarSocket(h.address)
        with pytest.raises(TvReturnError, match="answer folder .* is full"):
            sock.request("tvSendCmdGetTradingTime", [[{"Market": "SSE", "Code": "600000"}], "min",
                                                     20251103, 20251107])
        assert [p.name for p in h.out_dir.iterdir() if p.suffix == ".mat"] == [recent.name]
        recent.unlink()  # read by its client
        path = sock.request("tvSendCmdGetTradingTime", [[{"Market": "SSE", "Code": "600000"}], "min",
                                                        20251103, 20251103])
        assert Path(path).parent == h.out_dir and Path(path).exists()
        sock.close()

    def test_hosts_sharing_an_output_folder_keep_out_of_each_others_files(self, tmp_path, make_host):
        a, b = make_host(), make_host()
        assert a.out_dir != b.out_dir and a.out_dir.parent == b.out_dir.parent
        theirs = b.out_dir / host_name("kdata", 9)
        theirs.write_bytes(b"x")
        age(theirs, 2 * HOUR)
        a.remove_old_answers()
        assert theirs.exists()  # b is alive: its folder is its own to sweep

        # a host killed before it could clean up leaves a folder whose lock nobody holds
        dead = tmp_path / "out" / "telvar-answers-dead0001"
        dead.mkdir()
        (dead / ".host.lock").touch()
        stale = dead / host_name("kdata", 10)
        stale.write_bytes(b"x")
        for p in (stale, dead / ".host.lock"):
            age(p, 2 * HOUR)
        assert a.remove_old_answers() == 1
        assert not dead.exists()

    def test_shutdown_removes_the_answer_folder_but_not_the_users_files(self, tmp_path):
        from telvar.host.sample import sample_store_path

        out = tmp_path / "out"
        out.mkdir()
        (out / "mine.mat").write_bytes(b"keep")
        h = Host(sample_store_path(), out, socket_path=str(tmp_path / "s.sock"))
        (h.out_dir / host_name("kdata", 11)).write_bytes(b"x")
        h.shutdown()
        assert sorted(p.name for p in out.iterdir()) == ["mine.mat"]
        assert not (tmp_path / "s.sock").exists()


class TestReadOnce:
    """A reader of the framework removes the host's answer once it has read it."""

    @pytest.fixture
    def history(self):
        from telvar.api.history import _history

        return _history

    @pytest.fixture
    def answered(self, history, connected_host, monkeypatch):
        """The paths the host answers during the test."""
        paths = []
        real = comm.tvcmd

        class Recording:
            def __getattr__(self, name):
                def send(*args, **kwargs):
                    value = getattr(real, name)(*args, **kwargs)
                    paths.extend(v for v in (value if isinstance(value, list) else [value])
                                 if isinstance(v, str) and v.endswith(".mat"))
                    return value
                return send

        monkeypatch.setattr(history, "tvcmd", Recording())
        return paths

    def test_answers_for_past_periods_are_removed_after_reading(self, history, answered, connected_host):
        rb = {"Market": "SHFE", "Code": "RB0000"}
        times, _ = history.get_trading_time([rb], "min", 20251103, 20251104)
        result = history.get_k_data_multi(dict(targets=[rb], frequency="min", freq_num=1, begin_date=20251103,
                                               end_date=20251104, filled_up=True, fq_type="NA",
                                               need_show_ui_tip=False))
        per_target = history.get_k_data_independent_target([rb], "min", 1, 20251103, 20251104, True, "NA")
        assert len(times) == 690 and result["KArray"].size and len(per_target) == 1
        assert len(answered) == 3 and all(Path(p).parent == connected_host.output_dir for p in answered)
        assert not [p for p in answered if os.path.exists(p)]

    def test_only_answers_of_the_attached_host_are_removed(self, connected_host, tmp_path):
        from telvar.kestrum.ufuncs import release_host_answer

        elsewhere = tmp_path / host_name("kdata", 12)
        elsewhere.write_bytes(b"x")
        odd_name = connected_host.output_dir / "report.mat"
        odd_name.write_bytes(b"x")
        try:
            assert not release_host_answer(str(elsewhere)) and elsewhere.exists()
            assert not release_host_answer(str(odd_name)) and odd_name.exists()
            mine = connected_host.output_dir / host_name("kdata", 13)
            part = connected_host.output_dir / host_name("kdata", 13, part=1)
            for p in (mine, part):
                p.write_bytes(b"x")
            assert release_host_answer(str(mine)) and not mine.exists() and not part.exists()
        finally:
            odd_name.unlink()


# ------------------------------------------------------------------ tokens
class TestToken:
    def test_tcp_requests_need_the_token(self, tmp_path, make_host, monkeypatch):
        monkeypatch.setenv("XDG_RUNTIME_DIR", str(tmp_path))  # where no token file is
        monkeypatch.delenv("TELVAR_HOST_TOKEN_FILE", raising=False)
        log = tmp_path / "host.log"
        h = make_host(port=0, log_path=log)
        for token, reason in ((None, "no token"), ("0" * 64, "a wrong token")):
            sock = TelvarSocket(h.address, token=token)
            with pytest.raises(HostConnectionError, match=f"refused the connection: .*carried {reason}"):
                sock.request("tvSendCmdPing")
            sock.close()
        sock = TelvarSocket(h.address, token=h.token)
        assert sock.request("tvSendCmdPing") == "pong"
        sock.close()
        text = log.read_text()
        assert "no token" in text and "a wrong token" in text and h.token not in text

    def test_a_command_line_host_leaves_its_token_for_the_same_user(self, tmp_path, monkeypatch):
        runtime = tmp_path / "run"
        runtime.mkdir(mode=0o700)
        monkeypatch.setenv("XDG_RUNTIME_DIR", str(runtime))
        ready = tmp_path / "ready.json"
        proc, line = serve_cli("--port", "0", "--output", str(tmp_path / "out"), "--ready-file", str(ready),
                               env={"XDG_RUNTIME_DIR": str(runtime)})
        try:
            assert "serving" in line, line
            address = json.loads(ready.read_text())["address"]
            token_file = runtime / "telvar" / f"host-127.0.0.1-{address.rsplit(':', 1)[1]}.token"
            assert stat.S_IMODE(token_file.stat().st_mode) == 0o600
            sock = TelvarSocket(address)  # finds the token on its own
            assert sock.request("tvSendCmdPing") == "pong"
            sock.close()
        finally:
            stop_cli(proc)
        assert not token_file.exists()

    def test_a_token_file_open_to_others_is_refused(self, tmp_path):
        from telvar.wire.tokens import TokenFileError, read_token, write_token

        path = write_token(tmp_path / "t", "abc")
        assert read_token(path) == "abc" and stat.S_IMODE(path.stat().st_mode) == 0o600
        os.chmod(path, 0o644)
        with pytest.raises(TokenFileError, match="open to other users"):
            read_token(path)

    def test_start_host_on_a_port_and_the_runner_need_no_token_handling(self):
        from telvar.host import start_host
        from telvar.kestrum import runner

        with start_host(port=0) as handle:
            assert handle.address.startswith("tcp:127.0.0.1:") and not handle.address.endswith(":0")
            assert handle.token and stat.S_IMODE((handle.workdir / "host.token").stat().st_mode) == 0o600
            try:
                context = runner.setup([{"Market": "SHFE", "Code": "RB0000"}], 20251103, 20251104, host=handle)
                assert len(context.bar_times) == 690 and comm.attached_to(handle.address)
                comm.disconnect()
                comm.connect(handle.address)  # this process started it: the token is found
                assert comm.tvcmd.call("tvSendCmdPing") == "pong"
            finally:
                comm.disconnect()


# ------------------------------------------------------------------ the log and the sample store
def test_client_text_cannot_forge_log_lines(tmp_path, make_host):
    log = tmp_path / "host.log"
    h = make_host(log_path=log)
    sock = TelvarSocket(h.address)
    forged = "2030-01-01 00:00:00,000 WARNING forged"
    assert sock.request("tvSendCmdPutLog", ["task\n" + forged, "done\n" + forged + "\r\u2028x"]) is True
    with pytest.raises(comm.TvReturnError):
        sock.request("tvSendCmdNo\n" + forged)
    sock.close()
    text = log.read_text("utf-8")
    assert not [ln for ln in text.splitlines() if ln.startswith("2030")]
    assert f"[task\\n{forged}] done\\n{forged}\\r\\u2028x" in text
    assert f"tvSendCmdNo\\n{forged} refused" in text


def test_the_sample_store_lives_in_the_users_cache_folder(tmp_path, monkeypatch):
    from telvar.host.sample import build as sample

    built = []
    monkeypatch.delenv("TELVAR_SAMPLE_STORE", raising=False)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    monkeypatch.setattr(sample, "build_store", lambda path: built.append(Path(path).write_bytes(b"db")))
    old = os.umask(0)
    try:
        path = sample.sample_store_path()
    finally:
        os.umask(old)
    assert path.parent == tmp_path / "cache" / "telvar" and built
    assert stat.S_IMODE(path.parent.stat().st_mode) == 0o700
    os.chmod(path.parent, 0o777)  # loosened by someone: write access for others is taken away again
    assert sample.sample_store_path() == path and len(built) == 1
    assert not path.parent.stat().st_mode & 0o022 and not path.stat().st_mode & 0o022
