"""Importing the market rules: margin ratios and lot sizes of instruments, costs, and daily price limits;
each refusal names file, row, column and value, and nothing of a refused file is written."""
import pytest

from telvar.host.importer import ImportError_, import_files
from user_files import rows, write_file, written_before_trading_rules

INSTRUMENTS = ["market,code,name,kind,variety,multiplier,price_tick",
               "SSE,600000,bank,stock,,1,0.01",
               "SSE,000300,index,index,,1,0.01",
               "SHFE,RB2601,rebar,future,RB,10,1",
               "SHFE,RB0000,rebar main,continuous,RB,10,1"]


@pytest.fixture(scope="module")
def template(tmp_path_factory):
    """SSE and SHFE trading Friday 2025-10-10 and Monday 2025-10-13."""
    tmp = tmp_path_factory.mktemp("trading-import")
    s = tmp / "user.duckdb"
    import_files(s, "calendar", [write_file(tmp / "cal.csv", ["market,trade_date", "SSE,20251010", "SSE,20251013",
                                                             "SHFE,20251010", "SHFE,20251013"])])
    import_files(s, "sessions", [write_file(tmp / "ses.csv", ["market,variety,seq,start_hhmm,end_hhmm,night",
                                                             "SSE,,0,930,1130,false", "SHFE,,0,900,1015,false"])])
    import_files(s, "instruments", [write_file(tmp / "ins.csv", INSTRUMENTS)])
    return s


def test_instruments_without_margin_or_lot_get_the_defaults_of_their_kind(store):
    assert rows(store, "SELECT code, margin_ratio, lot_size FROM instruments ORDER BY code") == [
        ("000300", 1.0, 1), ("600000", 1.0, 100), ("RB0000", 0.10, 1), ("RB2601", 0.10, 1)]


def test_given_margins_and_lots_are_kept_and_empty_cells_take_the_default(store, tmp_path):
    f = write_file(tmp_path / "ins.csv", ["market,code,name,kind,variety,margin_ratio,lot_size",
                                         "SHFE,RB2601,rebar,future,RB,0.13,",
                                         "SSE,600000,bank,stock,,,200",
                                         "SSE,600001,other bank,stock,,1,"])
    assert import_files(store, "instruments", [f]) == {"instruments": 3}
    assert rows(store, "SELECT code, margin_ratio, lot_size FROM instruments WHERE code IN "
                       "('RB2601', '600000', '600001') ORDER BY code") == [
        ("600000", 1.0, 200), ("600001", 1.0, 100), ("RB2601", 0.13, 1)]


@pytest.mark.parametrize("cell, column, value, why", [
    ("0,", "margin_ratio", "'0'", "above 0, at most 1"),
    ("1.5,", "margin_ratio", "'1.5'", "above 0, at most 1"),
    ("ten,", "margin_ratio", "'ten'", "not a finite number"),
    (",0", "lot_size", "'0'", "a lot is a positive whole number"),
    (",2.5", "lot_size", "'2.5'", "not an integer"),
])
def test_bad_margins_and_lots_are_refused(store, tmp_path, cell, column, value, why):
    f = write_file(tmp_path / "ins.csv", ["market,code,name,kind,variety,margin_ratio,lot_size",
                                         "SHFE,RB2605,rebar,future,RB,0.1,1",
                                         f"SHFE,RB2610,rebar,future,RB,{cell}"])
    with pytest.raises(ImportError_) as err:
        import_files(store, "instruments", [f])
    assert str(err.value).startswith(f"{f}: row 2, column '{column}', value {value}: ")
    assert why in str(err.value)
    assert rows(store, "SELECT count(*) FROM instruments WHERE code IN ('RB2605', 'RB2610')") == [(0,)]


def test_costs_are_imported_with_zero_for_columns_left_out(store, tmp_path):
    f = write_file(tmp_path / "costs.csv", ["market,variety,kind,commission_rate,min_commission,stamp_tax_rate",
                                           "SSE,,stock,0.00025,5,0.0005",
                                           "SHFE,RB,,0.0001,,",
                                           "SHFE,,,0.0002,0,0"])
    with pytest.raises(ImportError_, match=r"row 2, column 'min_commission', value '': not a finite number"):
        import_files(store, "costs", [f])
    f = write_file(tmp_path / "costs.csv", ["market,variety,kind,commission_rate,min_commission,stamp_tax_rate",
                                           "sse,,stock,0.00025,5,0.0005",
                                           "SHFE,RB,,0.0001,0,0",
                                           "SHFE,,,0.0002,0,0"])
    assert import_files(store, "costs", [f]) == {"costs": 3}
    assert rows(store, "SELECT * FROM costs ORDER BY market, variety") == [
        ("SHFE", "", "", 0.0002, 0.0, 0.0, 0.0, 0.0), ("SHFE", "RB", "", 0.0001, 0.0, 0.0, 0.0, 0.0),
        ("SSE", "", "stock", 0.00025, 0.0, 5.0, 0.0005, 0.0)]
    # a row of the same market, variety and kind replaces the stored one
    import_files(store, "costs", [write_file(tmp_path / "c2.csv", ["market,variety,commission_per_lot",
                                                                  "SHFE,RB,2.5"])])
    assert rows(store, "SELECT commission_rate, commission_per_lot FROM costs WHERE variety = 'RB'") == [(0.0, 2.5)]


