// User indicators and user data: series of the strategy's own, aligned to the
// strategy's bar positions, appended to their stores in the run state and read
// back as windows ending at a bar position.
#include "regora/regora.hpp"
#include "common/kmatrix_layout.hpp"
#include "regora/support.hpp"

#include "common/args.hpp"
#include "common/arrays.hpp"
#include "common/read_limit.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace telvar::regora {

namespace {

double as_double(nb::handle value) {
    double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return d;
}

// NaN stands for the latest bar position.
std::optional<int64_t> bar_position(nb::handle value, const char *name) {
    double d = as_double(value);
    if (std::isnan(d))
        return std::nullopt;
    return checked_integer(d, name);
}

Py_ssize_t shape_at(nb::handle array, int axis) {
    return static_cast<Py_ssize_t>(as_int(array.attr("shape")[axis]));
}

// The latest record a bar sees so far, and its stamp.
struct LatestRecord {
    double time;
    int64_t record;
};

// Forward fill of time-stamped records onto bar times: every bar gets the
// latest record stamped strictly before it (among equal stamps the record
// given last), 0 before the first record. Records stamped NaN are never
// seen, as no bar time passes them. `values` holds `width` values per record;
// `out` is `width` rows of `n_bars` columns.
class RecordAligner {
public:
    RecordAligner(const double *times, size_t n_records, const double *values, size_t width,
                  const double *bars, size_t n_bars, double *out)
        : times_(times), n_(n_records), values_(values), width_(width), bars_(bars),
          m_(n_bars), out_(out) {}

    void run() {
        if (records_ascending())
            cursor_fill(nullptr, n_);
        else if (m_ < UINT32_MAX && bars_ascending())
            bucket_fill();
        else
            sorted_cursor_fill();
    }

private:
    void put(size_t bar, int64_t record) const {
        if (record < 0) {
            for (size_t r = 0; r < width_; ++r)
                out_[r * m_ + bar] = 0.0;
        } else {
            const double *src = values_ + static_cast<size_t>(record) * width_;
            for (size_t r = 0; r < width_; ++r)
                out_[r * m_ + bar] = src[r];
        }
    }

    bool records_ascending() const {
        for (size_t i = 0; i < n_; ++i)
            if (std::isnan(times_[i]) || (i > 0 && times_[i - 1] > times_[i]))
                return false;
        return true;
    }

    bool bars_ascending() const {
        for (size_t i = 0; i < m_; ++i)
            if (!std::isfinite(bars_[i]) || (i > 0 && bars_[i - 1] > bars_[i]))
                return false;
        return true;
    }

    // One cursor over the records in time order (`order`, or as given).
    void cursor_fill(const std::vector<int64_t> *order, size_t n_ordered) const {
        const int64_t n = static_cast<int64_t>(n_ordered);
        auto record = [&](int64_t k) { return order ? (*order)[static_cast<size_t>(k)] : k; };
        int64_t used = -1;
        for (size_t i = 0; i < m_; ++i) {
            while (used + 1 < n && times_[record(used + 1)] < bars_[i])
                ++used;
            put(i, used < 0 ? -1 : record(used));
        }
    }

    // Records in any order onto ascending bar times, without sorting them:
    // each record goes to the first bar that sees it (the first bar time
    // above its stamp), each bar keeps its latest record, and one cursor
    // over the bars carries the latest one forward. A table of equal-width
    // time cells narrows each search to the few bars of one cell; the cell
    // function is monotone, so bars in lower cells are earlier than the
    // record and bars in higher cells are later.
    void bucket_fill() const {
        const size_t n_cells = std::max<size_t>(2 * m_, 1);
        const double lo = m_ ? bars_[0] : 0.0, hi = m_ ? bars_[m_ - 1] : 0.0;
        const double scale = hi > lo ? static_cast<double>(n_cells) / (hi - lo) : 0.0;
        auto cell_of = [&](double t) -> size_t {
            const double c = (t - lo) * scale;
            if (!(c >= 0.0))
                return 0;
            if (c >= static_cast<double>(n_cells - 1))
                return n_cells - 1;
            return static_cast<size_t>(c);
        };
        std::vector<uint32_t> first(n_cells + 1, static_cast<uint32_t>(m_));
        for (size_t i = m_; i-- > 0;)
            first[cell_of(bars_[i])] = static_cast<uint32_t>(i);
        for (size_t c = n_cells; c-- > 0;)
            first[c] = std::min(first[c], first[c + 1]);

        std::vector<LatestRecord> latest(m_, LatestRecord{0.0, -1});
        for (size_t j = 0; j < n_; ++j) {
            const double t = times_[j];
            if (std::isnan(t))
                continue;
            const size_t c = cell_of(t);
            const double *seen = std::upper_bound(bars_ + first[c], bars_ + first[c + 1], t);
            const size_t bar = static_cast<size_t>(seen - bars_);
            if (bar >= m_)
                continue;
            LatestRecord &slot = latest[bar];
            if (slot.record < 0 || slot.time <= t)
                slot = LatestRecord{t, static_cast<int64_t>(j)};
        }
        int64_t current = -1;
        for (size_t i = 0; i < m_; ++i) {
            if (latest[i].record >= 0)
                current = latest[i].record;
            put(i, current);
        }
    }

