import shutil

import duckdb
import pytest

from telvar.kestrum.utils.utilfunc import load_mat


@pytest.fixture(scope="session")
def store_con(host):
    """Read-only view of the store the session host serves (for comparing answers)."""
    from telvar.host.sample import sample_store_path

    con = duckdb.connect(str(sample_store_path()), read_only=True)
    yield con
    con.close()


@pytest.fixture
def tv(connected_host):
    from telvar.kestrum.comm import tvcmd

    return tvcmd


@pytest.fixture(scope="session")
def mat():
    def read(path):
        return {k: v for k, v in load_mat(path).items() if not k.startswith("__")}
    return read


@pytest.fixture
def store(template, tmp_path):
    """A fresh copy of the test module's ``template`` store."""
    s = tmp_path / "user.duckdb"
    shutil.copy(template, s)
    return s


@pytest.fixture
def make_host(tmp_path):
    """In-process hosts on the sample store (``Host``'s keywords; a socket in the test's folder unless
    a port is given), shut down after the test."""
    from telvar.host.sample import sample_store_path
    from telvar.host.server import Host

    hosts = []

    def make(out=None, **kwargs):
        if "port" not in kwargs:
            kwargs.setdefault("socket_path", str(tmp_path / f"h{len(hosts)}.sock"))
        h = Host(sample_store_path(), out if out is not None else tmp_path / "out", **kwargs)
        h.start_in_thread()
        hosts.append(h)
        return h

    yield make
    for h in hosts:
        h.shutdown()
