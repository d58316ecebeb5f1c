// Forming bars: for every strategy bar position, the bar of a registered
// frequency as formed so far, computed once at registration into a block of
// rows of the fresh-bar store (one column per strategy bar).
#include "common/args.hpp"
#include "regora/content_checks.hpp"
#include "common/kmatrix_layout.hpp"
#include "regora/registration/store_rows.hpp"
#include "regora/support.hpp"

namespace telvar::regora {

namespace {

long long find_reg(long long frequency_i, long long freq_num) {
    return as_int(run_state().attr("g_TelvarRegKDataInfo").attr("find_pos")(frequency_i, freq_num));
}

nb::object append_registration(nb::handle item) {
    nb::object registry = run_state().attr("g_TelvarRegKDataInfo");
    registry.attr("append")(item);
    return py_int(py_len(registry) - 1);
}

// A position of `g_TelvarKDataList` that must exist; -1 would silently pick
// the last item.
long long required_kdata_pos(long long frequency_i, long long freq_num, const char *role) {
    const long long pos = as_int(kdata_list().attr("find_pos")(frequency_i, freq_num));
    if (pos < 0) {
        nb::object name = global("gv").attr("int_to_frequency")(frequency_i);
        PyErr_Format(global("TvDataError").ptr(),
                     "%s K-data (%S, %lld per bar) is not in the K-data registry; the run "
                     "must be set up (telvar.kestrum.runner.setup) and the bars fetched first",
                     role, name.ptr(), freq_num);
        throw nb::python_error();
    }
    return pos;
}

// The base positions each forming bar spans.
struct FormingSpans {
    nb::object begin_pos, end_pos;
};

// Fills the store's new rows `begin_row`..`end_row` of `buffer` (the
// targets' field rows, one column per strategy bar) with the forming bars at
// the strategy bars (`strategy_bars`, one flag per refresh-base bar); the
// buffer's row `end_row` is spare. From the synthesis cache when it has an
// entry of this run's shape (a time row plus the targets' field rows, one
// column per refresh-base bar); else combined by the kernel, straight into
// the rows when nothing is cached. For the cache the whole matrix is made:
// when every base bar is a strategy bar it is the time row over the new
// rows, so it is made in place one row further up (the spare row takes the
// shift) and written to the cache from there; else on its own, the new rows
// taking its strategy bars' columns.
FormingSpans fill_forming_rows(long long frequency_i, long long freq_num, nb::handle base_matrix,
                               nb::handle matrix, long long targets_len, nb::handle strategy_bars,
                               nb::handle buffer, long long begin_row, long long end_row) {
    auto buffer_rows = [&](long long from, long long to) {
        return buffer[nb::slice(py_int(from), py_int(to), nb::none())];
    };
    nb::object rows = buffer_rows(begin_row, end_row);
    // The whole matrix is made only for a cache that is switched on and may
    // keep this period's entries.
    const bool caching =
        cache_allowed() && truthy(global("cnt").attr("env").attr("cache_enabled"));
    nb::object key = cache_key(frequency_i, freq_num, "dataFresh", "_FF");
    if (caching) {
        const long long entry_rows = 1 + targets_len * kmatrix::kBarLen;
        const long long base_cols = as_int(getitem(base_matrix.attr("shape"), 1));
        nb::object entry = cache_load(
            key, [&](nb::handle e) { checks::fresh_entry(e, entry_rows, base_cols); });
        if (!entry.is_none()) {
            auto positions = [&](const char *name) {
                return native_array(getitem(entry, nb::str(name)).attr("ravel")().attr("astype")("int64"));
            };
            write_strategy_columns(getitem(entry, nb::str("Matrix")), strategy_bars, 1, rows);
            return {positions("bP"), positions("eP")};
        }
    }
    nb::object numkern = global("numkern");
    auto [begin_pos, end_pos] = unpack_pair(numkern.attr("tvCalcRegKDataBeginEndPos")(
        getitem(base_matrix, kmatrix::kTimeLine), getitem(matrix, kmatrix::kTimeLine), 0));
    nb::object fresh = numkern.attr("tvCalcDataValueFresh");
    if (!caching) {
        fresh(base_matrix, begin_pos, end_pos, kmatrix::kBarLen, targets_len, 0,
              nb::arg("out") = rows, nb::arg("keep") = strategy_bars);
        return {begin_pos, end_pos};
    }
    const long long base_cols = as_int(getitem(base_matrix.attr("shape"), 1));
    const bool every_bar = as_int(strategy_bars.attr("sum")()) == base_cols;
    nb::object combined;
    if (every_bar) {
        combined = buffer_rows(begin_row, end_row + 1);
        fresh(base_matrix, begin_pos, end_pos, kmatrix::kBarLen, targets_len, 0,
              nb::arg("out") = combined);
    } else {
        combined = fresh(base_matrix, begin_pos, end_pos, kmatrix::kBarLen, targets_len, 0);
        write_strategy_columns(combined, strategy_bars, 1, rows);
    }
    nb::dict entry;
    entry["Matrix"] = combined;
    entry["bP"] = begin_pos;
    entry["eP"] = end_pos;
    cache_save(key, entry);
    if (every_bar)
        shift_rows_up(combined);
    return {begin_pos, end_pos};
}

} // namespace

// def synthetic_fresh_matrix(frequency_i: int, freq_num: int)
nb::object synthetic_fresh_matrix(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("synthetic_fresh_matrix", {"frequency_i", "freq_num"}, 2);
    const auto [frequency_i, freq_num] = bind_frequency(sig, args, kwargs);
    nb::object gv = global("gv");
    nb::object np = global("np");
    nb::object inputs = run_inputs();
    nb::object state = run_state();
    const long long targets_len = py_len(inputs.attr("TargetList"));

    const long long refresh_freq =
        as_int(global("adjust_topmost_rule_map")(inputs.attr("KFrequencyI")));
    nb::object base_item =
        getitem(kdata_list(), required_kdata_pos(refresh_freq, 1, "the refresh base"));
    const long long k_data_pos = required_kdata_pos(frequency_i, freq_num, "the registered");
    nb::object k_data = getitem(kdata_list(), k_data_pos);
    const long long reg_pos = find_reg(frequency_i, freq_num);

    if (truthy(inputs.attr("same_freq")(frequency_i, freq_num))) {
        if (reg_pos > -1)
            return py_int(reg_pos);
        return append_registration(global("RegKDataItem")(
            nb::arg("KFrequency") = gv.attr("int_to_frequency")(frequency_i),
            nb::arg("KFreNum") = freq_num, nb::arg("KMatrixPos") = k_data_pos));
    }
    if (reg_pos > -1)
        return py_int(reg_pos);

    nb::object base_matrix = base_item.attr("Matrix");
    nb::object store = np.attr("asarray")(state.attr("g_TelvarDataValueFresh"));
    // A store that is still only its 1-D time row becomes a one-row matrix.
    if (as_int(store.attr("ndim")) < 2)
        store = store.attr("reshape")(1, -1);
    const long long begin_row = as_int(getitem(store.attr("shape"), 0));
    const long long end_row = begin_row + targets_len * kmatrix::kBarLen;

    // The forming bars go straight into the store's new rows; the run state
    // takes the grown store once they are filled.
    const GrownStore grown = grow_store_rows(store, end_row - begin_row, 1);
    const FormingSpans spans =
        fill_forming_rows(frequency_i, freq_num, base_matrix, k_data.attr("Matrix"), targets_len,
                          strategy_bar_mask(base_matrix), grown.buffer, begin_row, end_row);
    nb::object begin_pos = spans.begin_pos, end_pos = spans.end_pos;
    state.attr("g_TelvarDataValueFresh") = grown.store;
    state.attr("g_TelvarCache").attr("set_dvf_time_line_cache")(
        getitem(state.attr("g_TelvarDataValueFresh"), 0));

    return append_registration(global("RegKDataItem")(
        nb::arg("KFrequency") = gv.attr("int_to_frequency")(frequency_i),
        nb::arg("KFreNum") = freq_num, nb::arg("KMatrixPos") = k_data_pos,
        nb::arg("RowBegin") = begin_row, nb::arg("RowEnd") = end_row,
        nb::arg("BeginPos") = begin_pos, nb::arg("EndPos") = end_pos));
}

} // namespace telvar::regora
