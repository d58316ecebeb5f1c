// Per-target K-data matrices: each target's bars at any frequency and bar
// size over a date range, on the target's own time line, built from the
// host's base-frequency bars with the bar kernels and cached per target.
#include "history/per_target.hpp"

#include "history/content_checks.hpp"

#include "common/kmatrix_layout.hpp"

#include <algorithm>
#include <cstring>

namespace telvar::history {
namespace {

const char *const kFieldNames[7] = {"Open", "High", "Low", "Close", "Volume", "TurnOver", "OpenInterest"};
// Row of field `f` (open .. open interest) of a one-target K matrix.
constexpr int64_t field_row(int64_t f) { return kmatrix::kHeadLen + kmatrix::kOpen + f; }

// What one call asks for, shared by the per-target builds.
struct Request {
    nb::object frequency_i;
    bool intraday;
    nb::object freq_num;
    bool n_period; // freq_num != 1
    bool filled_up;
};

// An empty one-target K matrix of `n` bars from the framework, checked to
// hold the rows the layout names.
nb::object new_kmatrix(size_t n) {
    nb::object matrix = global("cnt").attr("env").attr("generate_kmatrix_array")(1, n);
    ArrayView<double> view(matrix, "generate_kmatrix_array result", 2, true);
    const Py_ssize_t needed = kmatrix::matrix_rows(1);
    if (view.cols() != n || static_cast<Py_ssize_t>(view.rows()) < needed)
        raise_value_error("generate_kmatrix_array(1, " + std::to_string(n) + ") returned a " +
                          std::to_string(view.rows()) + "x" + std::to_string(view.cols()) + " matrix");
    return matrix;
}

// The host's bars of one target as a K matrix at the base frequency, from
// the first day start on when intraday. Returns an invalid object when the
// file holds no bars.
nb::object base_matrix(nb::handle info_dict, nb::handle target_key, const Request &req) {
    nb::object np = global("np");
    nb::object get = info_dict.attr("get");
    ArrayView<double> time(get("Time", empty_array()).attr("ravel")(), "Time", 1);
    if (time.size() < 1)
        return nb::object();
    nb::object begin_bar_obj =
        get("BeginBar", empty_array()).attr("ravel")().attr("astype")(np.attr("int64"));
    ArrayView<int64_t> begin_bar(begin_bar_obj, "BeginBar", 1);
    const size_t total = time.size();
    if (req.intraday && begin_bar.size() != total)
        raise_field_length_error(target_key, nb::str("BeginBar"), begin_bar.size(), total);

    // Bars before the first day start belong to a day cut by the range; with
    // no day start at all nothing is dropped.
    size_t first = 0;
    if (req.intraday && begin_bar[0] != 1) {
        for (size_t i = 0; i < total; ++i)
            if (begin_bar[i] == 1) {
                first = i;
                break;
            }
    }
    const size_t n = total - first;

    std::vector<ArrayView<double>> fields;
    fields.reserve(7);
    for (int f = 0; f < 7; ++f) {
        nb::object value = get(kFieldNames[f]);
        if (value.is_none())
            raise_field_length_error(target_key, nb::str(kFieldNames[f]), 0, total);
        fields.emplace_back(value.attr("ravel")(), kFieldNames[f], 1);
        if (fields.back().size() != total)
            raise_field_length_error(target_key, nb::str(kFieldNames[f]), fields.back().size(), total);
    }

    nb::object matrix = new_kmatrix(n);
    ArrayView<double> m(matrix, "matrix", 2, true);
    {
        // Every Python object is converted; the copies and the day numbering
        // touch only raw buffers.
        nb::gil_scoped_release release;
        std::memcpy(&m(kmatrix::kTimeLine, 0), time.data() + first, n * sizeof(double));
        for (int f = 0; f < 7; ++f)
            std::memcpy(&m(field_row(f), 0), fields[f].data() + first, n * sizeof(double));
        if (req.intraday) {
            // Number the bars of each trading day 1, 2, ... from its start.
            bool started = false;
            int64_t count = 0;
            for (size_t i = 0; i < n; ++i) {
                int64_t flag = begin_bar[first + i];
                if (flag == 1) {
                    started = true;
                    count = 1;
                } else if (started) {
                    flag = ++count;
                }
                m(kmatrix::kDayPos, i) = static_cast<double>(flag);
            }
        }
    }
    return matrix;
}

// Combines base bars into bars of a day-or-coarser frequency; returns the
// new matrix and replaces `time_line` with its bar times.
nb::object combine_to_frequency(nb::handle matrix, nb::object &time_line, const Request &req) {
    nb::object numkern = global("numkern");
    nb::object complete = global("cnt").attr("calc_base_fre_complete")(time_line, req.frequency_i, true);
    nb::object new_time_line = getitem(time_line, complete);
    auto [base_begin, base_end] = unpack_pair(numkern.attr("tvCalcKDataBeginEndPos")(time_line, new_time_line));

    ArrayView<double> times(new_time_line, "bar times", 1);
    // The kernel writes every target row itself: only the head rows it
    // copies are made (NaN where not set below).
    nb::object temp = global("np").attr("full")(nb::make_tuple(kmatrix::kHeadLen, times.size()),
                                                global("np").attr("nan"));
    {
        ArrayView<double> t(temp, "matrix", 2, true);
        for (size_t j = 0; j < times.size(); ++j) {
            t(kmatrix::kTimeLine, j) = times[j];
            t(kmatrix::kDayPos, j) = 1.0;
        }
    }
    nb::object combined = numkern.attr("tvCalcCombineMatrixHtoL")(matrix, temp, base_begin, base_end,
                                                                  kmatrix::kBarLen, 0, kmatrix::kHeadLen);
    time_line = new_time_line;
    return combined;
}

// The complete bars of one target: rows from the bar-end row down, columns
// of the bars that close a bar of the requested size (and traded, unless
// filled bars are wanted). Invalid object when the host sent no bars.
nb::object build_target(nb::handle info_dict, nb::handle target_key, const Request &req) {
    nb::object matrix = base_matrix(info_dict, target_key, req);
    if (!matrix.is_valid())
        return matrix;
    nb::object time_line = getitem(matrix, kmatrix::kTimeLine); // the kernels leave their inputs as they are
    if (!req.intraday)
        matrix = combine_to_frequency(matrix, time_line, req);

    nb::object numkern = global("numkern");
    nb::object new_matrix;
    nb::object complete; // invalid: every bar is complete
    if (req.n_period) {
        complete = global("np").attr("array")(
            numkern.attr("tvCalculateFreshMask")(getitem(matrix, kmatrix::kDayPos), req.frequency_i, req.freq_num),
            nb::arg("dtype") = "bool");
        // The host delivered whole trading days, so the last bar of the range
        // closes its bar even when fewer than N bars are left for it.
        if (nb::cast<size_t>(complete.attr("size")) > 0)
            complete[nb::int_(-1)] = true;
        auto [begin_pos, end_pos] = unpack_pair(
            numkern.attr("tvCalcRegKDataBeginEndPos")(time_line, getitem(time_line, complete), 0));
        new_matrix = numkern.attr("tvCalcCombineMatrix1toN")(matrix, begin_pos, end_pos, kmatrix::kBarLen, 0);
    } else {
        new_matrix = matrix;
    }

    ArrayView<double> nm(new_matrix, "combined matrix", 2);
    ArrayView<double> times(time_line, "bar times", 1);
    const size_t n = nm.cols();
    if (times.size() != n || static_cast<Py_ssize_t>(nm.rows()) <= field_row(kmatrix::kVolume))
        raise_value_error("combined matrix of shape " + std::to_string(nm.rows()) + "x" +
                          std::to_string(n) + " does not fit " + std::to_string(times.size()) +
                          " bar times");
    std::vector<uint8_t> keep = complete.is_valid() ? selection_mask(complete, n, "tvCalculateFreshMask result")
                                                    : std::vector<uint8_t>(n, 1);

    // Without filled bars only the traded ones stay (numkern's definition:
    // a NaN volume, as feeds without volumes have, is no filled bar).
    if (!req.filled_up) {
        nb::object traded = numkern.attr("tvCalcTradedMask")(new_matrix, kmatrix::kHeadLen, kmatrix::kBarLen);
        const std::vector<uint8_t> flags =
            selection_mask(getitem(traded, 0), n, "tvCalcTradedMask result");
        for (size_t j = 0; j < n; ++j)
            keep[j] = keep[j] && flags[j];
    }
    const size_t out_rows = nm.rows() - static_cast<size_t>(kmatrix::kEnd);
    std::vector<size_t> columns;
    columns.reserve(n);
    for (size_t j = 0; j < n; ++j)
        if (keep[j])
            columns.push_back(j);
    nb::object out = global("np").attr("empty")(nb::make_tuple(out_rows, columns.size()));
    ArrayView<double> o(out, "result", 2, true);
    {
        nb::gil_scoped_release release;
        for (size_t c = 0; c < columns.size(); ++c)
            o(0, c) = times[columns[c]]; // the bar-end row carries the bar time
        for (size_t r = 1; r < out_rows; ++r) {
            const double *from = nm.data() + (static_cast<size_t>(kmatrix::kEnd) + r) * n;
            double *to = o.data() + r * columns.size();
            for (size_t c = 0; c < columns.size(); ++c)
                to[c] = from[columns[c]];
        }
    }
    return out;
}

nb::object copy_array(nb::handle value) { return value.attr("copy")(); }

} // namespace

// def get_k_data_independent_target(targets, frequency, freq_num, begin_date,
//                                   end_date, filled_up, fq) -> list
nb::object get_k_data_independent_target(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_k_data_independent_target",
                               {"targets", "frequency", "freq_num", "begin_date", "end_date",
                                "filled_up", "fq"},
                               7);
    auto a = sig.bind(args, kwargs);
    nb::object &targets = a[0], &frequency = a[1], &freq_num = a[2], &begin_date = a[3],
               &end_date = a[4], &filled_up = a[5], &fq = a[6];

