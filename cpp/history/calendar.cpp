// The trading calendar: trading days (fetched from the host once per process
// and cut locally), one market's trading days, and bar times of a frequency.
#include "history/content_checks.hpp"

#include "common/arrays.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

namespace telvar::history {
namespace {

void set_read_only(nb::handle array) { array.attr("flags").attr("writeable") = false; }

// The cached calendar, fetched on first use. The cache is made read-only, so
// the views handed out cannot be used to change it. It is the attached
// store's: a host restarted on another store is noticed first (the run state
// drops the calendar then).
nb::object trading_day_calendar() {
    nb::object cnt = global("cnt");
    cnt.attr("env").attr("confirm_store")();
    nb::object vr = cnt.attr("vr");
    nb::object calendar = vr.attr("g_TelvarTradingDays");
    if (nb::len(calendar) == 0) {
        nb::object days = global("tvcmd").attr("tvSendCmdGetTradingDays")();
        // ravel() may return a view of a writable array; the copy owns its
        // memory, so nobody can make it writable again through a view.
        calendar = global("np").attr("array")(days).attr("ravel")().attr("copy")();
        set_read_only(calendar);
        vr.attr("g_TelvarTradingDays") = calendar;
    }
    return calendar;
}

// An exact Python int that fits in int64, or nothing.
std::optional<int64_t> as_int64(nb::handle value) {
    if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr()))
        return std::nullopt;
    nb::object index = nb::steal(PyNumber_Index(value.ptr()));
    if (!index.is_valid()) {
        PyErr_Clear();
        return std::nullopt;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return std::nullopt;
    }
    return static_cast<int64_t>(v);
}

struct DayRange {
    Py_ssize_t first_at_or_after_begin; // -1: no such day
    Py_ssize_t last_at_or_before_end;   // -1: no such day
};

// The calendar is ascending, so both bounds are binary searches on the
// int64 buffer.
std::optional<DayRange> find_range_int64(nb::handle calendar, nb::handle begin_day, nb::handle end_day) {
    auto begin = as_int64(begin_day), end = as_int64(end_day);
    if (!begin || !end)
        return std::nullopt;
    nb::object ndarray = global("np").attr("ndarray");
    if (!nb::isinstance(calendar, ndarray) || !equals(calendar.attr("dtype"), nb::str("int64")) ||
        !equals(calendar.attr("ndim"), nb::int_(1)))
        return std::nullopt;
    ArrayView<int64_t> days(calendar, "g_TelvarTradingDays", 1);
    const int64_t *first = days.data(), *last = days.data() + days.cols();
    const Py_ssize_t n = static_cast<Py_ssize_t>(days.cols());
    const Py_ssize_t b = std::lower_bound(first, last, *begin) - first;
    const Py_ssize_t e = (std::upper_bound(first, last, *end) - first) - 1;
    return DayRange{b < n ? b : -1, e};
}

// Any other calendar or bound: numpy's elementwise comparisons.
DayRange find_range_numpy(nb::handle calendar, nb::handle begin_day, nb::handle end_day) {
    nb::object np = global("np");
    auto first_and_last = [&](int op, nb::handle bound) -> std::pair<Py_ssize_t, Py_ssize_t> {
        nb::object mask = nb::steal(PyObject_RichCompare(calendar.ptr(), bound.ptr(), op));
        if (!mask.is_valid())
            throw nb::python_error();
        nb::object positions = np.attr("argwhere")(mask).attr("ravel")();
        const size_t n = nb::len(positions);
        if (n == 0)
            return {-1, -1};
        return {nb::cast<Py_ssize_t>(getitem(positions, 0)), nb::cast<Py_ssize_t>(getitem(positions, -1))};
    };
    auto begin_positions = first_and_last(Py_GE, begin_day);
    auto end_positions = first_and_last(Py_LE, end_day);
    return DayRange{begin_positions.first, end_positions.second};
}

template <size_t N> [[noreturn]] void raise_value_error_text(const char (&key)[N]) {
    nb::object message = text(key);
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    throw nb::python_error();
}

// The last bar of every trading day: the bar before each first-bar-of-day,
// and the very last bar.
nb::object day_end_positions(nb::handle day_pos) {
    ArrayView<int64_t> positions(day_pos, "DayPos", 1);
    const int64_t *dp = positions.data();
    const size_t n = positions.cols();
    std::vector<int64_t> ends;
    for (size_t i = 1; i < n; ++i)
        if (dp[i] == 1)
            ends.push_back(static_cast<int64_t>(i) - 1);
    if (n > 0)
        ends.push_back(static_cast<int64_t>(n) - 1);

    nb::object out = global("np").attr("empty")(ends.size(), nb::arg("dtype") = "int64");
    ArrayView<int64_t> view(out, "day_end_pos", 1, true);
    std::copy(ends.begin(), ends.end(), view.data());
    return out;
}

} // namespace

