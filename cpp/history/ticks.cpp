// Tick data with five quote levels: one trading day of one instrument from
// the host, kept in the run state's tick map, and the ticks of one bar.
#include "history/content_checks.hpp"

#include "common/arrays.hpp"
#include "common/kmatrix_layout.hpp"
#include "common/read_limit.hpp"

namespace telvar::history {
namespace {

const char *const kTickFields[6] = {"Time", "Price", "Volume", "VolumeTick", "TurnOver", "OpenInterest"};
const char *const kQuoteNames[4] = {"BidPrice", "BidVolume", "AskPrice", "AskVolume"};
constexpr int kLevels = 5;

nb::object new_dot_dict() { return global("DotDict")(); }

// The host's variable of one quote level: "BidPrice1" ... "AskVolume5".
nb::str level_name(const char *quote, int level) {
    return percent_format((std::string(quote) + "%d").c_str(), nb::make_tuple(level));
}

// A tick dictionary with only the six tick fields, each empty.
nb::object empty_tick_dict() {
    nb::object info = new_dot_dict();
    for (const char *name : kTickFields)
        info[name] = empty_array();
    return info;
}

// A new DotDict of copies, so the map's arrays are never handed out.
nb::object copy_tick_dict(nb::handle stored) {
    nb::object copy = new_dot_dict();
    for (nb::handle key : stored.attr("keys")())
        copy[key] = getitem(stored, key).attr("copy")();
    return copy;
}

// The per-tick values of a quote variable: the first column of an
// (n_ticks, k) matrix; a variable stored as one row is that row.
nb::object first_column(nb::handle variable, size_t n_ticks) {
    nb::object array = global("np").attr("asarray")(variable);
    if (nb::cast<int>(array.attr("ndim")) == 2 && nb::cast<size_t>(getitem(array.attr("shape"), 0)) == n_ticks)
        return getitem(array, nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), 0));
    return array.attr("ravel")();
}

// The five levels of one quote as an (n_ticks, 5) array, column j level j + 1.
nb::object combine_levels(nb::handle mat_dict, const char *quote, size_t n_ticks) {
    std::vector<ArrayView<double>> levels;
    for (int level = 1; level <= kLevels; ++level) {
        nb::str name = level_name(quote, level);
        levels.emplace_back(first_column(getitem(mat_dict, name), n_ticks), quote, 1);
        if (levels.back().size() != n_ticks)
            raise_field_length_error(nb::str("tick"), name, levels.back().size(), n_ticks);
    }
    nb::object out = global("np").attr("empty")(nb::make_tuple(n_ticks, kLevels));
    ArrayView<double> o(out, quote, 2, true);
    for (size_t i = 0; i < n_ticks; ++i)
        for (int j = 0; j < kLevels; ++j)
            o(i, j) = levels[j][i];
    return out;
}

} // namespace

// def load_tick_data_from_pro(market, code, date, fq_type, combine_5th=True,
//                             check_permission=True) -> DotDict
nb::object load_tick_data_from_pro(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("load_tick_data_from_pro",
                               {"market", "code", "date", "fq_type", "combine_5th", "check_permission"}, 4);
    auto a = sig.bind(args, kwargs);
    nb::object &market = a[0], &code = a[1], &date = a[2], &fq_type = a[3];
    nb::object combine_5th = or_default(a[4], nb::bool_(true));
    nb::object check_permission = or_default(a[5], nb::bool_(true));

    nb::object info = empty_tick_dict();
    nb::object tick_key =
        percent_format("%s_%s_%d_%s_%s", nb::make_tuple(market, code, date, fq_type, to_str(combine_5th)));
    // The kept ticks are the attached store's: a host restarted on another
    // store is noticed first (the run state drops them then).
    global("cnt").attr("env").attr("confirm_store")();
    nb::object tick_map = global("cnt").attr("vr").attr("g_TelvarTickMap");
    int known = PySequence_Contains(tick_map.ptr(), tick_key.ptr());
    if (known < 0)
        throw nb::python_error();
    // Today's ticks keep coming in, so today is always asked again.
    if (known == 1 && !equals(date, global("to_int_now_date")()))
        return copy_tick_dict(getitem(tick_map, tick_key));

    nb::object mat_path = global("tvcmd").attr("tvSendCmdGetTDPData")(
        market, code, date, fq_type, nb::arg("no_return") = false, nb::arg("check_permission") = check_permission);
    nb::object error_obj = global("DataLoadError")(text("ERROR_DOWNLOAD_DATA"));
    nb::object mat_dict = global("DotDict")(global("load_mat")(mat_path, nb::arg("rm_if_error") = true,
                                                               nb::arg("error") = "ignore",
                                                               nb::arg("error_obj") = error_obj));
    // A day without ticks: the host's file is removed and nothing is kept. A
    // row vector of no ticks counts as no ticks too. A file that cannot be
    // used is removed as well before its error is raised.
    size_t n_ticks = 0;
    try {
        n_ticks = checks::tick_file(mat_dict);
    } catch (const checks::ContentProblem &problem) {
        global("clear_mat_include_zero_date")(mat_path, 0);
        checks::host_file_error(mat_path, problem);
    }
    if (n_ticks == 0) {
        global("clear_mat_include_zero_date")(mat_path, 0);
        return info;
    }
    global("clear_mat_include_cur_trade_date")(mat_path, date);

    for (const char *name : kTickFields)
        info[name] = getitem(mat_dict, name).attr("ravel")();
    if (truthy(combine_5th)) {
        const size_t n_ticks = nb::cast<size_t>(getitem(info, "Time").attr("size"));
        for (const char *quote : kQuoteNames)
            info[quote] = combine_levels(mat_dict, quote, n_ticks);
    } else {
        for (int level = 1; level <= kLevels; ++level)
            for (const char *quote : kQuoteNames) {
                nb::str name = level_name(quote, level);
                info[name] = getitem(mat_dict, name).attr("ravel")();
            }
    }
    tick_map[tick_key] = info;
    return copy_tick_dict(info);
}

