// Base-frequency K-data: minute and day bars of every target, fetched through
// the history module and laid out as a K matrix (head rows, then one block of
// field rows per target) with the framework's real-bar bookkeeping.
#include "common/args.hpp"
#include "regora/support.hpp"
#include "common/kmatrix_layout.hpp"

namespace telvar::regora {

// Moves `begin_date` back so that the request starts `date_span` trading days
// before the first trading day after it (or at the first day of the calendar).
static nb::object widen_begin_date(nb::object begin_date, long long date_span) {
    nb::object np = global("np");
    nb::object days = call_module("get_trading_days", 0, 99999999);
    nb::object after = np.attr("argwhere")(compare_object(days, begin_date, Py_GT));
    if (as_int(after.attr("size")) == 0)
        return begin_date;
    const long long first_after = as_int(getitem(after, nb::make_tuple(0, 0)));
    if (first_after - date_span > 0)
        return getitem(days, first_after - date_span);
    return getitem(days, 0);
}

// Marks the columns of the strategy's bar times in the fresh row. A strategy
// bar time after the last fetched bar has no column; it is left unmarked
// rather than indexing past the row.
static void mark_strategy_bars(nb::handle matrix, nb::handle array_time, long long bar_count) {
    nb::object np = global("np");
    nb::object pos = np.attr("searchsorted")(array_time, fresh_time_row(),
                                             nb::arg("side") = "left");
    pos = getitem(pos, compare_object(pos, py_int(bar_count), Py_LT));
    setitem(matrix, nb::make_tuple(kmatrix::kFreshIdx, pos), py_int(1));
}

// def fetch_1_freq_k_data(frequency, date_span, filled_up)
nb::object fetch_1_freq_k_data(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("fetch_1_freq_k_data", {"frequency", "date_span", "filled_up"},
                               3);
    auto v = sig.bind(args, kwargs);
    nb::object frequency = v[0];
    nb::object filled_up = v[2];
    nb::object gv = global("gv");
    nb::object np = global("np");
    nb::object inputs = run_inputs();
    nb::object targets = inputs.attr("TargetList");
    nb::object frequency_i = gv.attr("frequency_to_int")(frequency);
    nb::object begin_date = inputs.attr("BeginDate");
    nb::object end_date = inputs.attr("EndDate");
    nb::object fq_type = inputs.attr("FQ");

    if (v[1] > py_int(0))
        begin_date = widen_begin_date(begin_date, as_int(v[1]));

    nb::dict params;
    params["targets"] = targets;
    params["frequency"] = frequency;
    params["freq_num"] = 1;
    params["begin_date"] = begin_date;
    params["end_date"] = end_date;
    params["filled_up"] = filled_up;
    params["fq_type"] = fq_type;
    params["need_show_ui_tip"] = true;
    nb::object result = call_module("get_k_data_multi", params);

    nb::object array_time = getitem(result, nb::str("TimeLine"));
    nb::object day_pos = getitem(result, nb::str("DayPos"));
    nb::object k_array = getitem(result, nb::str("KArray"));
    run_state().attr("g_TelvarAppendFreshPosition") = getitem(result, nb::str("TradeFreshPos"));

    const long long bar_len = kmatrix::kBarLen;
    const long long k_rows = as_int(getitem(k_array.attr("shape"), 0));
    const long long target_count = k_rows / bar_len;

    nb::object request_text = message("ERROR_KDATA_MULTI").attr("format")(
        nb::arg("TARGETS") = targets, nb::arg("FREQUENCY") = frequency, nb::arg("FREQNUM") = 1,
        nb::arg("BEGINDATE") = begin_date, nb::arg("ENDDATE") = end_date,
        nb::arg("FILLEDUP") = filled_up, nb::arg("FQTYPE") = fq_type);

    const long long bar_count = as_int(array_time.attr("size"));
    if (bar_count < 1)
        raise_message(PyExc_ValueError, "ERROR_EMPTY_TIMELINE", request_text);
    if (target_count != py_len(targets))
        raise_message(global("TvDataError").ptr(), "ERROR_KDATA_MISS", request_text);

    nb::object matrix = global("cnt").attr("env").attr("generate_kmatrix_array")(
        target_count, bar_count);
    setitem(matrix, kmatrix::kTimeLine, array_time);
    setitem(matrix, kmatrix::kDayPos, day_pos);
    setitem(matrix, kmatrix::kFreshIdx, np.attr("zeros")(bar_count));
    const long long first_target_row = kmatrix::kHeadLen;
    setitem(matrix, nb::slice(first_target_row, first_target_row + k_rows), k_array);

    nb::object refresh_freq = global("adjust_topmost_rule_map")(inputs.attr("KFrequencyI"));
    if (frequency_i.equal(refresh_freq))
        mark_strategy_bars(matrix, array_time, bar_count);

    nb::object numkern = global("numkern");
    auto [unfilled_ref, unfilled_idx] = unpack_pair(numkern.attr("tvMatrixUnfillComplete")(
        matrix, first_target_row, bar_len, kmatrix::kVolume));
    nb::object time_row = getitem(matrix, kmatrix::kTimeLine);
    nb::object current_bar = numkern.attr("tvCalcKDataCurrentBar")(
        time_row, global("cnt").attr("env").attr("fresh_bar_timeline"));

    nb::object registry = kdata_list();
    run_state().attr("g_TelvarCache").attr("set_history_k_data_time_line_cache")(
        time_row, py_len(registry));
    registry.attr("append")(global("KDataItem")(
        nb::arg("KFrequency") = gv.attr("int_to_frequency")(frequency_i), nb::arg("KFreqNum") = 1,
        nb::arg("Matrix") = matrix, nb::arg("UnfilledBarRef") = unfilled_ref,
        nb::arg("UnfilledIdx") = unfilled_idx, nb::arg("CurrentBar") = current_bar,
        nb::arg("DataSource") = 0));
    return py_int(py_len(registry) - 1);
}

// def _check_cache_k_data_legal(real_keys: list, cache_value_keys: list)
nb::object _check_cache_k_data_legal(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("_check_cache_k_data_legal", {"real_keys", "cache_value_keys"}, 2);
    auto v = sig.bind(args, kwargs);
    nb::object np = global("np");
    return np.attr("all")(np.attr("isin")(v[0], v[1]));
}

} // namespace telvar::regora