    // Bar times out of order: the records are sorted once (stably) and one
    // cursor that only moves forward walks them along the bars as given.
    void sorted_cursor_fill() const {
        std::vector<std::pair<double, int64_t>> keyed;
        keyed.reserve(n_);
        for (size_t i = 0; i < n_; ++i)
            if (!std::isnan(times_[i]))
                keyed.emplace_back(times_[i], static_cast<int64_t>(i));
        std::stable_sort(keyed.begin(), keyed.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        std::vector<int64_t> order(keyed.size());
        for (size_t i = 0; i < keyed.size(); ++i)
            order[i] = keyed[i].second;
        cursor_fill(&order, order.size());
    }

    const double *times_;
    size_t n_;
    const double *values_;
    size_t width_;
    const double *bars_;
    size_t m_;
    double *out_;
};

// Window [first, last) of columns ending at `bar_pos` inclusive, at most
// `length` wide, in a store of `n_cols` columns. A position before the
// first bar gives an empty window.
std::pair<Py_ssize_t, Py_ssize_t> window_columns(std::optional<int64_t> bar_pos,
                                                 int64_t length, Py_ssize_t n_cols) {
    int64_t pos = bar_pos ? *bar_pos : n_cols - 1;
    if (pos < 0)
        pos += n_cols;
    int64_t end = std::max<int64_t>(pos + 1, 0);
    int64_t begin = pos >= length - 1 ? pos - length + 1 : 0;
    return {static_cast<Py_ssize_t>(begin), static_cast<Py_ssize_t>(end)};
}

nb::object empty_window(nb::handle np) {
    return nb::make_tuple(np.attr("array")(nb::list()), np.attr("array")(nb::list()));
}

// Row numbers as machine integers when they are a non-empty list of ints or
// a 1-D int64 array (what the registrations return); false for anything
// else, which is left to Python and numpy.
bool plain_rows(nb::handle reg_idx, std::vector<int64_t> &rows) {
    PyObject *obj = reg_idx.ptr();
    if (PyList_Check(obj)) {
        const Py_ssize_t n = PyList_GET_SIZE(obj);
        rows.resize(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *item = PyList_GET_ITEM(obj, i);
            int overflow = 0;
            if (!PyLong_CheckExact(item))
                return false;
            const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
            if (overflow != 0 || (value == -1 && PyErr_Occurred())) {
                PyErr_Clear();
                return false;
            }
            rows[static_cast<size_t>(i)] = value;
        }
        return n > 0;
    }
    if (!PyObject_CheckBuffer(obj))
        return false;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        return false;
    }
    const bool flat = view.ndim == 1 && view.shape[0] > 0 && view.format &&
                      dtype_traits<int64_t>::matches(view.format) &&
                      view.itemsize == static_cast<Py_ssize_t>(sizeof(int64_t));
    if (flat) {
        const int64_t *values = static_cast<const int64_t *>(view.buf);
        rows.assign(values, values + view.shape[0]);
    }
    PyBuffer_Release(&view);
    return flat;
}

// Python's max(reg_idx), for row numbers that are not plain.
nb::object python_max(nb::handle reg_idx) {
    PyObject *max = PyDict_GetItemString(PyEval_GetBuiltins(), "max");
    if (!max)
        throw nb::python_error();
    PyObject *result = PyObject_CallOneArg(max, reg_idx.ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

// store[rows, first:last] of a float64 C-contiguous store, copied here
// without numpy's fancy indexing; invalid when the store is of another kind.
nb::object copy_rows(nb::handle np, nb::handle store, const std::vector<int64_t> &rows,
                     Py_ssize_t first, Py_ssize_t last) {
    Py_buffer view;
    if (PyObject_GetBuffer(store.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        return {};
    }
    const bool direct = view.ndim == 2 && view.format && dtype_traits<double>::matches(view.format) &&
                        view.itemsize == static_cast<Py_ssize_t>(sizeof(double));
    nb::object out;
    if (direct) {
        const size_t n_cols = static_cast<size_t>(view.shape[1]);
        const size_t width = static_cast<size_t>(last - first);
        out = np.attr("empty")(nb::make_tuple(rows.size(), width));
        ArrayView<double> dst(out, "window", 2, true);
        const double *src = static_cast<const double *>(view.buf);
        for (size_t i = 0; i < rows.size(); ++i)
            std::copy_n(src + static_cast<size_t>(rows[i]) * n_cols + static_cast<size_t>(first), width,
                        dst.data() + i * width);
    }
    PyBuffer_Release(&view);
    return out;
}

// Shared by both getters: `store_name` is the store in the run state;
// `copy_times` says whether the time slice is a copy or a view of the
// cache's array.
nb::object user_window(const Signature &sig, const char *store_name, bool copy_times,
                       nb::args args, nb::kwargs kwargs) {
    auto v = sig.bind(args, kwargs);
    nb::object np = global("np");
    nb::object vr = global("cnt").attr("vr");
    nb::object store = vr.attr(store_name);

    if (as_int(store.attr("ndim")) != 2)
        return empty_window(np);
    Py_ssize_t n_rows = shape_at(store, 0), n_cols = shape_at(store, 1);
    std::vector<int64_t> rows;
    const bool plain = plain_rows(v[0], rows);
    if (plain ? *std::max_element(rows.begin(), rows.end()) >= n_rows
              : !(python_max(v[0]) < nb::int_(n_rows)))
        return empty_window(np);

    std::optional<int64_t> bar_pos = bar_position(v[1], "bar_pos");
    int64_t length = checked_integer(as_double(v[2]), "length");
    const int64_t bar = !bar_pos ? n_cols - 1 : (*bar_pos < 0 ? *bar_pos + n_cols : *bar_pos);
    require_not_ahead(bar, v[1], read_limit(vr), [&] { return global("text"); });
    auto [begin, end] = window_columns(bar_pos, length, n_cols);
    nb::object columns = nb::steal(PySlice_New(nb::int_(begin).ptr(), nb::int_(end).ptr(), nullptr));

    nb::object times = vr.attr("g_TelvarCache").attr("dvf_tl")[columns];
    if (copy_times)
        times = times.attr("copy")();
    nb::object value;
    if (plain && *std::min_element(rows.begin(), rows.end()) >= 0) {
        // the columns a slice of the store would give
        const Py_ssize_t first = std::min(begin, n_cols);
        const Py_ssize_t last = std::max(first, std::min(end, n_cols));
        value = copy_rows(np, store, rows, first, last);
    }
    if (!value.is_valid())
        value = store[nb::make_tuple(v[0], columns)];
    return nb::make_tuple(times, value);
}

// Python floats (ints among them), all scalars or all flat sequences of one
// length, or 1-D float64 arrays of one length: the float64 matrix numpy
// would build, filled without numpy's per-object conversions. Anything else
// gives an invalid object and is left to numpy.
class PlainFloatColumns {
public:
    explicit PlainFloatColumns(nb::handle results) : results_(results.ptr()) {}

    nb::object build(nb::handle np) {
        const Py_ssize_t n = PyList_GET_SIZE(results_);
        if (n == 0)
            return {};
        const Py_ssize_t width = width_of(PyList_GET_ITEM(results_, 0));
        if (width < 0)
            return {};
        nb::object out = np.attr("empty")(nb::make_tuple(width, n));
        ArrayView<double> view(out, "indicator values", 2, true);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!fill(PyList_GET_ITEM(results_, i), width, view.data() + i, n))
                return {};
        return saw_float_ ? out : nb::object();
    }

private:
    bool number(PyObject *x, double &value) {
        if (PyFloat_Check(x)) {
            value = PyFloat_AS_DOUBLE(x);
            saw_float_ = true;
            return true;
        }
        if (PyLong_CheckExact(x)) {
            // ints beyond int64 make numpy choose another dtype
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(x, &overflow);
            if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
                PyErr_Clear();
                return false;
            }
            value = static_cast<double>(v);
            return true;
        }
        return false;
    }

    // Values per result: 1 for a scalar (kind 0), the length of a sequence
    // (kind 1) or of a 1-D float64 buffer (kind 2); -1 when not plain.
    Py_ssize_t width_of(PyObject *x) {
        double unused;
        if (number(x, unused)) {
            kind_ = 0;
            return 1;
        }
        if (PyTuple_Check(x) || PyList_Check(x)) {
            kind_ = 1;
            return PySequence_Fast_GET_SIZE(x);
        }
        Py_buffer view;
        if (!PyObject_CheckBuffer(x) || PyObject_GetBuffer(x, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
            PyErr_Clear();
            return -1;
        }
        const bool flat = view.ndim == 1 && view.format && std::string(view.format) == "d";
        const Py_ssize_t len = flat ? view.shape[0] : -1;
        PyBuffer_Release(&view);
        kind_ = 2;
        return len;
    }

    // Writes result `x` into column `dst` (stride `n`) of the output.
    bool fill(PyObject *x, Py_ssize_t width, double *dst, Py_ssize_t n) {
        if (kind_ == 0)
            return number(x, *dst);
        if (kind_ == 1) {
            if (!(PyTuple_Check(x) || PyList_Check(x)) || PySequence_Fast_GET_SIZE(x) != width)
                return false;
            PyObject **items = PySequence_Fast_ITEMS(x);
            for (Py_ssize_t r = 0; r < width; ++r)
                if (!number(items[r], dst[r * n]))
                    return false;
            return true;
        }
        Py_buffer view;
        if (!PyObject_CheckBuffer(x) || PyObject_GetBuffer(x, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
            PyErr_Clear();
            return false;
        }
        const bool ok = view.ndim == 1 && view.format && std::string(view.format) == "d" &&
                        view.shape[0] == width;
        if (ok) {
            const double *src = static_cast<const double *>(view.buf);
            for (Py_ssize_t r = 0; r < width; ++r)
                dst[r * n] = src[r];
            saw_float_ = true;
        }
        PyBuffer_Release(&view);
        return ok;
    }

    PyObject *results_;
    int kind_ = 0;
    bool saw_float_ = false;
};

// One column per result, as numpy.column_stack builds it. Plain float
// results are copied directly; other results that are all scalars, or all
// flat sequences of one length, are converted in one go (a numeric array of
// them, transposed), which is what column_stack gives without its
// per-result conversions; anything else, including results of differing
// lengths, goes through column_stack itself and fails there.
nb::object stack_columns(nb::handle np, nb::handle results) {
    if (PyList_GET_SIZE(results.ptr()) == 0)
        return np.attr("column_stack")(results); // no bars: numpy's own error
    nb::object stacked = PlainFloatColumns(results).build(np);
    if (stacked.is_valid())
        return stacked;
    PyObject *converted = PyObject_CallOneArg(np.attr("array").ptr(), results.ptr());
    if (!converted) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError))
            throw nb::python_error();
        PyErr_Clear();
    } else {
        stacked = nb::steal(converted);
        const long long ndim = as_int(stacked.attr("ndim"));
        const bool numeric = !stacked.attr("dtype").attr("kind").equal(nb::str("O"));
        if (numeric && ndim == 1)
            return stacked.attr("reshape")(1, -1);
        if (numeric && ndim == 2)
            return stacked.attr("T");
    }
    return np.attr("column_stack")(results);
}

} // namespace

