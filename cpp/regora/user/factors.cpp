// Factors: per-target daily series registered once for the strategy's targets
// and read bar by bar. All factors share one matrix in the run state: row 0
// holds the factor dates, then `target_len` rows per factor in registration
// order; "FreshIdx" maps every strategy bar to the factor column of its day.
#include "regora/content_checks.hpp"
#include "common/kmatrix_layout.hpp"
#include "regora/regora.hpp"
#include "regora/support.hpp"

#include "common/args.hpp"
#include "common/arrays.hpp"
#include "common/read_limit.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace telvar::regora {

namespace {

// Far beyond any real column count; keeps the window arithmetic in range.
constexpr int64_t kMaxColumn = int64_t(1) << 40;

double as_double(nb::handle value) {
    double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return d;
}

// Target key of a factor-file variable "fv_<market>_<code>": the last two
// "_"-separated parts joined by "." and upper-cased.
std::string target_key(const std::string &name) {
    size_t last = name.rfind('_');
    size_t start = last == 0 || last == std::string::npos ? 0 : name.rfind('_', last - 1);
    start = start == std::string::npos ? 0 : start + 1;
    std::string key = name.substr(start);
    if (last != std::string::npos)
        key[last - start] = '.';
    for (char &c : key)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return key;
}

// The series of a factor file, keyed by target, plus "date"; a file whose
// content does not fit, or that lacks the series of one of `columns` (the
// targets' keys), is a TvDataError naming it.
nb::dict read_factor_file(nb::handle path, nb::handle columns) {
    nb::object np = global("np");
    nb::object mat = global("load_mat")(path, "raise", true);
    std::vector<std::string> names;
    for (nb::handle name : mat.attr("keys")()) {
        if (!PyUnicode_Check(name.ptr()))
            continue;
        Py_ssize_t size = 0;
        const char *chars = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
        if (!chars)
            throw nb::python_error();
        std::string s(chars, static_cast<size_t>(size));
        if (s.rfind("fv_", 0) == 0)
            names.push_back(std::move(s));
    }
    std::sort(names.begin(), names.end());
    nb::list series;
    for (const std::string &name : names)
        series.append(nb::str(name.c_str()));
    nb::dict factor_dict;
    try {
        checks::factor_file(mat, series);
        for (const std::string &name : names)
            factor_dict[nb::str(target_key(name).c_str())] = np.attr("ravel")(mat[nb::str(name.c_str())]);
        for (nb::handle key : columns)
            if (!factor_dict.contains(key)) {
                std::string name = "fv_" + mat_content::text_of(key);
                std::replace(name.begin(), name.end(), '.', '_');
                throw checks::ContentProblem(name, checks::ContentProblem::Kind::Missing);
            }
    } catch (const checks::ContentProblem &problem) {
        // read once, whatever it held
        nb::module_::import_("telvar.kestrum.ufuncs").attr("release_host_answer")(path);
        mat_content::raise_host_file_error(global("text"), path, problem);
    }
    factor_dict["date"] = np.attr("ravel")(mat["Date"]);
    return factor_dict;
}

// Position of `name` in `names` by Python equality, or -1.
Py_ssize_t find_name(const std::vector<nb::object> &names, nb::handle name) {
    for (size_t i = 0; i < names.size(); ++i) {
        if (equals(names[i], name))
            return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

// Day number of every bar counted from the first day of the refresh K
// matrix: a day starts where the day position equals the first bar's.
nb::object day_numbers(nb::handle day_pos_row) {
    nb::object np = global("np");
    ArrayView<double> day_pos(day_pos_row, "day position row", 1);
    nb::object fresh_idx = np.attr("empty")(day_pos.cols(), nb::arg("dtype") = "int64");
    ArrayView<int64_t> out(fresh_idx, "FreshIdx", 1, true);
    int64_t day = -1;
    for (size_t i = 0; i < day_pos.cols(); ++i) {
        if (day_pos[i] == day_pos[0])
            ++day;
        out[i] = day;
    }
    return fresh_idx;
}

Py_ssize_t shape_of(nb::handle array, int axis) {
    return static_cast<Py_ssize_t>(as_int(array.attr("shape")[axis]));
}

// A factor's dates against the date row: equal, or equal but for the NaN
// column a registration adds for the latest bar's day. Rows of another
// length are left to the row concatenation, which rejects them.
bool same_dates(nb::handle np, nb::handle dates, nb::handle date_row) {
    const Py_ssize_t n = shape_of(dates, 0), n_row = shape_of(date_row, 0);
    if (n != n_row && n != n_row - 1)
        return true;
    nb::object head = date_row[nb::steal(PySlice_New(nullptr, nb::int_(n).ptr(), nullptr))];
    return truthy(np.attr("array_equal")(dates, head));
}

// A view of an array the registration stored (C-contiguous, of the right
// dtype and writable: no conversion needed); anything else is converted.
// `ndim` 0 accepts a 1-D or 2-D array, read as one flat run of values.
template <typename T> ArrayView<T> stored_view(nb::handle obj, const char *name, int ndim) {
    Py_buffer probe;
    if (PyObject_GetBuffer(obj.ptr(), &probe, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) == 0) {
        const bool direct = probe.format && dtype_traits<T>::matches(probe.format) &&
                            probe.itemsize == static_cast<Py_ssize_t>(sizeof(T)) &&
                            (ndim ? probe.ndim == ndim : (probe.ndim == 1 || probe.ndim == 2));
        const int found_ndim = probe.ndim;
        PyBuffer_Release(&probe);
        if (direct)
            return ArrayView<T>(obj, name, found_ndim, true);
    } else {
        PyErr_Clear();
    }
    if (ndim == 0)
        return ArrayView<T>(global("np").attr("ravel")(obj), name, 1);
    return ArrayView<T>(obj, name, ndim);
}

Py_ssize_t last_int(nb::handle array) {
    Py_ssize_t n = nb::len(array);
    return static_cast<Py_ssize_t>(as_int(array[n - 1]));
}

// The factor names of a call: a single name as a list of one, as the host
// reads it.
nb::list factor_names(nb::handle factors) {
    nb::list names;
    if (PyUnicode_Check(factors.ptr())) {
        names.append(factors);
        return names;
    }
    names = nb::steal<nb::list>(PySequence_List(factors.ptr()));
    if (!names.is_valid())
        throw nb::python_error();
    return names;
}

// Factor rows are numbered factor * target count: a call with another number
// of targets than the stored rows were made for would hand out rows of other
// factors.
void require_registered_targets(nb::handle value_dict, size_t n_known, Py_ssize_t target_len) {
    const Py_ssize_t stored_rows = shape_of(value_dict["FactorData"], 0) - 1;
    if (stored_rows != static_cast<Py_ssize_t>(n_known) * target_len)
        raise_with(PyExc_ValueError,
                   global("text").attr("ERROR_FACTOR_TARGETS").attr("format")(
                       nb::arg("TARGETLEN") = target_len,
                       nb::arg("REGISTERED") = stored_rows / static_cast<Py_ssize_t>(n_known)));
}

// What the factors of one registration call share.
struct FactorCall {
    nb::handle targets, begin_date, end_date;
    nb::object columns;     // the targets as the factor files name them
    size_t n_distinct;      // distinct names among them
    nb::object stored_dates; // the stored date row, invalid on a first registration
};

// The factor's values from the host's file (or the factor store when there
// is none): (its date row, one row per target). Its dates are checked
// against the stored date row, else against `first_dates` (the first new
// factor's), which are its own when `first` (a factor's dates compare
// unequal to themselves when they hold NaN).
std::pair<nb::object, nb::object> load_factor(const FactorCall &call, nb::handle factor,
                                              nb::handle path, nb::handle first_dates,
                                              bool first) {
    nb::object np = global("np");
    nb::object factor_dict;
    if (truthy(global("os").attr("path").attr("exists")(path))) {
        factor_dict = read_factor_file(path, call.columns);
        // The host's file is read once: cleaned as soon as it is in memory.
        nb::module_::import_("telvar.kestrum.ufuncs").attr("release_host_answer")(path);
    } else {
        factor_dict =
            global("get_factor_by_factor")(factor, call.targets, call.begin_date, call.end_date, 0);
    }
    nb::object data_date = np.attr("ravel")(factor_dict["date"]);
    nb::handle reference = call.stored_dates.is_valid() ? nb::handle(call.stored_dates)
                           : first                      ? nb::handle(data_date)
                                                        : first_dates;
    if (reference.is_valid() && !same_dates(np, data_date, reference))
        raise_with(PyExc_ValueError,
                   global("text").attr("ERROR_FACTOR_DATES").attr("format")(nb::arg("FACTOR") = factor));
    if (nb::len(factor_dict) != call.n_distinct + 1)
        raise_with(global("TvDataError").ptr(), global("text").attr("ERROR_WRONG_FACTOR_SIZE"));
    nb::list series;
    for (nb::handle key : call.columns)
        series.append(factor_dict[key]);
    nb::object block = nb::len(call.targets) > 0
                           ? np.attr("array")(series, nb::arg("dtype") = "float64")
                           : np.attr("empty")(nb::make_tuple(0, nb::len(data_date)));
    // one value per date for every target
    if (as_int(block.attr("ndim")) != 2 || shape_of(block, 1) != shape_of(data_date, 0))
        raise_with(global("TvDataError").ptr(), global("text").attr("ERROR_WRONG_FACTOR_SIZE"));
    return {data_date, block};
}

// Bar-to-column map. Bars of a day or finer count trading days from the
// refresh matrix's first day; coarser bars look their date up in the factor
// date row (the stored one on a later registration). Invalid when there is
// no date row to look in.
nb::object bar_columns(nb::handle info, nb::handle refresh_matrix, nb::handle matrix_dates) {
    if (as_int(info.attr("KFrequencyI")) <= gv_int("KFreq_Day"))
        return day_numbers(getitem(refresh_matrix, kmatrix::kDayPos));
    if (!matrix_dates.is_valid())
        return nb::object();
    nb::object bar_dates = global("np").attr("floor")(getitem(refresh_matrix, kmatrix::kTimeLine));
    return global("numkern").attr("ismember")(bar_dates, matrix_dates)[1];
}

// `rows` with a NaN column after them (the column of the latest bar's day,
// one past the factor dates).
nb::object with_nan_column(nb::handle np, nb::handle rows) {
    nb::object pad = np.attr("full")(nb::make_tuple(shape_of(rows, 0), 1), NAN);
    return np.attr("hstack")(nb::make_tuple(rows, pad));
}

// The factor matrix with the new factors' blocks, built completely before
// anything in the run state changes, so a failed registration leaves no
// trace. Invalid when there is none.
nb::object new_factor_data(nb::handle stored, nb::handle date_row, nb::list new_blocks,
                           Py_ssize_t last_col) {
    nb::object np = global("np");
    if (stored.is_valid()) {
        if (nb::len(new_blocks) == 0)
            return nb::borrow(stored);
        nb::object new_rows = np.attr("vstack")(new_blocks);
        if (last_col == shape_of(new_rows, 1))
            new_rows = with_nan_column(np, new_rows);
        return np.attr("concatenate")(nb::make_tuple(stored, new_rows), nb::arg("axis") = 0);
    }
    if (!date_row.is_valid())
        return nb::object();
    nb::list stacked;
    stacked.append(date_row);
    for (nb::handle block : new_blocks)
        stacked.append(block);
    nb::object factor_data = np.attr("vstack")(stacked);
    if (last_col == shape_of(factor_data, 1)) {
        // The latest bar's day lies one column past the factor dates: a NaN
        // column stamped with that day.
        factor_data = with_nan_column(np, factor_data);
        nb::object fresh_times =
            getitem(global("cnt").attr("vr").attr("g_TelvarDataValueFresh"), kmatrix::kTimeLine);
        factor_data[nb::make_tuple(0, -1)] = np.attr("floor")(fresh_times[-1]);
    }
    return factor_data;
}

} // namespace

// def reg_factor(factors, targets, begin_date, end_date) -> factor rows,
// one row per factor and one column per target.
nb::object reg_factor(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("reg_factor", {"factors", "targets", "begin_date", "end_date"}, 4);
    auto v = sig.bind(args, kwargs);
    nb::handle factors = v[0], targets = v[1], begin_date = v[2], end_date = v[3];
    nb::object vr = global("cnt").attr("vr");
    nb::object info = vr.attr("g_TelvarInputInfo");

    const Py_ssize_t target_len = nb::len(targets);
    nb::object refresh_matrix =
        vr.attr("g_TelvarKDataList")[info.attr("RefreshKDataIdx")].attr("Matrix");
    nb::object factor_list = info.attr("FactorList");
    FactorCall call{targets, begin_date, end_date, global("todotmc")(targets), 0, nb::object()};
    const nb::list factor_seq = factor_names(factors);
    const Py_ssize_t n_factors = nb::len(factor_seq);

    nb::object value_dict = vr.attr("g_TelvarFactorValueDict");
    const int has_key = PySequence_Contains(value_dict.ptr(), nb::str("FactorData").ptr());
    if (has_key < 0)
        throw nb::python_error();
    const bool has_data = has_key == 1;
    std::vector<nb::object> known;
    for (nb::handle name : factor_list)
        known.push_back(nb::borrow(name));
    const size_t n_known = known.size();
    if (has_data)
        call.stored_dates = value_dict["FactorData"][0];
    if (has_data && n_known > 0)
        require_registered_targets(value_dict, n_known, target_len);

    nb::object paths = global("tvcmd").attr("tvSendCmdGetFactorMultiFilePath")(
        PyUnicode_Check(factors.ptr()) ? nb::handle(factor_seq) : factors, targets, begin_date,
        end_date, 0);

    nb::object date_row;  // dates of the first factor of a first registration
    nb::list new_blocks;  // one block of target rows per new factor
    std::vector<int64_t> rows;
    rows.reserve(static_cast<size_t>(n_factors) * static_cast<size_t>(target_len));
    nb::object distinct = nb::steal(PySet_New(call.columns.ptr()));
    if (!distinct.is_valid())
        throw nb::python_error();
    call.n_distinct = nb::len(distinct);

    for (Py_ssize_t idx = 0; idx < n_factors; ++idx) {
        nb::object factor = factor_seq[idx];
        Py_ssize_t number = find_name(known, factor);
        if (number < 0) {
            const bool first = !has_data && idx == 0;
            auto [data_date, block] = load_factor(call, factor, paths[idx], date_row, first);
            if (first)
                date_row = data_date;
            new_blocks.append(block);
            number = static_cast<Py_ssize_t>(known.size());
            known.push_back(factor);
        }
        for (Py_ssize_t t = 0; t < target_len; ++t)
            rows.push_back(static_cast<int64_t>(number * target_len + t));
    }

    nb::object fresh_idx =
        bar_columns(info, refresh_matrix, has_data ? call.stored_dates : date_row);
    const bool has_map = fresh_idx.is_valid() && nb::len(fresh_idx) > 0;
    const Py_ssize_t last_col = has_map ? last_int(fresh_idx) : -1;
    nb::object factor_data = new_factor_data(has_data ? nb::handle(value_dict["FactorData"]) : nb::handle(),
                                             date_row, new_blocks, last_col);

    for (size_t i = n_known; i < known.size(); ++i)
        factor_list.attr("append")(known[i]);
    if (fresh_idx.is_valid())
        value_dict["FreshIdx"] = fresh_idx;
    if (factor_data.is_valid())
        value_dict["FactorData"] = factor_data;

    nb::object result = global("np").attr("empty")(nb::make_tuple(n_factors, target_len),
                                                   nb::arg("dtype") = "int64");
    ArrayView<int64_t> out(result, "factor rows", 2, true);
    std::copy(rows.begin(), rows.end(), out.data());
    return result;
}

// def get_reg_factor(reg_idx, pos, length) -> (dt, value), right-aligned
// windows of factor columns ending at the column of a strategy bar.
nb::object get_reg_factor(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_reg_factor", {"reg_idx", "pos", "length"}, 3);
    auto v = sig.bind(args, kwargs);
    nb::object np = global("np");
    nb::object vr = global("cnt").attr("vr");

    const Py_ssize_t n_bars = shape_of(vr.attr("g_TelvarDataValueFresh"), 1);
    nb::object value_dict = vr.attr("g_TelvarFactorValueDict");
    ArrayView<int64_t> rows = stored_view<int64_t>(v[0], "reg_idx", 0);
    const double pos_value = as_double(v[1]);
    const int64_t length = checked_integer(as_double(v[2]), "length");
    if (length < 0)
        raise_value_error("length must not be negative");
    ArrayView<int64_t> fresh_idx = stored_view<int64_t>(value_dict["FreshIdx"], "FreshIdx", 1);
    ArrayView<double> data = stored_view<double>(value_dict["FactorData"], "FactorData", 2);
    data.require_rows(1, "the factor date row");

    // End column (exclusive). A bar position counts from the end when
    // negative; NaN is the latest bar.
    const int64_t n_map = static_cast<int64_t>(fresh_idx.cols());
    auto map_at = [&](int64_t i) {
        if (i < 0 || i >= n_map)
            raise_index_error("bar position " + std::to_string(i) + " is outside the " +
                              std::to_string(n_map) + " mapped strategy bars");
        const int64_t column = fresh_idx[static_cast<size_t>(i)];
        if (column < -kMaxColumn || column > kMaxColumn)
            raise_value_error("FreshIdx holds an impossible factor column " + std::to_string(column));
        return column;
    };
    const bool latest = std::isnan(pos_value);
    const int64_t pos = latest ? 0 : checked_integer(pos_value, "pos");
    const int64_t bar = latest ? std::min<int64_t>(n_bars, n_map) - 1 : (pos < 0 ? pos + n_bars : pos);
    require_not_ahead(bar, v[1], read_limit(vr), [&] { return global("text"); });
    const int64_t end_pos = map_at(bar) + (pos < 0 ? 0 : 1);
    const int64_t begin_pos = std::max<int64_t>(end_pos - length, 0);
    const int64_t data_len = std::max<int64_t>(end_pos - begin_pos, 0);

    const int64_t n_factor_rows = static_cast<int64_t>(data.rows()) - 1;
    std::vector<size_t> source_rows(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        int64_t r = rows[i];
        if (r < -n_factor_rows || r >= n_factor_rows)
            raise_index_error("factor row " + std::to_string(r) + " is out of bounds for " +
                              std::to_string(n_factor_rows) + " factor rows");
        source_rows[i] = static_cast<size_t>(1 + (r < 0 ? r + n_factor_rows : r));
    }

    nb::object dt = np.attr("empty")(length);
    nb::object value = np.attr("empty")(nb::make_tuple(rows.size(), length));
    ArrayView<double> dt_out(dt, "dt", 1, true);
    ArrayView<double> value_out(value, "value", 2, true);
    std::fill_n(dt_out.data(), dt_out.size(), NAN);
    std::fill_n(value_out.data(), value_out.size(), NAN);
    // Columns the factor matrix does not reach (yet) stay NaN.
    const int64_t n_cols = static_cast<int64_t>(data.cols());
    const int64_t offset = length - data_len;
    for (int64_t k = 0; k < data_len; ++k) {
        const int64_t c = begin_pos + k;
        if (c >= n_cols)
            break;
        const size_t dst = static_cast<size_t>(offset + k);
        dt_out[dst] = data(0, static_cast<size_t>(c));
        for (size_t i = 0; i < source_rows.size(); ++i)
            value_out(i, dst) = data(source_rows[i], static_cast<size_t>(c));
    }
    return nb::make_tuple(dt, value);
}

} // namespace telvar::regora
