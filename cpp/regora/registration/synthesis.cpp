// Bar synthesis: one-unit bars of frequencies the host does not deliver
// (weeks, months, years) are combined from their base frequency along the
// trading-time calendar; N-unit bars (5 minutes, 3 days, ...) are combined
// from the one-unit bars, keeping only bars that have closed. Results are
// cached on disk per run inputs; a cache entry that is incomplete or does not
// fit the run is ignored and rewritten.
#include "common/args.hpp"
#include "regora/content_checks.hpp"
#include "common/kmatrix_layout.hpp"
#include "regora/support.hpp"

namespace telvar::regora {

namespace {

// The item fields a synthesis produces, computed or read from the cache.
struct Synthesised {
    nb::object matrix, base_begin, base_end, fre_complete, unfilled_ref, unfilled_idx,
        current_bar;
    bool valid() const { return matrix.is_valid(); }
};

long long matrix_rows_for(long long targets) {
    return kmatrix::kHeadLen + targets * kmatrix::kBarLen;
}

// A cache entry as it was written, after cache_load checked that it fits
// this run (checks::synthesis_entry).
Synthesised read_cached(nb::handle entry, bool n_unit) {
    Synthesised s;
    nb::object np = global("np");
    s.matrix = getitem(entry, nb::str("Matrix")).attr("astype")(np.attr("float64"), nb::arg("order") = "C");
    s.base_begin = native_array(getitem(entry, nb::str("bP")).attr("ravel")().attr("astype")("int64"));
    s.base_end = native_array(getitem(entry, nb::str("eP")).attr("ravel")().attr("astype")("int64"));
    if (n_unit)
        s.fre_complete = getitem(entry, nb::str("FreComplete")).attr("ravel")().attr("astype")("bool");
    s.unfilled_ref = per_target_arrays(getitem(entry, nb::str("UnfilledBarRef")));
    s.unfilled_idx = per_target_arrays(getitem(entry, nb::str("UnfilledIdx")));
    s.current_bar = native_array(getitem(entry, nb::str("CurrentBar")).attr("ravel")().attr("astype")("int64"));
    return s;
}

// What an entry of this run must fit.
checks::SynthesisShape entry_shape(long long cols, long long base_cols, bool n_unit) {
    const long long targets = py_len(run_inputs().attr("TargetList"));
    return {targets,
            kmatrix::kHeadLen,
            kmatrix::kBarLen,
            kmatrix::kVolume,
            matrix_rows_for(targets),
            cols,
            base_cols,
            py_len(global("cnt").attr("env").attr("fresh_bar_timeline")),
            n_unit};
}

// Real-bar bookkeeping and strategy-bar map of a finished matrix.
void add_bookkeeping(Synthesised &s) {
    nb::object numkern = global("numkern");
    auto [ref, idx] = unpack_pair(numkern.attr("tvMatrixUnfillComplete")(
        s.matrix, kmatrix::kHeadLen, kmatrix::kBarLen,
        kmatrix::kVolume));
    s.unfilled_ref = ref;
    s.unfilled_idx = idx;
    s.current_bar = numkern.attr("tvCalcKDataCurrentBar")(
        getitem(s.matrix, kmatrix::kTimeLine),
        global("cnt").attr("env").attr("fresh_bar_timeline"));
}

nb::dict cache_entry(const Synthesised &s) {
    nb::dict d;
    d["Matrix"] = s.matrix.attr("astype")(global("np").attr("float64"));
    d["bP"] = s.base_begin;
    d["eP"] = s.base_end;
    if (s.fre_complete.is_valid())
        d["FreComplete"] = s.fre_complete;
    d["UnfilledBarRef"] = s.unfilled_ref;
    d["UnfilledIdx"] = s.unfilled_idx;
    d["CurrentBar"] = s.current_bar;
    return d;
}

long long find_kdata(long long frequency_i, long long freq_num) {
    return as_int(kdata_list().attr("find_pos")(frequency_i, freq_num));
}

// Registers the time line under the position the item will get, appends the
// item and returns that position.
nb::object append_item(const Synthesised &s, nb::handle item) {
    nb::object registry = kdata_list();
    run_state().attr("g_TelvarCache").attr("set_history_k_data_time_line_cache")(
        getitem(s.matrix, kmatrix::kTimeLine), py_len(registry));
    registry.attr("append")(item);
    return py_int(py_len(registry) - 1);
}

} // namespace

// def synthetic_1_freq_k_data(frequency_i: int)
nb::object synthetic_1_freq_k_data(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("synthetic_1_freq_k_data", {"frequency_i"}, 1);
    auto v = sig.bind(args, kwargs);
    const long long frequency_i = as_int(v[0]);
    nb::object gv = global("gv");
    nb::object np = global("np");

    const long long existing = find_kdata(frequency_i, 1);
    if (existing > -1)
        return py_int(existing);
    if (frequency_i == gv_int("KFreq_Day") || frequency_i == gv_int("KFreq_Min"))
        return call_module("fetch_1_freq_k_data", gv.attr("int_to_frequency")(frequency_i), 0,
                           true);

    nb::object inputs = run_inputs();
    nb::object targets = inputs.attr("TargetList");
    const long long base_freq = as_int(global("synthetic_k_data_rule_map")(frequency_i));
    // A base that is not finer than the frequency would recurse for ever.
    if (base_freq < gv_int("KFreq_Tick") || base_freq >= frequency_i)
        raise_message(PyExc_ValueError, "ERROR_INPUT_FREQUENCY");

    long long base_pos = find_kdata(base_freq, 1);
    if (base_pos < 0)
        base_pos = as_int(call_module("synthetic_1_freq_k_data", base_freq));

    auto [time_line, day_pos] = unpack_pair(call_module(
        "get_trading_time", targets, gv.attr("int_to_frequency")(frequency_i),
        inputs.attr("BeginDate"), inputs.attr("EndDate")));
    const long long bar_count = py_len(time_line);
    if (bar_count == 0)
        raise_message(PyExc_ValueError, "ERROR_EMPTY_TIMELINE");

    nb::object base_item = getitem(kdata_list(), base_pos);
    const bool caching = cache_allowed();
    nb::object key = cache_key(frequency_i, 1, "highBase", "_BF");
    Synthesised s;
    if (caching) {
        const long long base_cols = as_int(getitem(base_item.attr("Matrix").attr("shape"), 1));
        const checks::SynthesisShape shape = entry_shape(bar_count, base_cols, false);
        nb::object entry = cache_load(key, [&](nb::handle e) { checks::synthesis_entry(e, shape); });
        if (!entry.is_none())
            s = read_cached(entry, false);
    }
    if (!s.valid()) {
        nb::object base_matrix = base_item.attr("Matrix");
        nb::object numkern = global("numkern");
        auto [begin, end] = unpack_pair(numkern.attr("tvCalcKDataBeginEndPos")(
            getitem(base_matrix, kmatrix::kTimeLine), time_line));
        s.base_begin = begin;
        s.base_end = end;
        // The head rows alone: the kernel writes every target row itself.
        const long long head_len = kmatrix::kHeadLen;
        nb::object prepared = np.attr("full")(nb::make_tuple(head_len, bar_count),
                                              np.attr("nan"));
        setitem(prepared, kmatrix::kTimeLine, time_line);
        setitem(prepared, kmatrix::kFreshIdx,
                np.attr("isin")(time_line, fresh_time_row()));
        setitem(prepared, kmatrix::kDayPos, day_pos);
        s.matrix = np.attr("ascontiguousarray")(numkern.attr("tvCalcCombineMatrixHtoL")(
            base_matrix, prepared, s.base_begin, s.base_end, kmatrix::kBarLen, 0,
            head_len));
        add_bookkeeping(s);
        if (caching)
            cache_save(key, cache_entry(s));
    }

    nb::object item = global("KDataItem")(
        nb::arg("KFrequency") = gv.attr("int_to_frequency")(frequency_i), nb::arg("KFreqNum") = 1,
        nb::arg("Matrix") = s.matrix, nb::arg("UnfilledBarRef") = s.unfilled_ref,
        nb::arg("UnfilledIdx") = s.unfilled_idx, nb::arg("BaseKDataPos") = base_pos,
        nb::arg("BaseBegin") = s.base_begin, nb::arg("BaseEnd") = s.base_end,
        nb::arg("CurrentBar") = s.current_bar);
    return append_item(s, item);
}

// def synthetic_n_freq_k_data(frequency_i: int, freq_num: int)
nb::object synthetic_n_freq_k_data(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("synthetic_n_freq_k_data", {"frequency_i", "freq_num"}, 2);
    const auto [frequency_i, freq_num] = bind_frequency(sig, args, kwargs);
    nb::object gv = global("gv");

    const long long existing = find_kdata(frequency_i, freq_num);
    if (existing > -1)
        return py_int(existing);
    // The one-unit item is normally there already (reg_k_data makes it
    // first); a missing one is made rather than looked up as position -1.
    long long base_pos = find_kdata(frequency_i, 1);
    if (base_pos < 0)
        base_pos = as_int(call_module("synthetic_1_freq_k_data", frequency_i));
    nb::object base_item = getitem(kdata_list(), base_pos);
    nb::object base_matrix = base_item.attr("Matrix");
    const long long base_cols = as_int(getitem(base_matrix.attr("shape"), 1));

    const bool caching = cache_allowed();
    nb::object key = cache_key(frequency_i, freq_num, "data", "_NF");
    Synthesised s;
    if (caching) {
        const checks::SynthesisShape shape = entry_shape(0, base_cols, true);
        nb::object entry = cache_load(key, [&](nb::handle e) { checks::synthesis_entry(e, shape); });
        if (!entry.is_none())
            s = read_cached(entry, true);
    }
    if (!s.valid()) {
        nb::object numkern = global("numkern");
        s.fre_complete = numkern.attr("tvCalculateFreshMask")(
            getitem(base_matrix, kmatrix::kDayPos), frequency_i, freq_num);
        nb::object time_row = getitem(base_matrix, kmatrix::kTimeLine);
        auto [begin, end] = unpack_pair(numkern.attr("tvCalcRegKDataBeginEndPos")(
            time_row,
            getitem(base_matrix, nb::make_tuple(kmatrix::kTimeLine, s.fre_complete)),
            0));
        s.base_begin = begin;
        s.base_end = end;
        nb::object combined = numkern.attr("tvCalcCombineMatrix1toN")(
            base_matrix, s.base_begin, s.base_end, kmatrix::kBarLen, 0);
        s.matrix = global("np").attr("ascontiguousarray")(getitem(
            combined, nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), s.fre_complete)));
        add_bookkeeping(s);
        if (caching)
            cache_save(key, cache_entry(s));
    }

    nb::object item = global("KDataItem")(
        nb::arg("KFrequency") = gv.attr("int_to_frequency")(frequency_i),
        nb::arg("KFreqNum") = freq_num, nb::arg("Matrix") = s.matrix,
        nb::arg("UnfilledBarRef") = s.unfilled_ref, nb::arg("UnfilledIdx") = s.unfilled_idx,
        nb::arg("BaseKDataPos") = base_pos, nb::arg("FreComplete") = s.fre_complete,
        nb::arg("BaseBegin") = s.base_begin, nb::arg("BaseEnd") = s.base_end,
        nb::arg("CurrentBar") = s.current_bar);
    return append_item(s, item);
}

} // namespace telvar::regora
