// Helpers shared by the price-adjusted K-data files (factors, synthesis,
// window): the adjusted registries, field rows of both matrix layouts, and
// the consistency checks that must hold even when Python runs with -O.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

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

// Field rows of the two layouts: the plain K matrix (head rows, then
// KMatrix_Bar_Len rows per target) and the adjusted price matrix (no head,
// Adj_KMatrix_Bar_Len rows per target).
struct Layout {
    long long head;      // head rows of a plain K matrix
    long long bar_len;   // fields per target in a plain matrix
    long long adj_len;   // fields per target in an adjusted matrix
    long long price[4];  // open, high, low, close offsets in a plain block
    long long adj[4];    // the same in an adjusted block
    long long volume;    // offset of the volume in a plain block
    long long bar_end;   // last field offset of a plain block

    static Layout read() {
        Layout l;
        l.head = gv_int("KMatrixPos_End") + 1;
        l.bar_len = gv_int("KMatrix_Bar_Len");
        l.adj_len = gv_int("Adj_KMatrix_Bar_Len");
        const long long plain[4] = {gv_int("KMatrix_Open"), gv_int("KMatrix_High"),
                                    gv_int("KMatrix_Low"), gv_int("KMatrix_Close")};
        const long long adj[4] = {gv_int("Adj_KMatrix_Open"), gv_int("Adj_KMatrix_High"),
                                  gv_int("Adj_KMatrix_Low"), gv_int("Adj_KMatrix_Close")};
        for (int f = 0; f < 4; ++f) {
            l.price[f] = plain[f];
            l.adj[f] = adj[f];
            if (l.price[f] < 0 || l.price[f] >= l.bar_len || l.adj[f] < 0 || l.adj[f] >= l.adj_len)
                raise_value_error("the framework's price field offsets lie outside a bar block");
        }
        l.volume = gv_int("KMatrix_Volume");
        l.bar_end = gv_int("KMatrix_Bar_End");
        return l;
    }

    long long plain_row(long long field, long long target) const {
        return head + target * bar_len + field;
    }
    long long adj_row(long long field, long long target) const { return target * adj_len + field; }
};

inline long long shape_at(nb::handle array, int axis) {
    return as_int(getitem(array.attr("shape"), axis));
}

} // namespace telvar::regora::adjusted
