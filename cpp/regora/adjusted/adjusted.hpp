// Helpers shared by the price-adjusted K-data files (factors, synthesis,
// window): the adjusted registries and the consistency checks that must hold
// even when Python runs with -O. Field rows: common/kmatrix_layout.hpp.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "common/kmatrix_layout.hpp"
#include "regora/support.hpp"

namespace telvar::regora::adjusted {

inline nb::object kdata_list_adj() { return run_state().attr("g_TelvarKDataList_Adj"); }
inline nb::object reg_list_adj() { return run_state().attr("g_TelvarRegKDataInfo_Adj"); }

inline long long find_pos_in(nb::handle registry, long long frequency_i, long long freq_num) {
    return as_int(registry.attr("find_pos")(frequency_i, freq_num));
}

inline nb::object frequency_name(long long frequency_i) {
    return global("gv").attr("int_to_frequency")(frequency_i);
}

// AssertionError(`fmt % (count, frequency name)`). Raised whatever the
// interpreter's optimisation level: a missing item would otherwise be looked
// up as position -1, silently taking the registry's last item.
// `fmt` is a Python %-format (UTF-8) taking the count and the name.
[[noreturn]] inline void raise_missing(const char *fmt, long long count, long long frequency_i) {
    nb::object args = nb::make_tuple(count, frequency_name(frequency_i));
    nb::object text = nb::steal(PyUnicode_Format(nb::str(fmt).ptr(), args.ptr()));
    if (!text.is_valid())
        throw nb::python_error();
    raise_with(PyExc_AssertionError, text);
}

inline long long shape_at(nb::handle array, int axis) {
    return as_int(getitem(array.attr("shape"), axis));
}

} // namespace telvar::regora::adjusted
