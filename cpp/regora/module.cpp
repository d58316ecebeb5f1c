// Module definition of `telvar.api.regora._regora`: the names bound at import
// (in this order; a missing one fails the import), the cache directory
// constant and the functions in definition order.
#include "regora/regora.hpp"

namespace telvar {

ModuleGlobals &regora_globals() {
    static ModuleGlobals globals;
    return globals;
}

} // namespace telvar

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
                  {"todotmc", "calc_hash_value", "load_mat_cache", "save_mat_cache", "can_cache"});
    g.import_from("telvar.api.facstore._factors", {"get_factor_by_factor"});
    g.import_from("telvar.api.history._history",
                  {"get_trading_time", "get_main_contract", "get_trading_days",
                   "get_k_data_multi"});
}

NB_MODULE(_regora, m) {
    ModuleGlobals &g = regora_globals();
    g.attach(m);
    bind_imports(g);
    m.attr("SYNTHETIC_MATRIX_DIR") = "TelvarSyntheticMatrix";

    // Registration indices
    m.def("get_instruments", &get_instruments);
    m.def("check_reg_k_data_precondition", &check_reg_k_data_precondition);
    m.def("gen_empty_reg_k_data_idx", &gen_empty_reg_k_data_idx);
    m.def("construct_k_data_reg_idx", &construct_k_data_reg_idx);
    m.def("get_reg_idx", &get_reg_idx);
    // Base-frequency fetch
    m.def("fetch_1_freq_k_data", &fetch_1_freq_k_data);
    m.def("_check_cache_k_data_legal", &_check_cache_k_data_legal);
    // Bar synthesis
    m.def("synthetic_1_freq_k_data", &synthetic_1_freq_k_data);
    m.def("synthetic_n_freq_k_data", &synthetic_n_freq_k_data);
    // Forming bars
    m.def("synthetic_fresh_matrix", &synthetic_fresh_matrix);
    // Registration entry
    m.def("reg_k_data", &reg_k_data);
    // Price-adjustment factors
    m.def("find_exchange_day", &find_exchange_day);
    m.def("calc_1_freq_matrix_adj", &calc_1_freq_matrix_adj);
    // Adjusted synthesis
    m.def("synthetic_matrix_adj", &synthetic_matrix_adj);
    m.def("synthetic_fresh_matrix_adj", &synthetic_fresh_matrix_adj);
    // User indicators and data
    m.def("reg_user_indices", &reg_user_indices);
    m.def("reg_user_data", &reg_user_data);
    // Factors
    m.def("reg_factor", &reg_factor);
    // User indicator and data windows
    m.def("get_reg_user_indicator", &get_reg_user_indicator);
    m.def("get_reg_user_data", &get_reg_user_data);
    // Registered K-data window
    m.def("get_reg_k_data", &get_reg_k_data);
    // Adjusted window
    m.def("get_reg_k_data_adj", &get_reg_k_data_adj);
    // Factor window
    m.def("get_reg_factor", &get_reg_factor);
}
