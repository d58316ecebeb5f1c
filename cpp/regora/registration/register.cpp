// reg_k_data: declares K-data a strategy reads on every bar. Validates the
// request, makes sure the bars exist (fetch, synthesis), computes the forming
// bars and returns the registration index, also stored on the registration
// items for look-up by registration id.
#include "common/args.hpp"
#include "regora/support.hpp"

#include <cmath>

namespace telvar::regora {

namespace {

// True only for the True object (a numpy bool counts as its Python value);
// anything else that is not a bool is refused, so a truthy 1 cannot size the
// index as adjusted while skipping the adjusted synthesis.
bool adjust_flag(nb::handle adjust) {
    if (PyBool_Check(adjust.ptr()))
        return adjust.ptr() == Py_True;
    nb::object np_bool = global("np").attr("bool_");
    if (nb::isinstance(adjust, np_bool))
        return truthy(adjust);
    raise_type_error("reg_k_data() adjust must be True or False");
}

// Both the plain and the adjusted registration of the request exist.
bool registered(nb::handle frequency_i, nb::handle freq_num) {
    nb::object state = run_state();
    for (const char *name : {"g_TelvarRegKDataInfo", "g_TelvarRegKDataInfo_Adj"})
        if (as_int(state.attr(name).attr("find_pos")(frequency_i, freq_num)) < 0)
            return false;
    return true;
}

bool cell_is_nan(nb::handle reg_idx, long long column) {
    return std::isnan(nb::cast<double>(getitem(reg_idx, nb::make_tuple(0, column))));
}

} // namespace

// def reg_k_data(frequency, freq_num, adjust=False)
nb::object reg_k_data(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("reg_k_data", {"frequency", "freq_num", "adjust"}, 2);
    auto v = sig.bind(args, kwargs);
    const bool adjust = v[2].is_valid() && adjust_flag(v[2]);
    nb::object adjust_obj = nb::bool_(adjust);
    nb::object freq_num = v[1];

    long long reg_pos = -1;
    long long reg_adj_pos = -1;
    nb::object frequency_i = global("gv").attr("frequency_to_int")(v[0]);
    call_module("check_reg_k_data_precondition", frequency_i, freq_num);
    nb::object reg_idx = call_module("construct_k_data_reg_idx", frequency_i, freq_num, adjust_obj);

    const bool have_rows = py_len(reg_idx) > 0;
    // Done only when both registrations exist, not merely both K-data items:
    // adjusted synthesis of another frequency builds adjusted base items as a
    // by-product, and returning then would leave this request without its
    // forming bars.
    if (have_rows && !cell_is_nan(reg_idx, 0) && adjust && !cell_is_nan(reg_idx, 4) &&
        registered(frequency_i, freq_num))
        return reg_idx;

    call_module("synthetic_1_freq_k_data", frequency_i);
    call_module("synthetic_n_freq_k_data", frequency_i, freq_num);
    reg_pos = as_int(call_module("synthetic_fresh_matrix", frequency_i, freq_num));
    if (adjust) {
        call_module("synthetic_matrix_adj", frequency_i, freq_num);
        reg_adj_pos = as_int(call_module("synthetic_fresh_matrix_adj", frequency_i, freq_num));
    }

    reg_idx = call_module("construct_k_data_reg_idx", frequency_i, freq_num, adjust_obj);
    if (reg_pos > -1)
        getitem(run_state().attr("g_TelvarRegKDataInfo"), reg_pos).attr("RegIdx") = reg_idx;
    if (reg_adj_pos > -1)
        getitem(run_state().attr("g_TelvarRegKDataInfo_Adj"), reg_adj_pos).attr("RegIdx") =
            reg_idx;
    return reg_idx;
}

} // namespace telvar::regora