// def reg_user_indices(indices_func) -> list of row numbers
nb::object reg_user_indices(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("reg_user_indices", {"indices_func"}, 1);
    auto v = sig.bind(args, kwargs);
    nb::object np = global("np");
    nb::object vr = global("cnt").attr("vr");

    const Py_ssize_t axis0 = shape_at(vr.attr("g_TelvarDataValueFreshUserI"), 0);
    const Py_ssize_t n_bars = shape_at(vr.attr("g_TelvarDataValueFresh"), 1);
    nb::object phase = global("gv").attr("RUMMODE_PHASE_USERINDI");
    nb::object wrapped = global("smm").attr("enter_phase")(phase)(v[0]);
    nb::object context = vr.attr("g_TelvarUserContext");

    // One call per bar position, in time order; the context tells the user's
    // function which bar it is looking at. The indicator is a series over
    // the whole run, registered (as K-data is) beyond the current bar: reads
    // are not limited meanwhile, also when registered inside on_bar.
    nb::object results = nb::steal(PyList_New(n_bars));
    if (!results.is_valid())
        throw nb::python_error();
    const ReadLimitLifted unlimited(vr);
    nb::str bar_attr("_internal_bar_num");
    for (Py_ssize_t pos = 0; pos < n_bars; ++pos) {
        nb::object pos_obj = nb::steal(PyLong_FromSsize_t(pos));
        if (!pos_obj.is_valid() || PyObject_SetAttr(context.ptr(), bar_attr.ptr(), pos_obj.ptr()) != 0)
            throw nb::python_error();
        PyObject *result = PyObject_CallOneArg(wrapped.ptr(), context.ptr());
        if (!result)
            throw nb::python_error();
        PyList_SET_ITEM(results.ptr(), pos, result);
    }
    // Registered inside on_bar, the strategy goes on at its current bar (left
    // at the last bar, reads at context.bar_pos would be reads ahead);
    // elsewhere the context stays at the last bar.
    if (const long long current = unlimited.saved(); current >= 0) {
        nb::object pos_obj = nb::steal(PyLong_FromLongLong(current));
        if (!pos_obj.is_valid() || PyObject_SetAttr(context.ptr(), bar_attr.ptr(), pos_obj.ptr()) != 0)
            throw nb::python_error();
    }

    nb::object indices_data = stack_columns(np, results);
    const Py_ssize_t first_len =
        as_int(np.attr("asarray")(results[0]).attr("size"));
    nb::object expected = nb::make_tuple(first_len, n_bars);
    if (!indices_data.attr("shape").equal(expected)) {
        nb::object message = global("text").attr("WARN_USER_INDICES_RESULT_FORMAT").attr("format")(
            nb::arg("TARGETLEN") = first_len, nb::arg("COLUMNLEN") = n_bars);
        raise_with(global("UnExpectError").ptr(), message);
    }

    nb::setattr(vr, "g_TelvarDataValueFreshUserI",
                global("append_or_assign_2d_array_axis0")(vr.attr("g_TelvarDataValueFreshUserI"),
                                                     indices_data, axis0));
    nb::list rows;
    for (Py_ssize_t r = 0; r < first_len; ++r)
        rows.append(axis0 + r);
    return rows;
}