// def get_bar_tick_data(target_idx, bar_pos, fq_type='NA') -> DotDict
nb::object get_bar_tick_data(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_bar_tick_data", {"target_idx", "bar_pos", "fq_type"}, 2);
    auto a = sig.bind(args, kwargs);
    nb::object &target_idx = a[0], &bar_pos = a[1];
    nb::object fq_type = or_default(a[2], nb::str("NA"));

    // Negative positions would count from the end of the run (or of the
    // target list) and hand out another bar's or another target's ticks.
    nb::object zero = nb::int_(0);
    if (bar_pos < zero)
        raise_index_error("bar position is negative");
    if (target_idx < zero)
        raise_index_error("target index is negative");

    nb::object vr = global("cnt").attr("vr");
    // During a run, no ticks of a bar after the current one.
    require_not_ahead(bar_pos, read_limit(vr), [] { return global("text"); });
    nb::object input_info = vr.attr("g_TelvarInputInfo");
    nb::object k_data = getitem(vr.attr("g_TelvarKDataList"), input_info.attr("RefreshKDataIdx"));
    nb::object column = getitem(k_data.attr("CurrentBar"), bar_pos);
    nb::object pre_column = column > nb::int_(0) ? nb::object(column - nb::int_(1)) : nb::object(nb::int_(0));
    nb::object matrix = k_data.attr("Matrix");
    nb::object time_row = py_int(kmatrix::kTimeLine);
    nb::object cur_bar_time = getitem(matrix, nb::make_tuple(time_row, column));
    nb::object pre_bar_time = getitem(matrix, nb::make_tuple(time_row, pre_column));

    nb::list times;
    times.append(cur_bar_time);
    nb::object cur_bar_dt = getitem(global("mft_to_datetime")(times), 0);
    const int hour = nb::cast<int>(cur_bar_dt.attr("hour"));
    nb::object tick_day;
    // Night sessions belong to the next trading day, also after midnight (a
    // Friday night bar at 00:30 falls on a Saturday); no session runs
    // between 03:00 and 08:00, so only night bars are stamped before 08:00.
    if (hour >= 21 || hour < 8) {
        tick_day = to_int(global("tvcmd").attr("tvSendCmdTransTradeTimeToTradeDate")(cur_bar_time));
    } else {
        tick_day = to_int(global("mft_to_str_format")(cur_bar_time, nb::arg("fmt") = "%Y%m%d"));
    }

    nb::object target = getitem(input_info.attr("TargetList"), target_idx);
    nb::object info = global("load_tick_data_from_pro")(getitem(target, "Market"), getitem(target, "Code"), tick_day,
                                                        fq_type, nb::arg("check_permission") = false);

    ArrayView<double> ticks(getitem(info, "Time").attr("ravel")(), "Time", 1);
    const double pre_time = nb::cast<double>(pre_bar_time);
    const double cur_time = nb::cast<double>(cur_bar_time);
    const size_t n = ticks.size();
    // Both bounds are strict: a tick stamped at either bar time is left out.
    // With no tick after the previous bar, or none before this one, the bar
    // has no ticks (rather than the rest of the day's).
    size_t begin = n, end = 0;
    for (size_t i = 0; i < n; ++i)
        if (ticks[i] > pre_time) {
            begin = i;
            break;
        }
    for (size_t i = n; i-- > 0;)
        if (ticks[i] < cur_time) {
            end = i + 1;
            break;
        }

    nb::object rows = nb::slice(nb::int_(begin), nb::int_(end), nb::none());
    nb::object out = new_dot_dict();
    for (nb::handle key : info.attr("keys")())
        out[key] = getitem(getitem(info, key), rows);
    return out;
}

} // namespace telvar::history
