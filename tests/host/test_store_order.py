"""The importer keeps minute and day bars in the store in key order (instrument, then time), whatever
order files give them in and whichever instrument is imported first, so that a read of some
instruments skips the others' row groups; the rows themselves are those imported."""
import duckdb
import pytest

from telvar.host.importer import import_files
from user_files import write_file


@pytest.fixture(scope="module")
def template(tmp_path_factory):
    tmp_path = tmp_path_factory.mktemp("order")
    s = tmp_path / "user.duckdb"
    import_files(s, "calendar", [write_file(tmp_path / "cal.csv", """
market,trade_date
SHFE,20251010
SHFE,20251013""")])
    import_files(s, "sessions", [write_file(tmp_path / "ses.csv", """
market,variety,seq,start_hhmm,end_hhmm,night
SHFE,,0,900,1015,false""")])
    import_files(s, "instruments", [write_file(tmp_path / "ins.csv", """
market,code,name,kind,variety,multiplier,price_tick
SHFE,RB2601,rebar,future,RB,10,1
SHFE,CU2601,copper,future,CU,5,10
SHFE,AL2601,aluminium,future,AL,5,5""")])
    return s


def _bars(code, times, price):
    lines = ["Market,Code,Time,Open,High,Low,Close,Volume,Turnover"]
    lines += [f"SHFE,{code},{t},{price},{price + 1},{price - 1},{price},1,{price}" for t in times]
    return "\n" + "\n".join(lines)


def _stored(store, table, key):
    """The table's rows as a scan returns them (the order they are stored in), and sorted."""
    con = duckdb.connect(str(store), read_only=True)
    try:
        rows = con.execute(f"SELECT {key}, close FROM {table}").fetchall()
    finally:
        con.close()
    return rows, sorted(rows)


def test_bars_stay_in_key_order_across_imports(store, tmp_path):
    # RB first, its minutes out of order in the file; then CU and AL, which sort before it
    imports = [("RB2601", ["2025-10-13 09:03", "2025-10-10 09:01", "2025-10-13 09:01"], 3100),
               ("CU2601", ["2025-10-10 09:02", "2025-10-10 09:01"], 80000),
               ("AL2601", ["2025-10-13 09:05"], 20000)]
    for k, (code, times, price) in enumerate(imports):
        import_files(store, "bars-min", [write_file(tmp_path / f"m{k}.csv", _bars(code, times, price))])
        for table, key in (("minute_bars", "market, code, ts"), ("day_bars", "market, code, trade_date")):
            stored, in_order = _stored(store, table, key)
            assert stored == in_order, (table, code)
    minutes, _ = _stored(store, "minute_bars", "code, ts")
    assert [(code, str(ts)[:16]) for code, ts, _ in minutes] == [
        ("AL2601", "2025-10-13 09:05"), ("CU2601", "2025-10-10 09:01"), ("CU2601", "2025-10-10 09:02"),
        ("RB2601", "2025-10-10 09:01"), ("RB2601", "2025-10-13 09:01"), ("RB2601", "2025-10-13 09:03")]
    assert {code: close for code, _, close in minutes} == {"AL2601": 20000, "CU2601": 80000, "RB2601": 3100}
    # bars imported again replace their rows and keep the order
    import_files(store, "bars-min", [write_file(tmp_path / "again.csv", _bars("CU2601", ["2025-10-10 09:01"],
                                                                               81000))])
    stored, in_order = _stored(store, "minute_bars", "code, ts")
    assert stored == in_order and len(stored) == 6
    assert [close for code, _, close in stored if code == "CU2601"] == [81000, 80000]
