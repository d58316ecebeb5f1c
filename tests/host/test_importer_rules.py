"""The importer refuses what the reads would never return, derives trading days from
the sessions, rebuilds every day bar re-imported minute bars touch, and names
file, row, column and value (as written) in every refusal."""
import duckdb
import pandas as pd
import pytest

from telvar.host.__main__ import main
from telvar.host.importer import ImportError_, import_files
from user_files import rows, write_file

HEAD = "market,code,time,open,high,low,close,volume,turnover"
GOOD = ["SHFE,RB2601,2025-10-10 21:01,3100,3105,3099,3104,12,372000",
        "SHFE,RB2601,2025-10-10 21:02,3104,3104,3101,3102,5,155000",
        "SHFE,RB2601,2025-10-13 09:01,3102,3110,3102,3108,30,932000"]
TICK_HEAD = "market,code,time,price,volume,volume_tick,turnover"


@pytest.fixture(scope="module")
def template(tmp_path_factory):
    """SHFE trading 2025-10-09, 10 and 13; night 21:00-23:00 on the previous trading day, day 09:00-10:15."""
    tmp = tmp_path_factory.mktemp("rules")
    s = tmp / "user.duckdb"
    import_files(s, "calendar", [write_file(tmp / "cal.csv", ["market,trade_date", "SHFE,20251009", "SHFE,20251010",
                                                             "SHFE,20251013"])])
    import_files(s, "sessions", [write_file(tmp / "ses.csv", ["market,variety,seq,start_hhmm,end_hhmm,night",
                                                             "SHFE,,0,2100,2300,true", "SHFE,,1,900,1015,false"])])
    import_files(s, "instruments", [write_file(tmp / "ins.csv", ["market,code,name,kind,variety",
                                                                "SHFE,RB2601,rebar,future,RB"])])
    return s


@pytest.mark.parametrize("kind, head, row, column, value, why", [
    ("bars-min", HEAD, "SHFE,RB2601,2025-10-11 10:00,3100,3101,3098,3100,1,1", "time", "'2025-10-11 10:00'",
     "2025-10-11 (Saturday) is not a trading day of the SHFE calendar"),
    ("bars-min", HEAD, "SHFE,RB2601,2025-10-13 12:00,3100,3101,3098,3100,1,1", "time", "'2025-10-13 12:00'",
     "12:00 is outside the trading sessions of SHFE variety RB: 21:00-23:00 (night), 09:00-10:15"),
    ("bars-min", HEAD, "SHFE,RB2601,2025-10-08 21:30,3100,3101,3098,3100,1,1", "time", "'2025-10-08 21:30'",
     "no night session of the SHFE calendar is held on the evening of 2025-10-08 (Wednesday)"),
    ("bars-day", "market,code,trade_date,open,high,low,close,volume,turnover",
     "SHFE,RB2601,20251012,3100,3101,3098,3100,1,1", "trade_date", "'20251012'",
     "not a trading day of the SHFE calendar"),
    ("ticks", TICK_HEAD, "SHFE,RB2601,2025-10-13 12:00:03.500,3100,9,1,31000", "time", "'2025-10-13 12:00:03.500'",
     "12:00:03 is outside the trading sessions"),
])
def test_rows_on_no_trading_day_are_refused_or_dropped(store, tmp_path, kind, head, row, column, value, why):
    good = {"bars-min": GOOD, "ticks": ["SHFE,RB2601,2025-10-13 09:00:03,3100,5,5,15500",
                                        "SHFE,RB2601,2025-10-13 09:00:06,3101,8,3,9300",
                                        "SHFE,RB2601,2025-10-13 09:00:09,3101,9,1,3100"],
            "bars-day": ["SHFE,RB2601,20251010,3100,3105,3099,3104,12,372000",
                         "SHFE,RB2601,20251013,3104,3110,3101,3108,35,1000000",
                         "SHFE,RB2601,20251009,3104,3110,3101,3108,35,1000000"]}[kind]
    f = write_file(tmp_path / "in.csv", [head, *good, row])
    with pytest.raises(ImportError_) as err:
        import_files(store, kind, [f])
    msg = str(err.value)
    assert msg.startswith(f"{f}: row 4, column {column!r}, value {value}: ") and why in msg, msg
    assert "--drop-off-calendar" in msg
    table = {"bars-min": "minute_bars", "bars-day": "day_bars", "ticks": "ticks"}[kind]
    assert rows(store, f"SELECT count(*) FROM {table}") == [(0,)]
    counts = import_files(store, kind, [f], drop_off_calendar=True)
    assert counts["dropped"] == 1 and counts[table] == 3
    assert rows(store, f"SELECT count(*) FROM {table}") == [(3,)]


