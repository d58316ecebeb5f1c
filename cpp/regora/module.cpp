// Module definition of `telvar.api.regora._regora`: the names bound at import
// (in this order; a missing one fails the import), the cache directory
// constant and the functions in definition order.
#include "regora/regora.hpp"

#include "common/kmatrix_layout_check.hpp"

namespace telvar::regora {

ModuleGlobals &module_globals() {
    static ModuleGlobals globals;
    return globals;
}

} // namespace telvar::regora

using namespace telvar;
using namespace telvar::regora;

static void bind_imports(const ModuleGlobals &g) {
    g.import_module("os", "os");
    g.import_from("collections", {"OrderedDict"});
    g.import_module("numpy", "np");
    g.import_from("math", {"isnan"});
    g.import_from("telvar.kestrum", {"numkern"});
    g.import_from("telvar.kestrum.comm", {"tvcmd"});
    g.import_from("telvar.kestrum.language", {"text"});
    g.import_from("telvar.kestrum.sysmodel", {"gv", "smm"});
    g.import_module("telvar.kestrum.sysmodel", "cnt");
    g.import_from("telvar.kestrum.sysmodel",
                  {"synthetic_k_data_rule_map", "adjust_topmost_rule_map"});
    g.import_from("telvar.kestrum.uclass",
                  {"KDataItem", "AdjKDataItem", "RegKDataItem", "AdjRegKDataItem"});
    g.import_from("telvar.kestrum.utils.utilfunc", {"append_or_assign_2d_array_axis0", "load_mat"});
    g.import_from("telvar.kestrum.utils.datetimefunc", {"mft_to_int_format", "int_date_to_ordinal"});
    g.import_from("telvar.kestrum.utils.exceptions", {"TvDataError", "UnExpectError"});
    g.import_from("telvar.kestrum.ufuncs",
                  {"todotmc", "calc_hash_value", "load_mat_cache", "save_mat_cache", "can_cache",
                   "reject_mat_cache"});
    g.import_from("telvar.api.facstore._factors", {"get_factor_by_factor"});
    g.import_from("telvar.api.history._history",
                  {"get_trading_time", "get_main_contract", "get_trading_days",
                   "get_k_data_multi"});
    kmatrix::require_layout_of(g("gv"));
}