COSTS_HEADER, COSTS_GOOD = "market,variety,kind,commission_rate,slippage_ticks", "SZSE,,stock,0.0003,0"
LIMITS_HEADER, LIMITS_GOOD = "market,code,trade_date,limit_up,limit_down", "SSE,600000,20251013,14.52,11.88"


@pytest.mark.parametrize("kind, header, good, row, column, value, why", [
    ("costs", COSTS_HEADER, COSTS_GOOD, "SSE,,bond,0.0001,0", "kind", "'bond'",
     "expected one of stock, index, future, continuous"),
    ("costs", COSTS_HEADER, COSTS_GOOD, "SSE,,stock,-0.0001,0", "commission_rate", "'-0.0001'",
     "must not be negative"),
    ("costs", COSTS_HEADER, COSTS_GOOD, "SSE,,stock,1.2,0", "commission_rate", "'1.2'", "below 1"),
    ("costs", COSTS_HEADER, COSTS_GOOD, "SSE,,stock,0.0001,-3", "slippage_ticks", "'-3'", "must not be negative"),
    ("costs", COSTS_HEADER, COSTS_GOOD, ",,stock,0.0001,0", "market", "''", "must not be empty"),
    ("limits", LIMITS_HEADER, LIMITS_GOOD, "SSE,600999,20251010,14.52,11.88", "code", "'600999'",
     "unknown instrument SSE.600999"),
    ("limits", LIMITS_HEADER, LIMITS_GOOD, "SSE,600000,20251011,14.52,11.88", "trade_date", "'20251011'",
     "not a trading day of the SSE calendar"),
    ("limits", LIMITS_HEADER, LIMITS_GOOD, "SSE,600000,20251010,14.52,0", "limit_down", "'0'", "must be positive"),
    ("limits", LIMITS_HEADER, LIMITS_GOOD, "SSE,600000,20251010,11.00,11.88", "limit_up", "'11.00'",
     "below limit_down"),
    ("limits", LIMITS_HEADER, LIMITS_GOOD, "SSE,600000,20251010,,11.88", "limit_up", "''", "not a finite number"),
    ("limits", LIMITS_HEADER, LIMITS_GOOD, "SSE,600000,2025-10-10,14.52,11.88", "trade_date", "'2025-10-10'",
     "not a date YYYYMMDD"),
])
def test_bad_costs_and_limits_are_refused(store, tmp_path, kind, header, good, row, column, value, why):
    """A bad row names the file, row, column and value; nothing of the file is imported."""
    f = write_file(tmp_path / (kind + ".csv"), [header, good, row])
    with pytest.raises(ImportError_) as err:
        import_files(store, kind, [f])
    assert str(err.value).startswith(f"{f}: row 2, column '{column}', value {value}: ") and why in str(err.value)
    assert rows(store, f"SELECT count(*) FROM {kind}") == [(0,)]


def test_duplicate_costs_rows_are_refused(store, tmp_path):
    f = write_file(tmp_path / "costs.csv", ["market,variety,kind,commission_rate", "SHFE,RB,,0.0001",
                                           "SHFE,RB,,0.0002"])
    with pytest.raises(ImportError_, match=r"row 2, column 'kind', value '': duplicate row for key market, "
                                           r"variety, kind"):
        import_files(store, "costs", [f])


def test_limits_are_imported(store, tmp_path):
    f = write_file(tmp_path / "lim.csv", ["market,code,trade_date,limit_up,limit_down",
                                         "SSE,600000,20251010,14.52,11.88",
                                         "SHFE,RB2601,20251013,3338,2902",
                                         "SHFE,RB2601,20251010,3300,3300"])
    assert import_files(store, "limits", [f]) == {"limits": 3}
    assert rows(store, "SELECT * FROM limits ORDER BY market, code, trade_date") == [
        ("SHFE", "RB2601", 20251010, 3300.0, 3300.0), ("SHFE", "RB2601", 20251013, 3338.0, 2902.0),
        ("SSE", "600000", 20251010, 14.52, 11.88)]


def test_limits_of_a_market_without_a_calendar_are_refused(store, tmp_path):
    import_files(store, "instruments", [write_file(tmp_path / "ins.csv", ["market,code,name,kind",
                                                                         "DCE,M2601,meal,future"])])
    f = write_file(tmp_path / "lim.csv", ["market,code,trade_date,limit_up,limit_down", "DCE,M2601,20251010,3100,2700"])
    with pytest.raises(ImportError_, match=r"row 1, column 'market', value 'DCE': no trading calendar for this "
                                           r"market in the store \(import the calendar first\)"):
        import_files(store, "limits", [f])


def test_stores_without_the_trading_columns_and_tables_are_upgraded_on_import(store, tmp_path):
    written_before_trading_rules(store)
    f = write_file(tmp_path / "lim.csv", ["market,code,trade_date,limit_up,limit_down",
                                          "SSE,600000,20251010,14.52,11.88"])
    import_files(store, "limits", [f])
    # rows stored before the columns existed hold NULL: the host applies the defaults of their kind
    assert rows(store, "SELECT code, margin_ratio, lot_size FROM instruments ORDER BY code") == [
        ("000300", None, None), ("600000", None, None), ("RB0000", None, None), ("RB2601", None, None)]
    assert rows(store, "SELECT count(*) FROM limits") == [(1,)]
    assert rows(store, "SELECT count(*) FROM costs") == [(0,)]