def test_command_line_drops_and_counts(store, tmp_path, capsys):
    f = write_file(tmp_path / "in.csv", [HEAD, *GOOD, "SHFE,RB2601,2025-10-11 10:00,3100,3101,3098,3100,1,1"])
    assert main(["import", "--store", str(store), "--drop-off-calendar", "bars-min", str(f)]) == 0
    out = capsys.readouterr().out
    assert "minute_bars: 3 rows imported" in out and "1 rows dropped: on no trading day or outside the sessions" in out


def test_trading_days_come_from_the_sessions(store, tmp_path):
    ticks = [TICK_HEAD, "SHFE,RB2601,2025-10-10 20:58:00,3100,1,1,31000",   # night call auction: Monday
             "SHFE,RB2601,2025-10-10 23:00:30,3100,2,1,31000",               # just after the night close
             "SHFE,RB2601,2025-10-13 08:59:30,3100,3,1,31000",               # day call auction
             "SHFE,RB2601,2025-10-10 10:00:00.250,3100,1,1,31000"]           # Friday's own day session
    import_files(store, "ticks", [write_file(tmp_path / "t.csv", ticks)])
    assert [r[0] for r in rows(store, "SELECT trade_date FROM ticks ORDER BY ts")] == [
        20251010, 20251013, 20251013, 20251013]
    given = [HEAD + ",trade_date", GOOD[0] + ",20251013", GOOD[2] + ",20251010"]
    with pytest.raises(ImportError_) as err:
        import_files(store, "bars-min", [write_file(tmp_path / "b.csv", given)])
    assert str(err.value).endswith("row 2, column 'trade_date', value '20251010': contradicts time "
                                   "2025-10-13 09:01, which lies in a session of trading day 20251013")
    with pytest.raises(ImportError_, match=r"row 1, column 'time', value '2025-10-13 09:01:30': .*seconds must be 0"):
        import_files(store, "bars-min", [write_file(tmp_path / "s.csv", [HEAD, GOOD[2].replace("09:01", "09:01:30")])])


def test_reimported_minute_bars_rebuild_every_day_bar_they_join_or_leave(store, tmp_path):
    import_files(store, "bars-min", [write_file(tmp_path / "b.csv", [HEAD, *GOOD])])
    # a store written before trading days came from the sessions: Monday's bar was filed under Friday
    con = duckdb.connect(str(store))
    con.execute("UPDATE minute_bars SET trade_date = 20251010 WHERE ts = '2025-10-13 09:01'")
    con.execute("DELETE FROM day_bars")
    con.execute("INSERT INTO day_bars SELECT market, code, trade_date, first(open ORDER BY ts), max(high), "
                "min(low), last(close ORDER BY ts), sum(volume), sum(turnover), 0 FROM minute_bars GROUP BY ALL")
    con.close()
    again = GOOD[2].replace(",30,932000", ",40,1242000")
    counts = import_files(store, "bars-min", [write_file(tmp_path / "again.csv", [HEAD, again])])
    assert counts["day_bars (rebuilt)"] == 1
    assert rows(store, "SELECT trade_date, open, close, volume FROM day_bars") == [(20251013, 3100.0, 3108.0, 57.0)]


def test_messages_show_values_as_written_and_name_every_missing_column(store, tmp_path):
    f = write_file(tmp_path / "h.csv", [HEAD, GOOD[0], "SHFE,RB2601,2025-10-13 09:02,3100,3099.0,3098,3100,1,1"])
    with pytest.raises(ImportError_, match=r"row 2, column 'high', value '3099.0': high below"):
        import_files(store, "bars-min", [f])
    pq = tmp_path / "h.parquet"
    duckdb.sql(f"COPY (SELECT market, code, time::TIMESTAMP AS time, open::DOUBLE AS open, high::DOUBLE AS high, "
               f"low::DOUBLE AS low, close::DOUBLE AS close, volume::DOUBLE AS volume, turnover::DOUBLE AS turnover "
               f"FROM read_csv('{f}', all_varchar=true)) TO '{pq}' (FORMAT parquet)")
    with pytest.raises(ImportError_) as err:
        import_files(store, "bars-min", [pq])
    assert "column 'high', value 3099.0: high below" in str(err.value) and "np." not in str(err.value)
    with pytest.raises(ImportError_) as err:
        import_files(store, "bars-min", [write_file(tmp_path / "m.csv", ["market,code,time,open", "SHFE,RB2601,x,1"])])
    assert str(err.value) == f"{tmp_path / 'm.csv'}: missing columns 'high', 'low', 'close', 'volume', 'turnover'"