NB_MODULE(_regora, m) {
    ModuleGlobals &g = module_globals();
    g.attach(m);
    bind_imports(g);
    m.attr("SYNTHETIC_MATRIX_DIR") = "TelvarSyntheticMatrix";

    // Registration indices
    m.def("get_instruments", &get_instruments,
          nb::sig("def get_instruments(target_idxs: numpy.typing.ArrayLike, bar_pos: float, "
                  "length: int = 1) -> collections.OrderedDict"),
          "Instrument records of targets at a strategy bar.\n\n"
          "target_idxs: target indices (positions in the run's target list).\n"
          "bar_pos: strategy bar position; NaN or a negative value gives an empty result.\n"
          "length: number of trading days back from the bar's date.\n"
          "Returns an OrderedDict keyed by target, from the framework's instrument table.");
    m.def("check_reg_k_data_precondition", &check_reg_k_data_precondition,
          nb::sig("def check_reg_k_data_precondition(frequency_i: int, freq_num: int) -> None"),
          "Raise ValueError when bars of this frequency cannot be registered in this run.\n\n"
          "frequency_i: frequency code (tick 0, min 1, day 2, week 3, month 4, year 5).\n"
          "freq_num: units per bar.\n"
          "A strategy on daily or coarser bars may register only daily or coarser bars; an\n"
          "intraday strategy no frequency finer than its own; ticks only one unit per bar.");
    m.def("gen_empty_reg_k_data_idx", &gen_empty_reg_k_data_idx,
          nb::sig("def gen_empty_reg_k_data_idx(targets_len: int, "
                  "adjust: bool = False) -> numpy.ndarray"),
          "An empty registration index: targets_len rows, 4 columns (7 with adjust).\n\n"
          "Item columns (0, 2, 4, 6) are NaN, block columns (1, 5) 0, column 3 the target\n"
          "index 0, 1, 2, ...; float64.");
    m.def("construct_k_data_reg_idx", &construct_k_data_reg_idx,
          nb::sig("def construct_k_data_reg_idx(frequency_i: int, freq_num: int, "
                  "adjust: bool) -> numpy.ndarray"),
          "The registration index of the registered bars of (frequency_i, freq_num).\n\n"
          "One float row per target; columns: 0 K-data item position, 1 block, 2 first row of\n"
          "the target's forming bar in the fresh-bar store (NaN if none), 3 target index; with\n"
          "adjust True also 4 adjusted item position, 5 block, 6 first adjusted forming-bar row.\n"
          "Positions of items not registered yet are NaN.");
    m.def("get_reg_idx", &get_reg_idx,
          nb::sig("def get_reg_idx(reg_id: numpy.ndarray | int, "
                  "target_indices: numpy.typing.ArrayLike) -> numpy.ndarray | None"),
          "Rows of a registration index for some targets.\n\n"
          "reg_id: a registration index (its rows are selected) or a registration id\n"
          "freq_num * 100 + frequency_i * 10 + (0 plain, 1 adjusted).\n"
          "target_indices: the target indices wanted, in the order wanted.\n"
          "Returns the index rows, or None when the id names no registration.");
    // Base-frequency fetch
    m.def("fetch_1_freq_k_data", &fetch_1_freq_k_data,
          nb::sig("def fetch_1_freq_k_data(frequency: str, date_span: int, filled_up: bool) -> int"),
          "Fetch one-unit minute or day bars of every run target into the K-data registry.\n\n"
          "frequency: 'min' or 'day'.\n"
          "date_span: trading days by which the request starts earlier (0 for none).\n"
          "filled_up: passed to the host; True fills untraded slots.\n"
          "Returns the position of the new item in cnt.vr.g_TelvarKDataList.");
    m.def("_check_cache_k_data_legal", &_check_cache_k_data_legal,
          nb::sig("def _check_cache_k_data_legal(real_keys: numpy.typing.ArrayLike, "
                  "cache_value_keys: numpy.typing.ArrayLike) -> numpy.bool_"),
          "True when every key of real_keys is among cache_value_keys.");
    // Bar synthesis
    m.def("synthetic_1_freq_k_data", &synthetic_1_freq_k_data,
          nb::sig("def synthetic_1_freq_k_data(frequency_i: int) -> int"),
          "Make sure one-unit bars of frequency code frequency_i are in the K-data registry.\n\n"
          "Minute and day bars are fetched, coarser ones combined from their base.\n"
          "Returns the item's position in cnt.vr.g_TelvarKDataList.");
    m.def("synthetic_n_freq_k_data", &synthetic_n_freq_k_data,
          nb::sig("def synthetic_n_freq_k_data(frequency_i: int, freq_num: int) -> int"),
          "Make sure completed freq_num-unit bars of frequency code frequency_i are registered.\n\n"
          "Returns the item's position in cnt.vr.g_TelvarKDataList.");
    // Forming bars
    m.def("synthetic_fresh_matrix", &synthetic_fresh_matrix,
          nb::sig("def synthetic_fresh_matrix(frequency_i: int, freq_num: int) -> int"),
          "Compute the bar of (frequency_i, freq_num) still forming at every strategy bar.\n\n"
          "The bars go into rows of the fresh-bar store cnt.vr.g_TelvarDataValueFresh.\n"
          "Returns the position of the registration item in cnt.vr.g_TelvarRegKDataInfo.");
    // Registration entry
    m.def("reg_k_data", &reg_k_data,
          nb::sig("def reg_k_data(frequency: str, freq_num: int, "
                  "adjust: bool = False) -> numpy.ndarray"),
          "Register bars a strategy will read on every bar; call once, in init.\n\n"
          "frequency: 'min', 'day', 'week', 'month' or 'year' (or 'tick' with freq_num 1).\n"
          "freq_num: units per bar, e.g. 15 for 15-minute bars.\n"
          "adjust: True also registers prices adjusted across main-contract rolls.\n"
          "Returns the registration index, one float row per target: 4 columns, 7 with\n"
          "adjust. Pass it to get_reg_k_data (raw prices) or, for adjusted prices, to\n"
          "get_reg_k_data_adj.");
    // Price-adjustment factors
    m.def("find_exchange_day", &find_exchange_day,
          nb::sig("def find_exchange_day(date_tl: numpy.typing.ArrayLike, "
                  "day_pos: numpy.typing.ArrayLike, target_dict: object, begin_date: int, "
                  "end_date: int) -> numpy.ndarray"),
          "Column stretches of a target served by one underlying contract.\n\n"
          "date_tl: the base time line's days (floored); day_pos: its day-position row;\n"
          "target_dict: one target; begin_date, end_date: integer dates YYYYMMDD.\n"
          "Returns [b0, e0, b1, e1, ...]: stretch k covers columns b_k (inclusive) to e_k;\n"
          "empty when the target has no main-contract history.");
    m.def("calc_1_freq_matrix_adj", &calc_1_freq_matrix_adj,
          nb::sig("def calc_1_freq_matrix_adj(frequency_i: int) -> int"),
          "Build the adjusted one-unit bars of a base frequency code (min or day).\n\n"
          "Every contract stretch after the first is scaled so that its first open continues\n"
          "from the previous stretch's last close. Returns the item's position in\n"
          "cnt.vr.g_TelvarKDataList_Adj.");
    // Adjusted synthesis
    m.def("synthetic_matrix_adj", &synthetic_matrix_adj,
          nb::sig("def synthetic_matrix_adj(frequency_i: int, freq_num: int) -> int"),
          "Make sure adjusted completed bars of (frequency_i, freq_num) are registered.\n\n"
          "Returns the item's position in cnt.vr.g_TelvarKDataList_Adj.");
    m.def("synthetic_fresh_matrix_adj", &synthetic_fresh_matrix_adj,
          nb::sig("def synthetic_fresh_matrix_adj(frequency_i: int, freq_num: int) -> int"),
          "Compute the adjusted bar of (frequency_i, freq_num) forming at every strategy bar.\n\n"
          "Returns the position of the item in cnt.vr.g_TelvarRegKDataInfo_Adj.");
    // User indicators and data
    m.def("reg_user_indices", &reg_user_indices,
          nb::sig("def reg_user_indices(indices_func: collections.abc.Callable[[object], "
                  "object]) -> list[int]"),
          "Register an indicator computed by indices_func(context) at every strategy bar.\n\n"
          "indices_func gets the user context with context.bar_num set and returns a\n"
          "number or a 1-D array of the same length on every bar.\n"
          "Returns the row numbers of its values, for get_reg_user_indicator.");
    m.def("reg_user_data", &reg_user_data,
          nb::sig("def reg_user_data(time_line: numpy.typing.ArrayLike, "
                  "data: numpy.typing.ArrayLike) -> numpy.ndarray"),
          "Register a time-stamped series, aligned to the strategy's bars.\n\n"
          "time_line: 1-D serial day numbers; data: one value per time (1-D) or one row\n"
          "per time (2-D). Each strategy bar gets the latest value stamped strictly before it.\n"
          "Returns the row numbers of the series, for get_reg_user_data.");
    // Factors
    m.def("reg_factor", &reg_factor,
          nb::sig("def reg_factor(factors: str | collections.abc.Sequence[str], "
                  "targets: collections.abc.Sequence, begin_date: int | str, "
                  "end_date: int | str) -> numpy.ndarray"),
          "Register daily factor values of targets.\n\n"
          "factors: list of factor names; targets: the targets; begin_date, end_date: YYYYMMDD.\n"
          "Returns an integer array, one row per factor and one column per target: the factor\n"
          "rows to pass to get_reg_factor.");
    // User indicator and data windows
    m.def("get_reg_user_indicator", &get_reg_user_indicator,
          nb::sig("def get_reg_user_indicator(reg_idx: numpy.typing.ArrayLike, bar_pos: float, "
                  "length: int) -> tuple[numpy.ndarray, numpy.ndarray]"),
          "The last length values of registered user indicators at a strategy bar.\n\n"
          "reg_idx: rows from reg_user_indices; bar_pos: strategy bar (NaN for the last,\n"
          "negative from the end); length: window length.\n"
          "Returns (times, values): values has one row per row asked and one column per bar\n"
          "of the window, which is shorter near the start of the run (no padding).");
    m.def("get_reg_user_data", &get_reg_user_data,
          nb::sig("def get_reg_user_data(reg_idx: numpy.typing.ArrayLike, bar_pos: float, "
                  "length: int) -> tuple[numpy.ndarray, numpy.ndarray]"),
          "The last length values of registered user data at a strategy bar.\n\n"
          "reg_idx: rows from reg_user_data; bar_pos and length as for\n"
          "get_reg_user_indicator. Returns (times, values), unpadded.");
    // Registered K-data window
    m.def("get_reg_k_data", &get_reg_k_data,
          nb::sig("def get_reg_k_data(reg_idx: numpy.ndarray, bar_pos: float, length: int, "
                  "fill_up: bool) -> numpy.ndarray"),
          "The last length bars of every registered target at a strategy bar, raw prices.\n\n"
          "reg_idx: the index from reg_k_data; bar_pos: strategy bar position\n"
          "(context.bar_pos; NaN for the last, negative from the end); length: bars per\n"
          "target; fill_up: True for every bar of the time line, False for the bars in\n"
          "which the target traded (numkern.tvCalcTradedMask: filled bars left out).\n"
          "Returns an object array of length * targets rows (target-major blocks, oldest\n"
          "first, the newest being the bar still forming) and 9 columns: target index, bar\n"
          "time, open, high, low, close, volume, turnover, open interest; NaN where there is\n"
          "no bar. Use .astype(float) for arithmetic.\n"
          "An adjusted registration read here gives raw prices: use get_reg_k_data_adj.");
    // Adjusted window
    m.def("get_reg_k_data_adj", &get_reg_k_data_adj,
          nb::sig("def get_reg_k_data_adj(reg_idx: numpy.ndarray, bar_pos: float, length: int, "
                  "fill_up: bool) -> numpy.ndarray"),
          "The window of get_reg_k_data with prices adjusted across main-contract rolls.\n\n"
          "reg_idx: the 7-column index from reg_k_data(..., adjust=True); bar_pos, length,\n"
          "fill_up as for get_reg_k_data. Columns 2-5 (open, high, low, close) are\n"
          "adjusted, volume, turnover and open interest raw. The plain window\n"
          "get_reg_k_data given the same index returns raw prices.");
    // Factor window
    m.def("get_reg_factor", &get_reg_factor,
          nb::sig("def get_reg_factor(reg_idx: numpy.typing.ArrayLike, pos: float, "
                  "length: int) -> tuple[numpy.ndarray, numpy.ndarray]"),
          "The last length daily values of registered factors at a strategy bar.\n\n"
          "reg_idx: factor rows from reg_factor; pos: strategy bar (NaN for the last,\n"
          "negative from the end); length: days.\n"
          "Returns (dates, values): values has one row per factor row asked and length\n"
          "columns, right-aligned and NaN-padded.");
}
