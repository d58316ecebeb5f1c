// telvar.api.history._history: the names it binds at import, its constant,
// and its public functions in the order the module defines them.
#include "history/history.hpp"

#include "common/kmatrix_layout_check.hpp"

namespace telvar::history {

ModuleGlobals &module_globals() {
    static ModuleGlobals globals;
    return globals;
}

} // namespace telvar::history

namespace {

using namespace telvar;
using namespace telvar::history;

// Framework names, bound in this order; a missing one fails the import.
void bind_framework_names() {
    const ModuleGlobals &g = module_globals();
    g.import_module("os", "os");
    // `Iterable` left `collections` for `collections.abc` in Python 3.10.
    g.import_from("collections.abc", {"Iterable"});
    g.import_module("numpy", "np");
    g.import_module("pandas", "pd");
    g.import_from("telvar.kestrum", {"numkern"});
    g.import_module("telvar.kestrum.sysmodel", "cnt");
    g.import_from("telvar.kestrum.sysmodel", {"gv"});
    g.import_from("telvar.kestrum.comm", {"tvcmd"});
    g.import_from("telvar.kestrum.utils.logger", {"user_warning"});
    g.import_from("telvar.kestrum.utils.exceptions", {"TvReturnError", "DataLoadError", "DeprecatedWarning"});
    g.import_from("telvar.kestrum.utils.utilfunc",
                  {"load_mat", "save_mat", "run_ignore_exception", "random_file_name", "check_expired_file"});
    g.import_from("telvar.kestrum.utils.utilcls", {"DotDict", "OrderedDict"});
    g.import_from("telvar.kestrum.utils.datetimefunc", {"utils_dt_weekday", "utils_dt_month", "utils_dt_year"});
    g.import_from("telvar.kestrum.utils.datetimefunc", {"mft_to_datetime", "mft_to_str_format", "to_int_now_date"});
    g.import_from("telvar.kestrum.language", {"text"});
    g.import_from("telvar.kestrum.ufuncs",
                  {"todictmc", "clear_mat_include_cur_trade_date", "clear_mat_include_zero_date", "todotmc",
                   "toordereddict", "calc_hash_value", "load_mat_cache", "save_mat_cache", "can_cache",
                   "reject_mat_cache", "reject_cache_file"});
    kmatrix::require_layout_of(g("gv"));
}

} // namespace