def test_times_with_a_utc_offset_get_one_clear_message(store, tmp_path, capsys):
    f = write_file(tmp_path / "z.csv", [HEAD, GOOD[0], "SHFE,RB2601,2025-10-13 01:01+00:00,3102,3110,3102,3108,30,1"])
    assert main(["import", "--store", str(store), "bars-min", str(f)]) == 1
    err = capsys.readouterr().err
    assert err == (f"import failed, nothing imported: {f}: row 2, column 'time', value '2025-10-13 01:01+00:00': "
                   "times are exchange-local clock times: write them without a UTC offset\n")
    pq = tmp_path / "z.parquet"
    duckdb.sql(f"COPY (SELECT 'SHFE' AS market, 'RB2601' AS code, TIMESTAMPTZ '2025-10-13 01:01+00' AS time, "
               f"1.0 AS open, 1.0 AS high, 1.0 AS low, 1.0 AS close, 1.0 AS volume, 1.0 AS turnover) "
               f"TO '{pq}' (FORMAT parquet)")
    with pytest.raises(ImportError_, match=r"row 1, column 'time', value .*2025-10-13.*: times are exchange-local "
                                           r"clock times: give them without a time zone"):
        import_files(store, "bars-min", [pq])


def test_sessions_declare_where_night_sessions_are_held(tmp_path):
    s = tmp_path / "fx.duckdb"
    import_files(s, "calendar", [write_file(tmp_path / "c.csv", ["market,trade_date", "FX,20170421", "FX,20170424"])])
    import_files(s, "instruments", [write_file(tmp_path / "i.csv", ["market,code,name,kind", "FX,EURUSD,euro,index"])])
    head = "market,variety,seq,start_hhmm,end_hhmm,night,night_on"
    with pytest.raises(ImportError_, match=r"row 1, column 'night_on', value 'sunday': expected trading_day or "):
        import_files(s, "sessions", [write_file(tmp_path / "s.csv", [head, "FX,,0,2100,2400,true,sunday"])])
    with pytest.raises(ImportError_, match="declare night_on both calendar_day and trading_day"):
        import_files(s, "sessions", [write_file(tmp_path / "s.csv", [head, "FX,,0,2100,2400,true,trading_day",
                                                                    "FX,,1,0,2100,false,calendar_day"])])
    sunday, friday = "FX,EURUSD,2017-04-23 22:00,1,1,1,1,1,1", "FX,EURUSD,2017-04-21 22:00,1,1,1,1,1,1"
    # undeclared: the night session closes where the day session opens, so it is held the evening before
    import_files(s, "sessions", [write_file(tmp_path / "s.csv", [head, "FX,,0,2100,2400,true,",
                                                                 "FX,,1,0,2100,false,"])])
    import_files(s, "bars-min", [write_file(tmp_path / "b.csv", [HEAD, sunday])])
    with pytest.raises(ImportError_, match="evening of 2017-04-21 \\(Friday\\)"):
        import_files(s, "bars-min", [write_file(tmp_path / "b.csv", [HEAD, friday])])
    import_files(s, "sessions", [write_file(tmp_path / "s.csv", [head, "FX,,0,2100,2400,true,trading_day"])])
    import_files(s, "bars-min", [write_file(tmp_path / "b.csv", [HEAD, friday])])
    assert rows(s, "SELECT ts, trade_date FROM minute_bars ORDER BY ts") == [
        (pd.Timestamp("2017-04-21 22:00"), 20170424), (pd.Timestamp("2017-04-23 22:00"), 20170424)]


def test_an_unknown_target_names_the_expected_form(store, tmp_path):
    from telvar.host.server import Host
    from telvar.kestrum.comm import TelvarSocket

    host = Host(store, tmp_path / "out", socket_path=str(tmp_path / "h.sock"))
    host.start_in_thread()
    try:
        sock = TelvarSocket(host.address)
        with pytest.raises(Exception) as err:
            sock.request("tvSendCmdGetKDataMulti", [["RB2601.SHFE"], "day", 20251009, 20251013, True, "NA"])
        sock.close()
    finally:
        host.shutdown()
    assert ("unknown instrument RB2601.SHFE (market 'RB2601', code 'SHFE': targets are 'MARKET.CODE' keys such as "
            "'SHFE.RB0000', or {'Market', 'Code'} records); did you mean 'SHFE.RB2601'?") in str(err.value)


def test_stores_written_before_night_on_are_read_and_upgraded(store, tmp_path):
    from telvar.host.store.dimensions import Dimensions

    con = duckdb.connect(str(store))
    con.execute("ALTER TABLE sessions DROP COLUMN night_on")
    con.close()
    con = duckdb.connect(str(store), read_only=True)
    assert [s.night_on for s in Dimensions(con).sessions[("SHFE", "")]] == [None, None]
    con.close()
    import_files(store, "bars-min", [write_file(tmp_path / "b.csv", [HEAD, *GOOD])])
    assert rows(store, "SELECT night_on FROM sessions") == [(None,), (None,)]
    assert rows(store, "SELECT DISTINCT trade_date FROM minute_bars") == [(20251013,)]
