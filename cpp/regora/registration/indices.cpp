// Registration indices: the handle a strategy gets from reg_k_data and passes
// back on every bar (one row per target: K-data item, block number, first
// row of the forming bar, target index; adjusted registrations add three
// more columns), plus the instrument look-up at a strategy bar.
#include "common/args.hpp"
#include "regora/support.hpp"
#include "common/kmatrix_layout.hpp"

#include <cmath>
#include <cstring>
#include <vector>

namespace telvar::regora {

static constexpr long long PLAIN_COLUMNS = 4;
static constexpr long long ADJUSTED_COLUMNS = 7;

// def get_instruments(target_idxs, bar_pos, length=1)
nb::object get_instruments(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_instruments", {"target_idxs", "bar_pos", "length"}, 2);
    auto v = sig.bind(args, kwargs);
    nb::object length = or_default(v[2], py_int(1));
    nb::object bar_pos = v[1];
    nb::object np = global("np");
    nb::object ordered_dict = global("OrderedDict");
    if (truthy(np.attr("isnan")(bar_pos)) || bar_pos < py_int(0))
        return ordered_dict();

    nb::object targets = global("cnt").attr("env").attr("get_target_name")(v[0]);
    nb::object store = run_state().attr("g_TelvarDataValueFresh");
    nb::object bar_time =
        getitem(store, nb::make_tuple(kmatrix::kTimeLine, bar_pos));
    nb::object end_date = global("mft_to_int_format")(bar_time, nb::arg("fmt") = "%Y%m%d");
    return run_state().attr("g_TelvarInstrument").attr("get_by_offset")(
        targets, end_date, nb::arg("past_len") = length, nb::arg("reference") = true,
        nb::arg("fill") = true);
}

// def check_reg_k_data_precondition(frequency_i: int, freq_num: int)
nb::object check_reg_k_data_precondition(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("check_reg_k_data_precondition", {"frequency_i", "freq_num"}, 2);
    const auto [frequency_i, freq_num] = bind_frequency(sig, args, kwargs);
    const long long own = as_int(run_inputs().attr("KFrequencyI"));
    const long long day = gv_int("KFreq_Day");
    if (frequency_i < day && day <= own)
        raise_message(PyExc_ValueError, "ERROR_FREQ_NEED_GT_DAY");
    if (frequency_i < own && own < day)
        raise_message(PyExc_ValueError, "ERROR_FREQ_TOO_HIGH");
    if (frequency_i == gv_int("KFreq_Tick") && freq_num != 1)
        raise_message(PyExc_ValueError, "ERROR_NOTSUPPORT_TICK_MULTI_FREQNUM");
    return nb::none();
}

// An n x 4 (or n x 7) float index: item columns NaN, block columns 0, the
// target column 0..n-1.
static nb::object empty_reg_idx(long long n, bool adjust) {
    if (n < 0)
        n = 0;
    const long long columns = adjust ? ADJUSTED_COLUMNS : PLAIN_COLUMNS;
    nb::object idx = global("np").attr("empty")(nb::make_tuple(n, columns),
                                                nb::arg("dtype") = "float64");
    ArrayView<double> view(idx, "reg_idx", 2, true);
    const double nan = std::nan("");
    for (long long r = 0; r < n; ++r) {
        double *row = view.data() + r * columns;
        row[0] = nan;
        row[1] = 0.0;
        row[2] = nan;
        row[3] = static_cast<double>(r);
        if (adjust) {
            row[4] = nan;
            row[5] = 0.0;
            row[6] = nan;
        }
    }
    return idx;
}

// def gen_empty_reg_k_data_idx(targets_len: int, adjust=False)
nb::object gen_empty_reg_k_data_idx(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("gen_empty_reg_k_data_idx", {"targets_len", "adjust"}, 1);
    auto v = sig.bind(args, kwargs);
    const long long n = as_int(v[0]);
    const bool adjust = v[1].is_valid() && truthy(v[1]);
    return empty_reg_idx(n, adjust);
}

// Column `column` of every row gets first, first + step, ...; a row range
// that does not hold one start row per target is a corrupted registry.
static void fill_row_starts(ArrayView<double> &idx, long long column, nb::handle reg_item,
                            long long step) {
    const long long begin = as_int(reg_item.attr("RowBegin"));
    const long long end = as_int(reg_item.attr("RowEnd"));
    const long long n = static_cast<long long>(idx.rows());
    if (step <= 0 || (end - begin + step - 1) / step != n)
        raise_value_error("registration rows " + std::to_string(begin) + ".." +
                          std::to_string(end) + " do not hold " + std::to_string(n) +
                          " targets of " + std::to_string(step) + " rows");
    for (long long r = 0; r < n; ++r)
        idx(static_cast<size_t>(r), static_cast<size_t>(column)) =
            static_cast<double>(begin + r * step);
}

static long long find_pos(const char *registry, long long frequency_i, long long freq_num) {
    return as_int(run_state().attr(registry).attr("find_pos")(frequency_i, freq_num));
}

// def construct_k_data_reg_idx(frequency_i: int, freq_num: int, adjust: bool)
nb::object construct_k_data_reg_idx(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("construct_k_data_reg_idx",
                               {"frequency_i", "freq_num", "adjust"}, 3);
    auto v = sig.bind(args, kwargs);
    const long long frequency_i = as_int(v[0]);
    const long long freq_num = as_int(v[1]);
    if (!PyBool_Check(v[2].ptr()))
        raise_type_error("construct_k_data_reg_idx() adjust must be True or False");
    const bool adjust = v[2].ptr() == Py_True;

    const long long targets_len = py_len(run_inputs().attr("TargetList"));
    nb::object reg_idx = empty_reg_idx(targets_len, adjust);
    ArrayView<double> idx(reg_idx, "reg_idx", 2, true);

    const long long k_data_pos = find_pos("g_TelvarKDataList", frequency_i, freq_num);
    const long long reg_pos = find_pos("g_TelvarRegKDataInfo", frequency_i, freq_num);
    const long long adj_reg_pos = find_pos("g_TelvarRegKDataInfo_Adj", frequency_i, freq_num);
    const long long adj_k_data_pos = find_pos("g_TelvarKDataList_Adj", frequency_i, freq_num);

    if (k_data_pos > -1)
        for (long long r = 0; r < targets_len; ++r) {
            idx(r, 0) = static_cast<double>(k_data_pos);
            idx(r, 1) = static_cast<double>(r);
        }
    if (reg_pos > -1) {
        nb::object item = getitem(run_state().attr("g_TelvarRegKDataInfo"), reg_pos);
        if (as_int(item.attr("RowBegin")) > -1)
            fill_row_starts(idx, 2, item, kmatrix::kBarLen);
    }
    if (!adjust)
        return reg_idx;

    if (adj_k_data_pos > -1)
        for (long long r = 0; r < targets_len; ++r) {
            idx(r, 4) = static_cast<double>(adj_k_data_pos);
            idx(r, 5) = static_cast<double>(r);
        }
    if (adj_reg_pos > -1) {
        nb::object item = getitem(run_state().attr("g_TelvarRegKDataInfo_Adj"), adj_reg_pos);
        if (as_int(item.attr("RowBegin")) > -1)
            fill_row_starts(idx, 6, item, kmatrix::kAdjBarLen);
    }
    return reg_idx;
}

static nb::object floor_div(nb::handle a, long long b) {
    nb::object r = nb::steal(PyNumber_FloorDivide(a.ptr(), py_int(b).ptr()));
    if (!r.is_valid())
        throw nb::python_error();
    return r;
}

static nb::object remainder(nb::handle a, long long b) {
    nb::object r = nb::steal(PyNumber_Remainder(a.ptr(), py_int(b).ptr()));
    if (!r.is_valid())
        throw nb::python_error();
    return r;
}

// def get_reg_idx(reg_id, target_indices)
nb::object get_reg_idx(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_reg_idx", {"reg_id", "target_indices"}, 2);
    auto v = sig.bind(args, kwargs);
    nb::object reg_id = v[0];
    nb::object target_indices = v[1];
    nb::object np = global("np");
    if (nb::isinstance(reg_id, np.attr("ndarray")))
        return getitem(reg_id, target_indices);

    nb::object freq_num = floor_div(reg_id, 100);
    nb::object frequency_i = floor_div(reg_id - floor_div(reg_id, 100) * py_int(100), 10);
    const bool plain = remainder(reg_id, 10).equal(py_int(0));
    nb::object registry =
        run_state().attr(plain ? "g_TelvarRegKDataInfo" : "g_TelvarRegKDataInfo_Adj");
    nb::object reg_item = registry.attr("get_item")(frequency_i, freq_num);
    if (reg_item.is_none())
        return nb::none();
    nb::object stored = reg_item.attr("RegIdx");
    nb::object target_column =
        getitem(stored, nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), 3));
    nb::object rows = np.attr("searchsorted")(target_column, target_indices);
    return getitem(stored, rows);
}

} // namespace telvar::regora
