import duckdb
import numpy as np
import pytest

from telvar.host.importer import ImportError_, import_files
from telvar.host.store.dimensions import Dimensions
from telvar.host.server import Host
from telvar.kestrum.comm import TelvarSocket
from telvar.kestrum.utils.utilfunc import load_mat
from user_files import write_file


def ask_host(store, tmp_path, command, args):
    """One answer of a host started on ``store``, read."""
    host = Host(store, tmp_path / "out", socket_path=str(tmp_path / "h.sock"))
    host.start_in_thread()
    try:
        sock = TelvarSocket(host.address)
        try:
            return load_mat(sock.request(command, args))
        finally:
            sock.close()
    finally:
        host.shutdown()


@pytest.fixture(scope="module")
def template(tmp_path_factory):
    tmp_path = tmp_path_factory.mktemp("import")
    s = tmp_path / "user.duckdb"
    import_files(s, "calendar", [write_file(tmp_path / "cal.csv", """
market,trade_date
SHFE,20251009
SHFE,20251010
SHFE,20251013""")])
    import_files(s, "sessions", [write_file(tmp_path / "ses.csv", """
market,variety,seq,start_hhmm,end_hhmm,night
SHFE,,0,2100,2300,true
SHFE,,1,900,1015,false""")])
    import_files(s, "instruments", [write_file(tmp_path / "ins.csv", """
market,code,name,kind,variety,multiplier,price_tick
SHFE,RB2601,rebar,future,RB,10,1""")])
    return s


BARS = """
Market,Code,Time,Open,High,Low,Close,Volume,Turnover
SHFE,RB2601,2025-10-10 21:01,3100,3105,3099,3104,12,372000
SHFE,RB2601,2025-10-10 21:02,3104,3104,3101,3102,5,155000
SHFE,RB2601,2025-10-13 09:01,3102,3110,3102,3108,30,932000
"""


def test_imported_bars_are_served(store, tmp_path):
    counts = import_files(store, "bars-min", [write_file(tmp_path / "bars.csv", BARS)])
    assert counts["minute_bars"] == 3
    con = duckdb.connect(str(store), read_only=True)
    assert con.execute("SELECT DISTINCT trade_date FROM minute_bars").fetchall() == [(20251013,)]
    day = con.execute("SELECT open, high, low, close, volume FROM day_bars").fetchall()
    assert day == [(3100.0, 3110.0, 3099.0, 3108.0, 47.0)]
    # undeclared night flags are stored as such and follow the sessions' rule when read
    assert {r[0] for r in con.execute("SELECT night FROM calendar").fetchall()} == {None}
    cal = Dimensions(con).calendar("SHFE")
    assert dict(zip(cal.days.tolist(), cal.nights.tolist())) == {20251009: False, 20251010: True, 20251013: True}
    con.close()
    m = ask_host(store, tmp_path, "tvSendCmdGetKDataMulti",
                 [[{"Market": "SHFE", "Code": "RB2601"}], "min", 20251013, 20251013, True, "NA"])
    assert m["KArray"].shape == (7, 120 + 75)
    np.testing.assert_array_equal(m["KArray"][3, :3], [3104, 3102, 3102])  # third slot filled


@pytest.mark.parametrize("row, column, value", [
    ("SHFE,RB2601,2025-10-13 09:02,3100,3099,3098,3100,1,1", "high", "3099"),
    ("SHFE,RB2601,2025-10-13 09:02,3100,3101,3098,abc,1,1", "close", "abc"),
    ("SHFE,RB2699,2025-10-13 09:02,3100,3101,3098,3100,1,1", "code", "RB2699"),
    ("SHFE,RB2601,2025-10-11 10:00,3100,3101,3098,3100,1,1", "time", "'2025-10-11 10:00'"),
    ("SHFE,RB2601,not a time,3100,3101,3098,3100,1,1", "time", "not a time"),
])
def test_a_bad_row_is_named_and_nothing_is_imported(store, tmp_path, row, column, value):
    f = write_file(tmp_path / "bad.csv", BARS + row)
    with pytest.raises(ImportError_) as err:
        import_files(store, "bars-min", [f])
    msg = str(err.value)
    assert "row 4" in msg and repr(column) in msg and value in msg
    con = duckdb.connect(str(store), read_only=True)
    assert con.execute("SELECT count(*) FROM minute_bars").fetchone()[0] == 0
    con.close()


def test_missing_columns_and_unknown_kinds(store, tmp_path):
    with pytest.raises(ImportError_, match="missing columns 'high', 'low', 'close', 'volume', 'turnover'$"):
        import_files(store, "bars-day", [write_file(tmp_path / "d.csv", "market,code,trade_date,open\nSHFE,RB2601,"
                                                                       "20251013,1")])
    with pytest.raises(ImportError_, match="unknown kind"):
        import_files(store, "quotes", [tmp_path / "d.csv"])
    with pytest.raises(ImportError_, match="duplicate row"):
        import_files(store, "bars-min", [write_file(tmp_path / "dup.csv", BARS + BARS.strip().splitlines()[1])])


def test_parquet_files(store, tmp_path):
    csv = write_file(tmp_path / "bars.csv", BARS)
    pq = tmp_path / "bars.parquet"
    duckdb.sql(f"COPY (SELECT * FROM read_csv('{csv}', all_varchar=true)) TO '{pq}' (FORMAT parquet)")
    assert import_files(store, "bars-min", [pq])["minute_bars"] == 3


def test_command_line_import(tmp_path, capsys):
    from telvar.host.__main__ import main

    store = tmp_path / "cli.duckdb"
    good = write_file(tmp_path / "cal.csv", "market,trade_date\nSSE,20251009\nSSE,20251010")
    assert main(["import", "--store", str(store), "calendar", str(good)]) == 0
    assert "calendar: 2 rows imported" in capsys.readouterr().out
    bad = write_file(tmp_path / "bad.csv", "market,trade_date\nSSE,20251013\nSSE,20251332")
    assert main(["import", "--store", str(store), "calendar", str(bad)]) == 1
    err = capsys.readouterr().err
    assert "nothing imported" in err and "row 2" in err and "'20251332'" in err
    con = duckdb.connect(str(store), read_only=True)
    assert con.execute("SELECT count(*) FROM calendar").fetchone()[0] == 2
    con.close()


def test_continuous_series_without_main_contracts_keeps_its_own_bars(store, tmp_path):
    import_files(store, "instruments", [write_file(tmp_path / "c.csv", "market,code,name,kind,variety\n"
                                                                   "SHFE,RB0000,rebar main,continuous,RB")])
    import_files(store, "bars-min", [write_file(tmp_path / "b.csv", BARS.replace("RB2601", "RB0000"))])
    m = ask_host(store, tmp_path, "tvSendCmdGetKDataMulti",
                 [[{"Market": "SHFE", "Code": "RB0000"}], "day", 20251013, 20251013, False, "NA"])
    np.testing.assert_array_equal(m["KArray"][:5, 0], [3100, 3110, 3099, 3108, 47])