    nb::object gv = global("gv");
    nb::object cnt = global("cnt");
    Request req;
    req.frequency_i = gv.attr("frequency_to_int")(frequency);
    req.intraday = req.frequency_i < gv.attr("KFreq_Day");
    req.freq_num = freq_num;
    req.n_period = !equals(freq_num, nb::int_(1));
    req.filled_up = truthy(filled_up);

    TargetGroups groups = group_targets(targets);
    nb::list results = empty_results(groups.n_targets);
    if (groups.n_targets == 0)
        return std::move(results);

    // a result's rows: the bar-end row (bar times), then the bar fields
    const size_t result_rows = static_cast<size_t>(kmatrix::kHeadLen + kmatrix::kBarLen - kmatrix::kEnd);
    auto check_cached = [&](nb::handle entry) { checks::per_target_entry(entry, result_rows); };
    auto place_cached = [&](size_t g, nb::handle entry) {
        place_result(results, groups.positions[g], entry.attr("get")("k_matrix_single", empty_array()),
                     copy_array);
    };
    const TargetCache cache(groups, end_date,
                            {{"KFrequency", frequency},
                             {"KFreqNum", freq_num},
                             {"BeginDate", begin_date},
                             {"EndDate", end_date},
                             {"FilledUp", filled_up},
                             {"FQ", fq}},
                            "get_k_data_independent_target", "_kdata", check_cached, place_cached);
    if (cache.all_cached())
        return std::move(results);

    nb::object base_frequency =
        gv.attr("int_to_frequency")(cnt.attr("synthetic_k_data_rule_map")(req.frequency_i));
    // One request for every uncached target, always one-unit filled bars.
    nb::object mat_paths = global("tvcmd").attr("tvSendCmdGetKData")(cache.uncached_records(), base_frequency, 1,
                                                                     begin_date, end_date, true, fq, false);

    nb::object load_mat = global("load_mat");
    cache.for_each_answer(mat_paths, [&](size_t g, nb::handle path) {
        nb::object info_dict = load_mat(path, nb::arg("rm_if_error") = true);
        // The host's file is read once: cleaned as soon as it is in memory.
        global("clear_mat_include_cur_trade_date")(path, end_date);
        checks::check_host_file(path, [&] { checks::per_target_file(info_dict, req.intraday); });
        nb::object result = build_target(info_dict, groups.keys[g], req);
        if (!result.is_valid())
            return;
        place_result(results, groups.positions[g], result, copy_array);
        if (nb::cast<size_t>(result.attr("size")) != 0) {
            nb::dict entry;
            entry["k_matrix_single"] = result;
            cache.save(g, entry);
        }
    });
    return std::move(results);
}

} // namespace telvar::history
