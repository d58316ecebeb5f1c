// Adjusted synthesis: price-adjusted bars of a registered frequency and unit
// count, combined from the adjusted base bars with the same kernels as plain
// bars, and the adjusted prices of the bar forming at every strategy bar,
// kept in the adjusted fresh-bar store next to the plain one. Adjusted prices
// carry no volume, and across a roll a filled bar's adjusted price is not the
// previous adjusted close, so which base bars traded is read from the
// unadjusted base K matrix (numkern.tvCalcTradedMask) and handed to the
// kernels: an adjusted bar is made of the same traded bars as the plain one.
#include "common/args.hpp"
#include "regora/adjusted/adjusted.hpp"
#include "common/kmatrix_layout.hpp"
#include "regora/content_checks.hpp"
#include "regora/registration/store_rows.hpp"

#include <algorithm>

namespace telvar::regora {

using adjusted::shape_at;

namespace {

long long adjust_base_of(nb::handle frequency_i) {
    return as_int(global("adjust_topmost_rule_map")(frequency_i));
}

void require_shape(nb::handle array, long long rows, long long cols, const std::string &what) {
    if (shape_at(array, 0) < rows || shape_at(array, 1) != cols)
        raise_value_error(what + " has shape (" + std::to_string(shape_at(array, 0)) + ", " +
                          std::to_string(shape_at(array, 1)) + "), expected (" +
                          std::to_string(rows) + ", " + std::to_string(cols) + ")");
}

// Which bars of the unadjusted base K matrix traded, per target.
nb::object traded_mask_of(nb::handle base_k_matrix) {
    return global("numkern").attr("tvCalcTradedMask")(
        base_k_matrix, kmatrix::kHeadLen, kmatrix::kBarLen);
}

} // namespace

// def synthetic_matrix_adj(frequency_i, freq_num)
nb::object synthetic_matrix_adj(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("synthetic_matrix_adj", {"frequency_i", "freq_num"}, 2);
    const auto [frequency_i, freq_num] = bind_frequency(sig, args, kwargs);
    nb::object inputs = run_inputs();
    const long long input_base_adj_freq = adjust_base_of(inputs.attr("KFrequencyI"));
    const long long base_adj_freq = adjust_base_of(py_int(frequency_i));
    if (base_adj_freq == gv_int("KFreq_Tick"))
        raise_with(PyExc_NotImplementedError, nb::str("暂时不支持 tick 调价"));

    nb::object adj_list = adjusted::kdata_list_adj();
    const long long existing = adjusted::find_pos_in(adj_list, frequency_i, freq_num);
    if (existing > -1)
        return py_int(existing);

    // The adjusted base of the strategy's own frequency is always built: the
    // adjusted forming bars are made from it.
    for (long long base : {input_base_adj_freq, base_adj_freq}) {
        if (adjusted::find_pos_in(adj_list, base, 1) != -1)
            continue;
        nb::object pos = call_module("calc_1_freq_matrix_adj", base);
        if (base == frequency_i && freq_num == 1)
            return pos;
    }

    const long long k_data_pos = adjusted::find_pos_in(kdata_list(), frequency_i, freq_num);
    if (k_data_pos < 0)
        adjusted::raise_missing("不存在`%d%s`k线数据", freq_num, frequency_i);
    const long long base_k_data_pos = adjusted::find_pos_in(kdata_list(), base_adj_freq, 1);
    if (base_k_data_pos < 0)
        adjusted::raise_missing("不存在`%d%s`k线数据", 1, base_adj_freq);
    const long long base_adj_pos = adjusted::find_pos_in(adj_list, base_adj_freq, 1);
    if (base_adj_pos < 0)
        adjusted::raise_missing("不存在`%d%s`k线调价数据", 1, base_adj_freq);

    nb::object np = global("np");
    const long long targets = py_len(inputs.attr("TargetList"));
    nb::object k_data = getitem(kdata_list(), k_data_pos);
    nb::object k_data_tl = getitem(k_data.attr("Matrix"), kmatrix::kTimeLine);
    nb::object base_k_data = getitem(kdata_list(), base_k_data_pos);
    nb::object base_tl = getitem(base_k_data.attr("Matrix"), kmatrix::kTimeLine);
    nb::object base_adj_matrix = getitem(adj_list, base_adj_pos).attr("Matrix");

    // The adjusted prices are combined on their own, with the kernel's field
    // rules for the first fields of a bar (open first, high max, low min,
    // close last), which is how an adjusted block lays them out.
    const long long base_cols = as_int(base_tl.attr("size"));
    require_shape(base_adj_matrix, targets * kmatrix::kAdjBarLen, base_cols,
                  "the adjusted base matrix");
    nb::object numkern = global("numkern");
    auto [bp, ep] = unpack_pair(numkern.attr("tvCalcKDataBeginEndPos")(base_tl, k_data_tl));
    const long long cols = as_int(k_data_tl.attr("size"));
    if (as_int(bp.attr("size")) < 1)
        raise_value_error("the registered K-data item has no bars");
    // An adjusted matrix has no head rows: the kernel needs only the bar count.
    nb::object no_head = np.attr("empty")(nb::make_tuple(0, cols),
                                          nb::arg("dtype") = np.attr("float64"));
    nb::object combined_adj = numkern.attr("tvCalcCombineMatrixHtoL")(
        getitem(base_adj_matrix, nb::slice(py_int(0), py_int(targets * kmatrix::kAdjBarLen), nb::none())),
        no_head, bp, ep, kmatrix::kAdjBarLen, 0, 0,
        traded_mask_of(base_k_data.attr("Matrix")));

    adj_list.attr("append")(global("AdjKDataItem")(
        nb::arg("KFrequency") = adjusted::frequency_name(frequency_i),
        nb::arg("KFreqNum") = freq_num, nb::arg("Matrix") = combined_adj,
        nb::arg("LastSynTimeLinePos") = cols,
        nb::arg("LastSynBaseTimeLinePos") = py_int(as_int(getitem(bp, -1)))));
    return py_int(py_len(adj_list) - 1);
}

namespace {

// Adjusted forming bars over the refresh base, and the base position of the
// last one.
struct AdjustedForming {
    nb::object matrix;
    long long last_base_pos = -1;
};

// The plain registration of the same bars: its forming-bar positions over
// the refresh base are reused, so both stores hold the same bars.
AdjustedForming combine_adjusted_forming(long long frequency_i, long long freq_num,
                                         nb::handle base_adj_matrix, nb::handle base_matrix,
                                         long long targets) {
    nb::object np = global("np");
    nb::object reg_item =
        run_state().attr("g_TelvarRegKDataInfo").attr("get_item")(frequency_i, freq_num);
    if (reg_item.is_none() || reg_item.attr("BeginPos").is_none())
        raise_value_error("adjusted forming bars need the plain registration of the same "
                          "frequency and unit count; register it with reg_k_data first");
    nb::object begin_pos = reg_item.attr("BeginPos");
    if (as_int(np.attr("size")(begin_pos)) < 1)
        raise_value_error("the plain registration has no forming-bar positions");
    AdjustedForming out;
    out.last_base_pos = as_int(getitem(np.attr("asarray")(begin_pos), -1).attr("__int__")());
    out.matrix = global("numkern").attr("tvCalcDataValueFresh_Adj")(
        base_adj_matrix, begin_pos, reg_item.attr("EndPos"), kmatrix::kAdjBarLen, targets, 0,
        traded_mask_of(base_matrix));
    return out;
}

// The adjusted forming bars from the synthesis cache (only an entry of this
// run's shape is used), else combined and cached.
AdjustedForming adjusted_forming(long long frequency_i, long long freq_num,
                                 nb::handle base_adj_matrix, nb::handle base_matrix,
                                 long long targets) {
    nb::object np = global("np");
    const long long block_rows = targets * kmatrix::kAdjBarLen;
    const long long base_cols = shape_at(base_matrix, 1);
    const bool caching = cache_allowed();
    nb::object key = cache_key(frequency_i, freq_num, "DataValueFresh_Adj", "_AdjFF");
    if (caching) {
        nb::object entry = cache_load(
            key, [&](nb::handle e) { checks::adjusted_fresh_entry(e, block_rows, base_cols); });
        if (!entry.is_none()) {
            AdjustedForming cached;
            cached.matrix = getitem(entry, nb::str("Matrix")).attr("astype")(np.attr("float64"));
            nb::object last = np.attr("asarray")(getitem(entry, nb::str("LastSynBaseTimeLinePos")))
                                  .attr("ravel")();
            cached.last_base_pos = as_int(getitem(last, 0).attr("__int__")());
            return cached;
        }
    }
    AdjustedForming out =
        combine_adjusted_forming(frequency_i, freq_num, base_adj_matrix, base_matrix, targets);
    if (caching) {
        nb::dict entry;
        entry["Matrix"] = out.matrix.attr("astype")(np.attr("float64"), nb::arg("copy") = false);
        entry["LastSynBaseTimeLinePos"] = py_int(out.last_base_pos);
        cache_save(key, entry);
    }
    return out;
}

// Appends the strategy-bar columns of the forming bars to the adjusted
// fresh-bar store; returns the rows they take there.
std::pair<long long, long long> append_to_adjusted_store(nb::handle combined, nb::handle base_matrix,
                                                         long long block_rows) {
    nb::object np = global("np");
    nb::object state = run_state();
    nb::object block = strategy_columns(combined, strategy_bar_mask(base_matrix), 0);
    // Column i of both stores is strategy bar position i.
    const long long positions = shape_at(fresh_time_row().attr("reshape")(1, -1), 1);
    if (shape_at(block, 1) != positions)
        raise_value_error("the adjusted forming bars cover " + std::to_string(shape_at(block, 1)) +
                          " strategy bars, the fresh-bar store " + std::to_string(positions));

    nb::object store_arr = np.attr("asarray")(state.attr("g_TelvarDataValueFresh_Adj"));
    const long long begin_row = as_int(store_arr.attr("ndim")) == 2 ? shape_at(store_arr, 0) : 0;
    // The first block starts the store, with room below for the next ones.
    if (begin_row == 0)
        store_arr = np.attr("empty")(nb::make_tuple(0, positions), np.attr("float64"));
    state.attr("g_TelvarDataValueFresh_Adj") = append_store_rows(store_arr, block);
    return {begin_row, begin_row + block_rows};
}

// An adjusted registration appended to the registry; its position.
nb::object append_adjusted_registration(nb::handle reg_list, nb::handle item) {
    reg_list.attr("append")(item);
    return py_int(py_len(reg_list) - 1);
}

} // namespace

// def synthetic_fresh_matrix_adj(frequency_i, freq_num)
nb::object synthetic_fresh_matrix_adj(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("synthetic_fresh_matrix_adj", {"frequency_i", "freq_num"}, 2);
    const auto [frequency_i, freq_num] = bind_frequency(sig, args, kwargs);
    nb::object inputs = run_inputs();
    const long long targets = py_len(inputs.attr("TargetList"));

    nb::object adj_list = adjusted::kdata_list_adj();
    nb::object reg_list = adjusted::reg_list_adj();
    const long long base_freq = adjust_base_of(inputs.attr("KFrequencyI"));
    const long long base_adj_pos = adjusted::find_pos_in(adj_list, base_freq, 1);
    if (base_adj_pos < 0)
        adjusted::raise_missing("不存在`%d%s`k线调价数据", 1, base_freq);
    const long long kdata_adj_pos = adjusted::find_pos_in(adj_list, frequency_i, freq_num);
    if (kdata_adj_pos < 0)
        adjusted::raise_missing("不存在`%d%s`k线调价数据", freq_num, frequency_i);
    const long long base_k_data_pos = adjusted::find_pos_in(kdata_list(), base_freq, 1);
    if (base_k_data_pos < 0)
        adjusted::raise_missing("不存在`%d%s`k线数据", 1, base_freq);
    const long long reg_pos = adjusted::find_pos_in(reg_list, frequency_i, freq_num);

    if (truthy(inputs.attr("same_freq")(frequency_i, freq_num))) {
        if (reg_pos >= 0)
            return py_int(reg_pos);
        return append_adjusted_registration(
            reg_list, global("AdjRegKDataItem")(
                          nb::arg("KFrequency") = adjusted::frequency_name(frequency_i),
                          nb::arg("KFreNum") = freq_num, nb::arg("KMatrixPos") = kdata_adj_pos));
    }
    if (reg_pos > -1)
        return py_int(reg_pos);

    nb::object base_adj_matrix = getitem(adj_list, base_adj_pos).attr("Matrix");
    nb::object base_matrix = getitem(kdata_list(), base_k_data_pos).attr("Matrix");
    const AdjustedForming forming =
        adjusted_forming(frequency_i, freq_num, base_adj_matrix, base_matrix, targets);
    const auto [begin_row, end_row] =
        append_to_adjusted_store(forming.matrix, base_matrix, targets * kmatrix::kAdjBarLen);

    return append_adjusted_registration(
        reg_list, global("AdjRegKDataItem")(
                      nb::arg("KFrequency") = adjusted::frequency_name(frequency_i),
                      nb::arg("KFreNum") = freq_num, nb::arg("KMatrixPos") = kdata_adj_pos,
                      nb::arg("RowBegin") = begin_row, nb::arg("RowEnd") = end_row,
                      nb::arg("LastSynBaseTimeLinePos") = forming.last_base_pos));
}

} // namespace telvar::regora
