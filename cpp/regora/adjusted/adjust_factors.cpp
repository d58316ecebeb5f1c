// Price adjustment across main-contract rolls. A continuous target is served
// by a sequence of contracts; each stretch of bars of one contract after the
// first is rescaled by the cumulative ratio (previous contract's last close /
// new contract's first open), so adjusted prices run on without the jump at
// the roll. The result is the adjusted base item of a frequency (day or
// minute bars), from which every adjusted bar is combined.
#include "common/args.hpp"
#include "regora/adjusted/adjusted.hpp"
#include "common/kmatrix_layout.hpp"

#include <cmath>
#include <vector>

namespace telvar::regora {


namespace {

// First index whose value is not below `v` (side="left"), or above `v`
// (side="right"), on an ascending array. Plain bisection: any input, NaN
// included, gives an index in [0, n].
size_t search_left(const double *a, size_t n, double v) {
    size_t lo = 0, hi = n;
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (a[mid] < v)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

size_t search_right(const double *a, size_t n, double v) {
    size_t lo = 0, hi = n;
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (v < a[mid])
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

nb::object int64_array(const std::vector<long long> &values) {
    nb::list items;
    for (long long v : values)
        items.append(py_int(v));
    return global("np").attr("array")(items, nb::arg("dtype") = "int64");
}

struct Stretch {
    nb::object code;
    double first_day;
    double last_day;
};

// The day numbers of the history's dates; the (date, code) pairs are taken
// as zip() makes them, and the dates converted in one call.
std::vector<double> day_numbers_of(nb::handle dates, nb::handle codes, nb::list &code_list) {
    nb::list int_dates;
    nb::iterator code_it = nb::iter(codes);
    for (nb::handle date : dates) {
        if (code_it == nb::iterator::sentinel())
            break;
        code_list.append(*code_it);
        ++code_it;
        int_dates.append(to_int(date));
    }
    const size_t pairs = nb::len(code_list);
    std::vector<double> day_numbers;
    if (pairs == 0)
        return day_numbers;
    nb::object np = global("np");
    ArrayView<double> ordinals(
        global("int_date_to_ordinal")(np.attr("array")(int_dates, nb::arg("dtype") = "int64")),
        "int_date_to_ordinal() result", 1);
    if (ordinals.cols() != pairs)
        raise_value_error("int_date_to_ordinal() gave " + std::to_string(ordinals.cols()) +
                          " day numbers for " + std::to_string(pairs) + " dates");
    day_numbers.assign(ordinals.data(), ordinals.data() + pairs);
    return day_numbers;
}

// Maximal runs of one contract code in the main-contract history (dates,
// codes), in history order: a code that comes back after another starts a
// new stretch.
std::vector<Stretch> contract_stretches(nb::handle dates, nb::handle codes) {
    nb::list code_list;
    const std::vector<double> day_numbers = day_numbers_of(dates, codes, code_list);
    std::vector<Stretch> stretches;
    for (size_t k = 0; k < day_numbers.size(); ++k) {
        nb::object code = code_list[k];
        const double day = day_numbers[k];
        if (!stretches.empty() && equals(stretches.back().code, code)) {
            stretches.back().last_day = day;
            continue;
        }
        stretches.push_back({code, day, day});
    }
    return stretches;
}

// Minute bars: night sessions carry the calendar date of the evening before
// their trading day, so the date search puts them with the earlier contract.
// Each boundary moves back to the start of the trading day it falls in (a
// bar with day position 1); that whole trading day goes to the new contract.
// A boundary that already is a day start, or lies after the last bar, stays:
// moving it to the previous day start would hand the old contract's last
// trading day to the new one.
void move_boundaries_to_day_starts(std::vector<long long> &points, nb::handle day_pos_arg,
                                   size_t n) {
    ArrayView<double> day_pos(day_pos_arg, "day_pos", 1);
    if (day_pos.cols() != n)
        raise_value_error("day_pos has " + std::to_string(day_pos.cols()) +
                          " values, date_tl " + std::to_string(n));
    bool all_day_starts = true;
    for (size_t k = 0; k < n && all_day_starts; ++k)
        all_day_starts = day_pos[k] == 1.0;
    if (all_day_starts)
        return;
    for (size_t i = 0; i + 2 < points.size(); i += 2) {
        const long long end = points[i + 1];
        long long start = end;
        if (end < static_cast<long long>(n)) {
            start = 0; // no day start up to the end: the new stretch takes everything
            for (long long k = end; k >= 0; --k) {
                if (day_pos[static_cast<size_t>(k)] == 1.0) {
                    start = k;
                    break;
                }
            }
        }
        points[i + 1] = start;
        points[i + 2] = start;
    }
}

} // namespace

// def find_exchange_day(date_tl, day_pos, target_dict, begin_date: int, end_date: int)
nb::object find_exchange_day(nb::args args, nb::kwargs kwargs) {
    static const Signature sig(
        "find_exchange_day", {"date_tl", "day_pos", "target_dict", "begin_date", "end_date"}, 5);
    auto v = sig.bind(args, kwargs);
    const long long begin_date = as_int(v[3]);
    const long long end_date = as_int(v[4]);

    nb::list targets;
    targets.append(v[2]);
    nb::object data_dict = global("get_main_contract")(targets, begin_date, end_date);
    if (py_len(data_dict) < 1)
        return global("np").attr("array")(nb::list());
    nb::object keys = nb::steal(PySequence_List(data_dict.attr("keys")().ptr()));
    if (!keys.is_valid())
        throw nb::python_error();
    auto [dates, codes] = unpack_pair(getitem(data_dict, getitem(keys, 0)));
    const std::vector<Stretch> stretches = contract_stretches(dates, codes);

    ArrayView<double> date_tl(v[0], "date_tl", 1);
    const size_t n = date_tl.cols();
    std::vector<long long> points;
    points.reserve(stretches.size() * 2);
    for (const Stretch &s : stretches) {
        points.push_back(static_cast<long long>(search_left(date_tl.data(), n, s.first_day)));
        points.push_back(static_cast<long long>(search_right(date_tl.data(), n, s.last_day)));
    }
    if (points.size() > 2)
        move_boundaries_to_day_starts(points, v[1], n);
    return int64_array(points);
}

namespace {

// Rescales the stretches after the first of one target in place; returns
// the cumulative divisor and dividend. A roll without a usable previous
// close or first open (no bar, NaN, a zero open) leaves the ratio as it
// was instead of turning every later price into NaN or infinity. The chain
// starts from `origin` (1, 1 normally); a later part of a longer run starts
// from the factors in force at its first bar, which scale its first stretch too.
std::pair<double, double> adjust_target(const ArrayView<double> &base,
                                        long long target, const std::vector<long long> &points,
                                        ArrayView<double> &adj, std::pair<double, double> origin) {
    const long long n = static_cast<long long>(base.cols());
    const double *open = base.data() + kmatrix::plain_row(kmatrix::kPriceFields[0], target) * n;
    const double *close = base.data() + kmatrix::plain_row(kmatrix::kPriceFields[3], target) * n;
    double divisor = origin.first, dividend = origin.second;
    const bool scale_first = divisor != 1.0 || dividend != 1.0;
    for (size_t index = scale_first ? 0 : 2; index + 1 < points.size(); index += 2) {
        const long long prev_end = index ? points[index - 1] : 0;
        const long long begin = points[index];
        const long long end = std::min(points[index + 1], n);
        if (prev_end >= 1 && begin < n) {
            const double last_close = close[prev_end - 1];
            const double first_open = open[begin];
            if (std::isfinite(last_close) && std::isfinite(first_open) && first_open != 0.0) {
                divisor *= last_close;
                dividend *= first_open;
            }
        }
        for (int f = 0; f < 4; ++f) {
            const double *raw = base.data() + kmatrix::plain_row(kmatrix::kPriceFields[f], target) * n;
            double *out = adj.data() + kmatrix::adj_row(kmatrix::kAdjPriceFields[f], target) * n;
            for (long long i = begin; i < end; ++i)
                out[i] = raw[i] * divisor / dividend; // multiply first, as the factors chain
        }
    }
    return {divisor, dividend};
}

// Change points as returned by find_exchange_day, checked against the bar
// count: pairs of positions within [0, n].
std::vector<long long> change_points_of(nb::handle value, long long n) {
    ArrayView<int64_t> view(value, "find_exchange_day() result", 1);
    if (view.cols() % 2 != 0)
        raise_value_error("find_exchange_day() must return pairs of positions, got " +
                          std::to_string(view.cols()) + " values");
    std::vector<long long> points(view.data(), view.data() + view.cols());
    for (long long p : points)
        if (p < 0 || p > n)
            raise_value_error("change point " + std::to_string(p) +
                              " lies outside the base item's " + std::to_string(n) + " bars");
    return points;
}

// Raw prices first: the first stretch, and bars outside every stretch,
// keep them.
void copy_raw_prices(const ArrayView<double> &base, ArrayView<double> &adj, long long targets) {
    const long long n = static_cast<long long>(base.cols());
    nb::gil_scoped_release release;
    for (long long t = 0; t < targets; ++t)
        for (int f = 0; f < 4; ++f) {
            const double *raw = base.data() + kmatrix::plain_row(kmatrix::kPriceFields[f], t) * n;
            std::copy(raw, raw + n, adj.data() + kmatrix::adj_row(kmatrix::kAdjPriceFields[f], t) * n);
        }
}

// The adjustment record of a target: last change point, divisor, dividend.
nb::list calc_record(nb::object last_point, nb::object divisor, nb::object dividend) {
    nb::list record;
    record.append(std::move(last_point));
    record.append(std::move(divisor));
    record.append(std::move(dividend));
    return record;
}

// Every target's record before any adjustment: no change point, factors 1.
nb::dict unadjusted_calc_info(nb::handle inputs) {
    nb::dict calc_info;
    for (nb::handle key : inputs.attr("TargetListDot"))
        calc_info[key] = calc_record(py_int(-1), py_int(1), py_int(1));
    return calc_info;
}

// The factors a chunked run's earlier chunks left for the target, or (1, 1).
// `origins`: {target key: (divisor, dividend)} of this frequency.
std::pair<double, double> origin_of(nb::handle origins, nb::handle target_key) {
    nb::object origin = origins.attr("get")(target_key, nb::none());
    if (origin.is_none())
        return {1.0, 1.0};
    return {nb::cast<double>(getitem(origin, 0)), nb::cast<double>(getitem(origin, 1))};
}

} // namespace

// def calc_1_freq_matrix_adj(frequency_i)
nb::object calc_1_freq_matrix_adj(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("calc_1_freq_matrix_adj", {"frequency_i"}, 1);
    auto v = sig.bind(args, kwargs);
    const long long frequency_i = as_int(v[0]);
    if (frequency_i != gv_int("KFreq_Day") && frequency_i != gv_int("KFreq_Min"))
        raise_with(PyExc_ValueError, nb::str("frequency_i input error"));

    nb::object adj_list = adjusted::kdata_list_adj();
    const long long existing = adjusted::find_pos_in(adj_list, frequency_i, 1);
    if (existing != -1)
        return py_int(existing);
    const long long k_data_pos = adjusted::find_pos_in(kdata_list(), frequency_i, 1);
    if (k_data_pos < 0)
        adjusted::raise_missing("Not exist frequency=`%d%s` k data", 1, frequency_i);
    nb::object k_data = getitem(kdata_list(), k_data_pos);

    nb::object np = global("np");
    nb::object inputs = run_inputs();
    nb::object target_list = inputs.attr("TargetList");
    const long long targets = py_len(target_list);

    nb::object matrix = k_data.attr("Matrix");
    ArrayView<double> base(matrix, "Matrix", 2);
    const long long n = static_cast<long long>(base.cols());
    if (n < 1)
        raise_value_error("the base K-data item has no bars");
    if (static_cast<long long>(base.rows()) < kmatrix::matrix_rows(targets))
        raise_value_error("the base K matrix has " + std::to_string(base.rows()) +
                          " rows, too few for " + std::to_string(targets) + " targets");

    nb::object date_tl = np.attr("floor")(getitem(matrix, kmatrix::kTimeLine));
    nb::object day_pos = getitem(matrix, kmatrix::kDayPos);
    nb::object mft_to_int_format = global("mft_to_int_format");
    nb::object begin_date = mft_to_int_format(getitem(date_tl, 0));
    nb::object end_date = mft_to_int_format(getitem(date_tl, -1));

    nb::object adj_matrix = np.attr("zeros")(nb::make_tuple(targets * kmatrix::kAdjBarLen, n),
                                             nb::arg("dtype") = np.attr("float64"));
    ArrayView<double> adj(adj_matrix, "adjusted matrix", 2, true);
    copy_raw_prices(base, adj, targets);
    nb::dict calc_info = unadjusted_calc_info(inputs);

    // {frequency code: {target key: (divisor, dividend)}} a chunked run sets for its later chunks
    nb::object origins = nb::getattr(run_state(), "g_TelvarAdjOrigin", nb::none());
    if (!origins.is_none())
        origins = origins.attr("get")(py_int(frequency_i), nb::none());
    nb::object todotmc = global("todotmc");
    long long idx = 0;
    for (nb::handle target : target_list) {
        nb::object result = call_module("find_exchange_day", date_tl, day_pos, target, begin_date,
                                        end_date);
        if (as_int(result.attr("size")) < 1) {
            ++idx;
            continue;
        }
        const std::vector<long long> points = change_points_of(result, n);
        std::pair<double, double> factors{1.0, 1.0};
        if (!origins.is_none())
            factors = origin_of(origins, todotmc(target));
        {
            nb::gil_scoped_release release;
            factors = adjust_target(base, idx, points, adj, factors);
        }
        calc_info[todotmc(target)] =
            calc_record(py_int(points.back()), nb::float_(factors.first), nb::float_(factors.second));
        ++idx;
    }

    adj_list.attr("append")(global("AdjKDataItem")(
        nb::arg("KFrequency") = adjusted::frequency_name(frequency_i), nb::arg("KFreqNum") = 1,
        nb::arg("Matrix") = adj_matrix, nb::arg("AdjCalcPos") = calc_info,
        nb::arg("LastSynTimeLinePos") = n));
    return py_int(py_len(adj_list) - 1);
}

} // namespace telvar::regora