// def get_trading_days(begin_day, end_day) -> 'np.ndarray'
nb::object get_trading_days(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_trading_days", {"begin_day", "end_day"}, 2);
    auto bound = sig.bind(args, kwargs);
    nb::object begin_day = bound[0], end_day = bound[1];

    nb::object calendar = trading_day_calendar();
    if (!truthy(global("can_cache")(end_day)))
        end_day = global("tvcmd").attr("tvSendCmdGetCurTradeDate")();

    auto range = find_range_int64(calendar, begin_day, end_day);
    if (!range)
        range = find_range_numpy(calendar, begin_day, end_day);
    if (range->first_at_or_after_begin < 0)
        raise_value_error_text("ERROR_INPUT_START_DATE");
    if (range->last_at_or_before_end < 0)
        raise_value_error_text("ERROR_INPUT_END_DATE");

    nb::object slice = nb::steal(PySlice_New(nb::int_(range->first_at_or_after_begin).ptr(),
                                             nb::int_(range->last_at_or_before_end + 1).ptr(), nullptr));
    nb::object days = getitem(calendar, slice);
    // A cache filled elsewhere may be writable; the view never is.
    if (nb::isinstance(days, global("np").attr("ndarray")))
        set_read_only(days);
    return days;
}

// def get_trading_days_condition(market, begin_day, end_day) -> 'np.ndarray'
nb::object get_trading_days_condition(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_trading_days_condition", {"market", "begin_day", "end_day"}, 3);
    auto bound = sig.bind(args, kwargs);
    nb::object days = global("tvcmd").attr("tvSendCmdGetTradingDaysCondition")(bound[0], bound[1], bound[2]);
    // numpy 2 keeps integer input integer under floor; callers get day values as floats.
    nb::object np = global("np");
    return np.attr("floor")(np.attr("asarray")(days, nb::arg("dtype") = np.attr("float64")));
}

// def get_trading_time(targets, frequency, begin_day, end_day, freq_num=1) -> (times, day_pos)
nb::object get_trading_time(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_trading_time", {"targets", "frequency", "begin_day", "end_day", "freq_num"},
                               4);
    auto bound = sig.bind(args, kwargs);
    const nb::object &targets = bound[0], &begin_day = bound[2], &end_day = bound[3];
    nb::object freq_num = or_default(bound[4], nb::int_(1));

    nb::object np = global("np"), gv = global("gv"), cnt = global("cnt");
    nb::object frequency_i = gv.attr("frequency_to_int")(bound[1]);
    // The host knows the time line of the base frequency only.
    nb::object base_frequency = gv.attr("int_to_frequency")(cnt.attr("synthetic_k_data_rule_map")(frequency_i));

    nb::object mat_path =
        global("tvcmd").attr("tvSendCmdGetTradingTime")(targets, base_frequency, begin_day, end_day);
    nb::object mat_dict = global("load_mat")(mat_path, nb::arg("error") = "ignore", nb::arg("rm_if_error") = true);
    global("clear_mat_include_zero_date")(mat_path, end_day);
    // An unreadable file reads as no bar times; one that was read must fit.
    if (truthy(mat_dict))
        checks::check_host_file(mat_path, [&] { checks::trading_time_file(mat_dict); });

    nb::object day_pos =
        mat_dict.attr("get")("DayPos", empty_array()).attr("ravel")().attr("astype")(np.attr("int64"));
    nb::object times = mat_dict.attr("get")("Time", empty_array()).attr("ravel")();

    nb::object numkern = global("numkern");
    if (compare(frequency_i, gv.attr("KFreq_Day"), Py_GE)) {
        times = getitem(times, day_end_positions(day_pos));
        times = getitem(times, cnt.attr("calc_base_fre_complete")(times, frequency_i, true));
        nb::object ones = np.attr("ones")(nb::make_tuple(times.attr("size")));
        times = getitem(times, numkern.attr("tvCalculateFreshMask")(ones, frequency_i, freq_num));
        day_pos = np.attr("ones")(nb::make_tuple(nb::len(times)), nb::arg("dtype") = np.attr("int64"));
    }
    if (compare(freq_num, nb::int_(1), Py_NE) && equals(frequency_i, gv.attr("KFreq_Min"))) {
        nb::object fre_complete = numkern.attr("tvCalculateFreshMask")(day_pos, frequency_i, freq_num);
        times = getitem(times, fre_complete);
        day_pos = getitem(day_pos, fre_complete);
    }
    return nb::make_tuple(times, day_pos);
}

} // namespace telvar::history
