"""A store's identity and data version: written with the schema, renewed by
every import that commits, derived from the file for stores made before, and
answered by the host."""
import os
import re
import shutil

import duckdb
import pandas as pd
import pytest

from telvar.host.importer import ImportError_, import_files
from telvar.host.sample import build_store
from telvar.host.store.storeinfo import read_store_info

HEX = re.compile(r"[0-9a-f]{32}")


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    return build_store(tmp_path_factory.mktemp("storeinfo") / "base.duckdb", begin=20251103, end=20251107,
                       futures=False, ticks=False)


@pytest.fixture
def store(built, tmp_path):
    path = tmp_path / "store.duckdb"
    shutil.copyfile(built, path)
    return path


def info(path):
    with duckdb.connect(str(path), read_only=True) as con:
        return read_store_info(con)


def import_calendar(store, tmp_path, day):
    csv = tmp_path / "cal.csv"
    pd.DataFrame({"market": ["SSE"], "trade_date": [day]}).to_csv(csv, index=False)
    return import_files(store, "calendar", [csv])


def test_every_committing_import_renews_the_version_and_keeps_the_identity(store, tmp_path):
    first = info(store)
    assert first["source"] == "meta" and HEX.fullmatch(first["store_id"]) and HEX.fullmatch(first["data_version"])
    import_calendar(store, tmp_path, 20251110)
    second = info(store)
    assert second["store_id"] == first["store_id"] and second["data_version"] != first["data_version"]
    with pytest.raises(ImportError_):  # refused: nothing written, the version stays
        import_calendar(store, tmp_path, 20251399)
    assert info(store) == second


def test_a_store_made_before_is_named_by_its_file(store, tmp_path):
    with duckdb.connect(str(store)) as con:
        con.execute("DELETE FROM meta WHERE key IN ('store_id', 'data_version')")
    old = info(store)
    assert old["source"] == "file" and old["store_id"].startswith("path-")
    link = tmp_path / "link.duckdb"
    os.symlink(store, link)
    assert info(link)["store_id"] == old["store_id"]  # the real path names it
    assert info(store) == old  # reading changes nothing
    with duckdb.connect(str(store)) as con:  # a write by other means than the importer
        con.execute("INSERT INTO calendar VALUES ('SSE', 20251110, false)")
    changed = info(store)
    assert changed["store_id"] == old["store_id"] and changed["data_version"] != old["data_version"]
    # the first import gives it both keys
    import_calendar(store, tmp_path, 20251111)
    new = info(store)
    assert new["source"] == "meta" and HEX.fullmatch(new["store_id"])


@pytest.mark.host
def test_the_host_answers_the_store_info(store, tmp_path):
    from telvar.host.server import Host
    from telvar.kestrum.comm import TelvarSocket

    expected = info(store)
    host = Host(store, tmp_path / "out", socket_path=str(tmp_path / "h.sock"))
    host.start_in_thread()
    try:
        sock = TelvarSocket(host.address)
        answer = sock.request("tvSendCmdGetStoreInfo")
        assert answer == dict(expected, store=os.path.realpath(store), answer_dir=str(host.out_dir))
        assert sock.store_info() == answer and sock.answer_dir == str(host.out_dir)
        sock.close()
    finally:
        host.shutdown()


@pytest.mark.host
def test_a_host_that_cannot_tell_gets_a_version_per_connection(store, tmp_path, monkeypatch):
    from telvar.host import commands as C
    from telvar.host.server import Host
    from telvar.kestrum.comm import TelvarSocket

    monkeypatch.delitem(C.REGISTRY, "tvSendCmdGetStoreInfo")
    host = Host(store, tmp_path / "out", socket_path=str(tmp_path / "h.sock"))
    host.start_in_thread()
    try:
        sock, other = TelvarSocket(host.address), TelvarSocket(host.address)
        first, second, third = sock.store_info(), sock.store_info(), other.store_info()
        assert first["store_id"] == second["store_id"] == third["store_id"]
        assert first["store_id"].startswith("host-") and first["data_version"] != second["data_version"]
        sock.close()
        other.close()
    finally:
        host.shutdown()