NB_MODULE(_history, m) {
    module_globals().attach(m);
    bind_framework_names();
    m.attr("HISTORY_DATA_CACHE") = "TelvarHistoryDataCache";

    m.def("ask_get_k_data", &ask_get_k_data,
          nb::sig("def ask_get_k_data(**kwargs) -> None"),
          "Announce a bar download in the host's log and ask the host to prepare it.\n"
          "\n"
          "Keywords (all required): targets, begin_date, end_date, frequency, freq_num, fq.");
    m.def("ask_get_tick_data", &ask_get_tick_data,
          nb::sig("def ask_get_tick_data(**kwargs) -> None"),
          "Announce tick downloads in the host's log and ask the host to prepare them.\n"
          "\n"
          "Keywords (all required): targets, begin_date, end_date, fq.");
    m.def("load_mat_from_split_file", &load_mat_from_split_file,
          nb::sig("def load_mat_from_split_file(file_paths: list[str]) -> tuple"),
          "Read the part files of one multi-target bar answer.\n"
          "\n"
          "file_paths: the parts' paths, in order.\n"
          "Returns (prices, tick_prices): the parts' KArray and TickPriceData joined.");
    m.def("load_k_data_from_local", &load_k_data_from_local,
          nb::sig("def load_k_data_from_local(mat_path: str) -> tuple"),
          "Read a multi-target bar file the host wrote.\n"
          "\n"
          "mat_path: the path the host answered (may be empty).\n"
          "Returns (error, result): error None or the exception (not raised); result the\n"
          "dict TimeLine, DayPos, TradeFreshPos, KArray, TickPriceData.");
    m.def("load_k_data_from_pro", &load_k_data_from_pro,
          nb::sig("def load_k_data_from_pro(params: dict) -> tuple"),
          "Ask the host for bars of many targets and wait for its file.\n"
          "\n"
          "params: dict with targets, frequency, freq_num, begin_date, end_date, filled_up,\n"
          "fq_type, need_show_ui_tip.\n"
          "Returns (error, path): error None or the host's TvReturnError (not raised).");
    m.def("load_tick_data_from_pro", &load_tick_data_from_pro,
          nb::sig("def load_tick_data_from_pro(market: str, code: str, date: int, fq_type: str, "
                  "combine_5th: bool = True, "
                  "check_permission: bool = True) -> telvar.kestrum.utils.utilcls.DotDict"),
          "Ticks of one instrument on one trading day, with five quote levels.\n"
          "\n"
          "market, code: the instrument; date: trading day YYYYMMDD; fq_type: 'NA', 'FWard'\n"
          "or 'BWard'; combine_5th: keep the five quote levels as 1-D arrays;\n"
          "check_permission: passed to the host. Returns a DotDict of 1-D arrays (Time, Price, Volume, VolumeTick,\n"
          "TurnOver, OpenInterest, BidPrice1..5, BidVolume1..5, AskPrice1..5, AskVolume1..5),\n"
          "empty when the day has no ticks.");

    m.def("get_k_data_multi", &get_k_data_multi,
          nb::sig("def get_k_data_multi(params: dict) -> dict"),
          "Bars of many targets on one common time line.\n"
          "\n"
          "params: dict as for load_k_data_from_pro.\n"
          "Returns dict: TimeLine (bar times), DayPos (position within the trading day, 1\n"
          "first), KArray (7 field rows per target: open, high, low, close, volume,\n"
          "turnover, open interest; one column per bar), TradeFreshPos, TickPriceData.\n"
          "Raises the host's or the file's error.");
    m.def("get_k_data_independent_target", &get_k_data_independent_target,
          nb::sig("def get_k_data_independent_target(targets: list, frequency: str, freq_num: int, "
                  "begin_date, end_date, filled_up: bool, fq: str) -> list[numpy.ndarray]"),
          "Each target's bars on its own time line.\n"
          "\n"
          "targets: list of 'MARKET.CODE' keys or {'Market', 'Code'} records; frequency:\n"
          "'min', 'day', 'week', 'month' or 'year'; freq_num: units per bar; begin_date,\n"
          "end_date: YYYYMMDD; filled_up: False drops bars without trades; fq: 'NA', 'FWard'\n"
          "or 'BWard'.\n"
          "Returns one 8 x bars float array per target (rows: bar time, open, high, low,\n"
          "close, volume, turnover, open interest; oldest bar first), np.array([]) for a\n"
          "target without bars.");
    m.def("get_k_data_n", &get_k_data_n,
          nb::sig("def get_k_data_n(targets: list, frequency: str, fre_num: int, n_count: int, "
                  "end_date, filled_up: bool, fq: str) -> list"),
          "The last n_count bars of each target up to end_date.\n"
          "\n"
          "targets, frequency, filled_up, fq as for get_k_data_independent_target;\n"
          "fre_num: units per bar; n_count: bars per target; end_date: YYYYMMDD.\n"
          "Returns one dict per target of 1-D arrays Time, Open, High, Low, Close, Volume,\n"
          "TurnOver, OpenInterest, BeginBar (oldest first), np.array([]) for a target\n"
          "without bars.");

    m.def("get_main_contract", &get_main_contract,
          nb::sig("def get_main_contract(targets: list, begin_date, end_date) -> dict"),
          "The main contract of continuous futures targets on each trading day.\n"
          "\n"
          "targets: list of targets; begin_date, end_date: YYYYMMDD.\n"
          "Returns {'MARKET.CODE': (dates, contract codes)}, empty when none applies.");
    m.def("get_trading_days", &get_trading_days,
          nb::sig("def get_trading_days(begin_day: int, end_day: int) -> numpy.ndarray"),
          "The trading days from begin_day to end_day (YYYYMMDD), as a read-only int64 array.\n"
          "\n"
          "Raises ValueError when no trading day lies on or after begin_day, or on or\n"
          "before end_day.");
    m.def("get_trading_days_condition", &get_trading_days_condition,
          nb::sig("def get_trading_days_condition(market: str, begin_day: int, "
                  "end_day: int) -> numpy.ndarray"),
          "One market's trading days from begin_day to end_day, as serial day numbers (float).");
    m.def("get_trading_time", &get_trading_time,
          nb::sig("def get_trading_time(targets: list, frequency: str, begin_day, end_day, "
                  "freq_num: int = 1) -> tuple[numpy.ndarray, numpy.ndarray]"),
          "The bar times of a frequency over the targets' sessions.\n"
          "\n"
          "targets: list of targets; frequency: 'min', 'day', 'week', 'month' or 'year';\n"
          "begin_day, end_day: YYYYMMDD; freq_num: units per bar.\n"
          "Returns (times, day_pos): bar end times (serial days) and each bar's position\n"
          "within its trading day.");
    m.def("get_history_instruments", &get_history_instruments,
          nb::sig("def get_history_instruments(targets: list, begin_date, end_date) -> dict"),
          "The instrument (contract) behind each target on each trading day.\n"
          "\n"
          "targets: list of targets; begin_date, end_date: YYYYMMDD.\n"
          "Returns {'MARKET.CODE': (dates, codes)}.");
    m.def("get_future_info_ex", &get_future_info_ex,
          nb::sig("def get_future_info_ex(target_list) -> list[dict]"),
          "Information records of futures targets (name, variety, multiplier, price tick,\n"
          "list and delist dates, main contract...), a list of dicts.");
    m.def("get_stock_info_ex", &get_stock_info_ex,
          nb::sig("def get_stock_info_ex(target_list) -> list[dict]"),
          "Information records of stock targets, a list of dicts.");
    m.def("get_target_info", &get_target_info,
          nb::sig("def get_target_info(targets: list) -> list[dict]"),
          "Information records of targets, a list of dicts (kept for get_target_info_v2).");
    m.def("get_code_list", &get_code_list,
          nb::sig("def get_code_list(blocks: list, int_date) -> list"),
          "The members of code lists on a date.\n"
          "\n"
          "blocks: list of code-list (block) names; int_date: YYYYMMDD.\n"
          "Returns one flat list of {'Market', 'Code'} records, block after block.");
    m.def("get_code_list_set", &get_code_list_set,
          nb::sig("def get_code_list_set(blocks: str, begin_date, end_date) -> list"),
          "The membership records of code lists over a date range.\n"
          "\n"
          "blocks: code-list (block) names; begin_date, end_date: YYYYMMDD (end_date 0:\n"
          "up to now, not cached).\n"
          "Returns one flat list of records, block after block.");
    m.def("get_bar_tick_data", &get_bar_tick_data,
          nb::sig("def get_bar_tick_data(target_idx: int, bar_pos: int, "
                  "fq_type: str = 'NA') -> telvar.kestrum.utils.utilcls.DotDict"),
          "The ticks inside one strategy bar of a target.\n"
          "\n"
          "target_idx: index into the run's targets; bar_pos: strategy bar position;\n"
          "fq_type: 'NA', 'FWard' or 'BWard'. Returns a DotDict of tick arrays as\n"
          "load_tick_data_from_pro does, cut to the bar.");

    m.def("get_target_info_v2", &get_target_info_v2,
          nb::sig("def get_target_info_v2(target_idx) -> dict | list[dict]"),
          "The information record kept by get_target_info for a run target index, or a\n"
          "list of records for a sequence of indices.");
    m.def("get_bar", &get_bar,
          nb::sig("def get_bar(target_idx: numpy.ndarray, offset: int = 0) -> dict | None"),
          "The strategy's own bar at the current position (plus offset) for some targets.\n"
          "\n"
          "target_idx: integer array of run target indices; offset: bars from the current one.\n"
          "Returns a dict of arrays, one value per target: code, number_bar, time_bar, open,\n"
          "high, low, close, volume, amount, open_interest; None past the last bar.");

    m.def("get_future_contracts", &get_future_contracts,
          nb::sig("def get_future_contracts(date, market: str, varieties: list[str]) -> dict"),
          "The listed contracts of futures varieties on a date.\n"
          "\n"
          "date: YYYYMMDD; market: e.g. 'SHFE'; varieties: variety codes, e.g. ['RB'].\n"
          "Returns {variety: [contract codes]}.");
    m.def("get_strategy_id", &get_strategy_id,
          nb::sig("def get_strategy_id()"),
          "The host's id of the running strategy.");
    m.def("get_performance", &get_performance,
          nb::sig("def get_performance(strategy_id)"),
          "The host's back-test performance record of a strategy id.");
}
