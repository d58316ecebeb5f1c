// telvar.api.history._history: the names it binds at import, its constant,
// and its public functions in the order the module defines them.
#include "history.hpp"

namespace telvar {

ModuleGlobals &history_globals() {
    static ModuleGlobals globals;
    return globals;
}

} // namespace telvar

namespace {

using namespace telvar;
using namespace telvar::history;

// Framework names, bound in this order; a missing one fails the import.
void bind_framework_names() {
    const ModuleGlobals &g = history_globals();
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
    g.import_from("telvar.kestrum.language.chinese", {"text"});
    g.import_from("telvar.kestrum.ufuncs",
                  {"todictmc", "clear_mat_include_cur_trade_date", "clear_mat_include_zero_date", "todotmc",
                   "toordereddict", "calc_hash_value", "load_mat_cache", "save_mat_cache", "can_cache"});
}

} // namespace

NB_MODULE(_history, m) {
    history_globals().attach(m);
    bind_framework_names();
    m.attr("HISTORY_DATA_CACHE") = "TelvarHistoryDataCache";

    m.def("ask_get_k_data", &ask_get_k_data, nb::sig("def ask_get_k_data(**kwargs) -> None"));
    m.def("ask_get_tick_data", &ask_get_tick_data, nb::sig("def ask_get_tick_data(**kwargs) -> None"));
    m.def("load_mat_from_split_file", &load_mat_from_split_file,
          nb::sig("def load_mat_from_split_file(file_paths) -> tuple"));
    m.def("load_k_data_from_local", &load_k_data_from_local, nb::sig("def load_k_data_from_local(mat_path) -> tuple"));
    m.def("load_k_data_from_pro", &load_k_data_from_pro, nb::sig("def load_k_data_from_pro(params) -> tuple"));
    m.def("load_tick_data_from_pro", &load_tick_data_from_pro,
          nb::sig("def load_tick_data_from_pro(market, code, date, fq_type, combine_5th=True, check_permission=True)"));

    m.def("get_k_data_multi", &get_k_data_multi, nb::sig("def get_k_data_multi(params) -> dict"));
    m.def("get_k_data_independent_target", &get_k_data_independent_target,
          nb::sig("def get_k_data_independent_target(targets, frequency, freq_num, begin_date, end_date, filled_up, fq) -> list"));
    m.def("get_k_data_n", &get_k_data_n,
          nb::sig("def get_k_data_n(targets, frequency, fre_num, n_count, end_date, filled_up, fq) -> list"));

    m.def("get_main_contract", &get_main_contract,
          nb::sig("def get_main_contract(targets, begin_date, end_date) -> dict"));
    m.def("get_trading_days", &get_trading_days, nb::sig("def get_trading_days(begin_day, end_day) -> np.ndarray"));
    m.def("get_trading_days_condition", &get_trading_days_condition,
          nb::sig("def get_trading_days_condition(market, begin_day, end_day) -> np.ndarray"));
    m.def("get_trading_time", &get_trading_time,
          nb::sig("def get_trading_time(targets, frequency, begin_day, end_day, freq_num=1) -> tuple"));
    m.def("get_history_instruments", &get_history_instruments,
          nb::sig("def get_history_instruments(targets, begin_date, end_date) -> dict"));
    m.def("get_future_info_ex", &get_future_info_ex, nb::sig("def get_future_info_ex(target_list)"));
    m.def("get_stock_info_ex", &get_stock_info_ex, nb::sig("def get_stock_info_ex(target_list)"));
    m.def("get_target_info", &get_target_info, nb::sig("def get_target_info(targets) -> list"));
    m.def("get_code_list", &get_code_list, nb::sig("def get_code_list(blocks: list, int_date) -> list"));
    m.def("get_code_list_set", &get_code_list_set,
          nb::sig("def get_code_list_set(blocks: str, begin_date, end_date) -> list"));
    m.def("get_bar_tick_data", &get_bar_tick_data, nb::sig("def get_bar_tick_data(target_idx, bar_pos, fq_type='NA')"));

    m.def("get_target_info_v2", &get_target_info_v2, nb::sig("def get_target_info_v2(target_idx)"));
    m.def("get_bar", &get_bar, nb::sig("def get_bar(target_idx: 'np.ndarray', offset=0) -> 'dict or None'"));

    m.def("get_future_contracts", &get_future_contracts,
          nb::sig("def get_future_contracts(date, market, varieties) -> dict"));
    m.def("get_strategy_id", &get_strategy_id, nb::sig("def get_strategy_id()"));
    m.def("get_performance", &get_performance, nb::sig("def get_performance(strategy_id)"));
}