// def reg_user_data(time_line, data) -> 1-D array of row numbers
nb::object reg_user_data(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("reg_user_data", {"time_line", "data"}, 2);
    auto v = sig.bind(args, kwargs);
    nb::object np = global("np");
    nb::object vr = global("cnt").attr("vr");

    ArrayView<double> times(v[0], "time_line", 1);
    nb::object data_array = np.attr("asarray")(v[1]);
    const long long data_ndim = as_int(data_array.attr("ndim"));
    if (data_ndim != 1 && data_ndim != 2)
        raise_value_error("data must be a 1-D or 2-D array, got " + std::to_string(data_ndim) + "-D");
    ArrayView<double> values(data_array, "data", data_ndim);
    // A 1-D series is one value per record; a 2-D one has a row per record.
    const size_t n_records = data_ndim == 1 ? values.cols() : values.rows();
    const size_t width = data_ndim == 1 ? 1 : values.cols();
    if (n_records != times.cols())
        raise_value_error("data has " + std::to_string(n_records) + " records but time_line has " +
                          std::to_string(times.cols()) + " times");

    nb::object fresh = vr.attr("g_TelvarDataValueFresh");
    nb::object bar_row = getitem(fresh, kmatrix::kTimeLine);
    ArrayView<double> bar_times(bar_row, "fresh-bar time row", 1);
    const size_t n_bars = bar_times.cols();

    nb::object fill_data = np.attr("empty")(nb::make_tuple(width, n_bars));
    ArrayView<double> out(fill_data, "fill_data", 2, true);
    {
        // Every Python object is converted above; the sort and the cursor
        // touch only the raw buffers.
        nb::gil_scoped_release release;
        RecordAligner(times.data(), times.cols(), values.data(), width, bar_times.data(), n_bars,
                      out.data())
            .run();
    }

    nb::object store = vr.attr("g_TelvarDataValueFreshUserD");
    const Py_ssize_t axis0 = shape_at(store, 0);
    if (as_int(store.attr("size")) < 1)
        nb::setattr(vr, "g_TelvarDataValueFreshUserD", fill_data);
    else
        nb::setattr(vr, "g_TelvarDataValueFreshUserD",
                    np.attr("append")(store, fill_data, nb::arg("axis") = 0));
    return np.attr("arange")(axis0, axis0 + static_cast<Py_ssize_t>(width));
}

// def get_reg_user_indicator(reg_idx, bar_pos, length) -> (datetime_tl, value)
nb::object get_reg_user_indicator(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_reg_user_indicator", {"reg_idx", "bar_pos", "length"}, 3);
    return user_window(sig, "g_TelvarDataValueFreshUserI", true, args, kwargs);
}

// def get_reg_user_data(reg_idx, bar_pos, length) -> (datetime_tl, value)
nb::object get_reg_user_data(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_reg_user_data", {"reg_idx", "bar_pos", "length"}, 3);
    return user_window(sig, "g_TelvarDataValueFreshUserD", false, args, kwargs);
}

} // namespace telvar::regora
