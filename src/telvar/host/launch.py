"""Starting a host process from Python: ``start_host`` and its ``HostHandle``.

The host runs as ``python -m telvar.host serve``; this module only starts it
and waits until it answers, so a strategy process loads none of the host's
own code.
"""
from __future__ import annotations

import atexit
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from telvar.wire.frames import probe
from telvar.wire.tokens import new_token, remember_token, write_token

__all__ = ["start_host", "HostHandle"]


class HostHandle:
    """A host process started by ``start_host``.

    ``output_dir`` is the folder the host writes its answer files to;
    ``token`` is what a client presents to a TCP host (None for a Unix socket).
    """

    def __init__(self, process: subprocess.Popen, address: str, workdir: Path, own_workdir: bool,
                 token: str | None = None, output_dir: Path | None = None):
        self.process = process
        self.address = address
        self.workdir = workdir
        self.output_dir = output_dir
        self.log_path = workdir / "host.log"
        self.token = token
        self._own = own_workdir

    @property
    def pid(self) -> int:
        return self.process.pid

    def alive(self) -> bool:
        return self.process.poll() is None

    def stop(self, timeout: float = 10.0) -> None:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self._own:
            shutil.rmtree(self.workdir, ignore_errors=True)
        if self.token is not None and self.address:
            remember_token(_port(self.address), None)
        atexit.unregister(self.stop)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def __repr__(self):
        return f"<HostHandle {self.address} pid={self.process.pid} {'running' if self.alive() else 'stopped'}>"


def _port(address: str) -> int:
    return int(address.rsplit(":", 1)[1])


def start_host(store=None, *, port: int | None = None, workdir=None, debug_commands: bool = False,
               part_bytes: int | None = None, startup_timeout: float = 60.0, results=None) -> HostHandle:
    """Start a host process on ``store`` (default: the sample store) and wait until it answers.

    ``port=None`` serves on an owner-only Unix socket in the working folder;
    a port number (0: any free one) serves on 127.0.0.1 with a new token,
    kept owner-only in the working folder and carried by the handle.
    ``results`` is the SQLite file the host records back-test runs in
    (default: one per store in the user's data folder, see ``store.results_db``).
    """
    if store is None:
        from .sample import sample_store_path

        store = sample_store_path()
    store = Path(store)
    if not store.exists():
        raise FileNotFoundError(f"store not found: {store}")
    own = workdir is None
    workdir = Path(tempfile.mkdtemp(prefix="telvar-host-")) if own else Path(workdir)
    workdir.mkdir(mode=0o700, parents=True, exist_ok=True)
    ready = workdir / "host.ready"
    if ready.exists():
        ready.unlink()
    cmd = [sys.executable, "-m", "telvar.host", "serve", "--store", str(store),
           "--output", str(workdir / "out"), "--log", str(workdir / "host.log"), "--ready-file", str(ready),
           "--parent-pid", str(os.getpid())]  # no orphaned host when the starter dies
    if own:
        cmd += ["--starter-workdir", str(workdir)]  # nor its working folder
    token = None
    if port is None:
        cmd += ["--socket", str(workdir / "host.sock")]
    else:
        token = new_token()
        cmd += ["--port", str(int(port)), "--token-file", str(write_token(workdir / "host.token", token))]
    if debug_commands:
        cmd.append("--debug-commands")
    if part_bytes:
        cmd += ["--part-bytes", str(int(part_bytes))]
    if results is not None:
        cmd += ["--results", os.path.abspath(os.fspath(results))]
    env = dict(os.environ)
    src_root = str(Path(__file__).resolve().parents[2])
    env["PYTHONPATH"] = os.pathsep.join([src_root] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    # stderr goes to a file: a pipe nobody reads would block a chatty host
    with open(workdir / "host.stderr", "wb") as err_file:
        proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err_file)
    handle = HostHandle(proc, "", workdir, own, token=token)
    atexit.register(handle.stop)
    deadline = time.monotonic() + startup_timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            err = (workdir / "host.stderr").read_text("utf-8", "replace")
            handle.stop()
            raise RuntimeError(f"the host exited during start-up (code {proc.returncode}):\n{err[-2000:]}")
        if not handle.address and ready.exists():
            info = json.loads(ready.read_text("utf-8"))
            handle.address, handle.output_dir = info["address"], Path(info["answer_dir"])
        if handle.address and probe(handle.address, timeout=1.0, token=token):
            if token is not None:
                remember_token(_port(handle.address), token)  # comm.connect(handle.address) finds it
            return handle
        time.sleep(0.05)
    handle.stop()
    raise RuntimeError(f"the host {handle.address or 'being started'} did not answer within {startup_timeout} s")
