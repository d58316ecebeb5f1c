// get_reg_k_data: the window of registered K-data a strategy reads on every
// bar. For each target, the last `length` bars of the registered frequency as
// known at the bar position, bottom-aligned in an object array
// (target index, bar time, fields); the newest row is the bar still forming.
// The array is built directly from the matrices' buffers: one pass that
// writes every cell once.
#include "common/args.hpp"
#include "regora/books_cache.hpp"
#include "regora/cell_cache.hpp"
#include "regora/support.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <vector>

namespace telvar {
namespace regora {

namespace {

// Python floats for the forming bar's cells (matrix cells come from the
// column cache): a small direct-mapped table hands out the same float object
// for the same value instead of allocating again.
class FloatPool {
public:
    explicit FloatPool(PyObject *nan) : nan_(nan) {}
    FloatPool(const FloatPool &) = delete;
    FloatPool &operator=(const FloatPool &) = delete;
    ~FloatPool() {
        for (auto &slot : slots_)
            Py_XDECREF(slot.obj);
    }

    // A new reference to a float of `value`.
    PyObject *get(double value) {
        if (std::isnan(value)) {
            Py_INCREF(nan_);
            return nan_;
        }
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        Slot &slot = slots_[(bits ^ (bits >> 29) ^ (bits >> 41)) & (kSlots - 1)];
        if (slot.obj && slot.bits == bits) {
            Py_INCREF(slot.obj);
            return slot.obj;
        }
        PyObject *obj = PyFloat_FromDouble(value);
        if (!obj)
            throw nb::python_error();
        Py_XDECREF(slot.obj);
        slot.obj = obj;
        slot.bits = bits;
        Py_INCREF(obj);
        return obj;
    }

private:
    static constexpr size_t kSlots = 64;
    struct Slot {
        uint64_t bits = 0;
        PyObject *obj = nullptr;
    };
    PyObject *nan_;
    std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
};

// The output object array, written cell by cell through its data pointer.
// numpy creates object arrays filled with None; every cell is replaced
// exactly once, dropping the None reference it held.
// numpy's array object begins with PyObject_HEAD and the data pointer (the
// layout numpy's own PyArray_DATA reads, unchanged since numpy 1.0). The
// layout is confirmed once against __array_interface__; should it ever
// differ, every array is asked through __array_interface__ instead.
struct NumpyArrayHead {
    PyObject_HEAD
    char *data;
};

PyObject **cells_via_interface(nb::handle array) {
    nb::object iface = array.attr("__array_interface__");
    if (!getitem(iface, nb::str("strides")).is_none() ||
        std::string(to_str(getitem(iface, nb::str("typestr"))).c_str()) != "|O")
        raise_value_error("numpy.empty(dtype=object) did not give a C-contiguous object array");
    const long long address = as_int(getitem(getitem(iface, nb::str("data")), 0));
    return reinterpret_cast<PyObject **>(static_cast<uintptr_t>(address));
}

PyObject **object_cells(nb::handle array) {
    static int head_layout_known = -1;
    if (head_layout_known < 0) {
        PyObject **expected = cells_via_interface(array);
        head_layout_known =
            reinterpret_cast<NumpyArrayHead *>(array.ptr())->data == reinterpret_cast<char *>(expected);
        return expected;
    }
    if (head_layout_known)
        return reinterpret_cast<PyObject **>(reinterpret_cast<NumpyArrayHead *>(array.ptr())->data);
    return cells_via_interface(array);
}

// The output object array, written cell by cell through its data pointer.
// numpy creates object arrays filled with None; every cell is replaced
// exactly once, dropping the None reference it held.
class ObjectMatrix {
public:
    ObjectMatrix(long long rows, long long cols) : rows_(rows), cols_(cols) {
        nb::handle object_type(reinterpret_cast<PyObject *>(&PyBaseObject_Type));
        array_ = global("np").attr("empty")(nb::make_tuple(rows, cols), object_type);
        cells_ = object_cells(array_);
    }

    // Stores a new reference (stolen) in cell (r, c).
    void put(long long r, long long c, PyObject *value) {
        PyObject **cell = cells_ + r * cols_ + c;
        PyObject *old = *cell;
        *cell = value;
        Py_XDECREF(old);
    }
    void put_shared(long long r, long long c, PyObject *value) {
        Py_INCREF(value);
        put(r, c, value);
    }

    nb::object release() { return std::move(array_); }

private:
    long long rows_, cols_;
    nb::object array_;
    PyObject **cells_ = nullptr;
};

// int(x) as Python does it (floats truncate, NaN raises ValueError).
long long to_int(nb::handle value) {
    nb::object as_long = nb::steal(PyNumber_Long(value.ptr()));
    if (!as_long.is_valid())
        throw nb::python_error();
    long long result = PyLong_AsLongLong(as_long.ptr());
    if (result == -1 && PyErr_Occurred())
        throw nb::python_error();
    return result;
}

long long index_of(double value, const char *what) { return checked_integer(value, what); }

// One registered K-data item as seen at one bar position.
struct ItemAtBar {
    nb::object item;
    ArrayView<double> matrix;
    ArrayView<double> time_line;
    MatrixCells *cells = nullptr; // float objects of the matrix's columns
    RealBarBooks *books = nullptr; // typed real-bar bookkeeping, on first use
    long long current_bar = 0;    // CurrentBar[bar_pos], unclamped
};

// A view without the conversion call when the array already is C-contiguous
// float64 (the usual case: matrices and bookkeeping arrays), converting
// otherwise. Nothing is written through it.
ArrayView<double> read_view(nb::handle obj, const char *name, int ndim) {
    Py_buffer probe;
    if (PyObject_GetBuffer(obj.ptr(), &probe, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) == 0) {
        const bool usable = probe.format && std::strcmp(probe.format, "d") == 0 && probe.ndim == ndim;
        PyBuffer_Release(&probe);
        if (usable)
            return ArrayView<double>(obj, name, ndim, true);
    } else {
        PyErr_Clear(); // read-only, strided or not an array: converted below
    }
    return ArrayView<double>(obj, name, ndim);
}

std::string out_of_bounds(long long index, long long size, const char *what) {
    return "index " + std::to_string(index) + " is out of bounds for " + what + " with size " +
           std::to_string(size);
}

} // namespace

// def get_reg_k_data(reg_idx, bar_pos, length, fill_up)
nb::object get_reg_k_data(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_reg_k_data", {"reg_idx", "bar_pos", "length", "fill_up"}, 4);
    auto v = sig.bind(args, kwargs);

    ArrayView<double> reg_idx = read_view(v[0], "reg_idx", 2);
    if (reg_idx.cols() < 4)
        raise_value_error("reg_idx must have at least 4 columns, got " +
                          std::to_string(reg_idx.cols()));
    const long long length = as_int(v[2]);
    if (length < 0)
        raise_value_error("negative dimensions are not allowed");
    const bool fill_up = truthy(v[3]);

    // Identifies this call to the object caches (entries in use are kept).
    const unsigned long long call = next_window_call();
    const long long bar_len = gv_int("KMatrix_Bar_Len");
    const long long head_len = gv_int("KMatrixPos_Head_len");
    const long long bar_begin = gv_int("KMatrix_Bar_Begin");
    const long long volume_field = gv_int("KMatrix_Volume");
    const long long body_start = 2;
    const long long body_end = body_start + bar_len;
    const long long targets = static_cast<long long>(reg_idx.rows());

    nb::object state = run_state();
    nb::object kdata_s = state.attr("g_TelvarKDataList");
    nb::object cache = state.attr("g_TelvarCache");
    nb::object dvf_obj = state.attr("g_TelvarDataValueFresh");
    nb::object dvf_arr = global("np").attr("asarray")(dvf_obj);
    const long long dvf_ndim = as_int(dvf_arr.attr("ndim"));
    ArrayView<double> dvf = read_view(dvf_arr, "g_TelvarDataValueFresh", dvf_ndim == 1 ? 1 : 2);
    const long long positions = static_cast<long long>(dvf.cols());

    // NaN selects the latest position; negative positions count from the end.
    const double bar_pos_value = PyFloat_AsDouble(v[1].ptr());
    if (bar_pos_value == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    long long bar_pos = std::isnan(bar_pos_value) ? positions - 1 : as_int(v[1]);
    if (bar_pos < 0)
        bar_pos += positions;
    if (bar_pos < 0 || bar_pos >= positions)
        raise_index_error(out_of_bounds(bar_pos, positions, "the strategy bar positions"));

    nb::object nan = global("np").attr("nan");
    ObjectMatrix out(length * targets, body_end);
    FloatPool floats(nan.ptr());

    // Column 0 holds the target index in every row. Each block's bars fill
    // its bottom rows; the rows above them get NaN at the end, so every cell
    // is written once.
    for (long long i = 0; i < targets; ++i) {
        nb::object target = py_int(index_of(reg_idx(i, 3), "reg_idx target index"));
        for (long long r = i * length; r < (i + 1) * length; ++r)
            out.put_shared(r, 0, target.ptr());
    }
    std::vector<long long> bottom_rows(static_cast<size_t>(targets), 0);
    auto finish = [&]() {
        for (long long i = 0; i < targets; ++i)
            for (long long r = i * length; r < (i + 1) * length - bottom_rows[i]; ++r)
                for (long long c = 1; c < body_end; ++c)
                    out.put_shared(r, c, nan.ptr());
        return out.release();
    };
    if (targets == 0 || length == 0)
        return finish();

    // Items are looked up once per call, however many targets share them.
    std::map<long long, ItemAtBar> items;
    const long long registry_len = py_len(kdata_s);
    auto item_at = [&](long long pos) -> ItemAtBar & {
        auto found = items.find(pos);
        if (found != items.end())
            return found->second;
        if (pos < 0 || pos >= registry_len)
            raise_index_error(out_of_bounds(pos, registry_len, "the K-data registry"));
        ItemAtBar view;
        view.item = getitem(kdata_s, pos);
        view.matrix = read_view(view.item.attr("Matrix"), "Matrix", 2);
        view.time_line =
            read_view(cache.attr("get_history_k_data_time_line_cache")(pos), "time line", 1);
        view.current_bar = to_int(getitem(view.item.attr("CurrentBar"), bar_pos));
        view.cells = &matrix_cells(view.matrix.object(), view.matrix.data(), view.matrix.rows(),
                                   view.matrix.cols(), view.time_line.object(),
                                   view.time_line.data(), view.time_line.cols(),
                                   static_cast<size_t>(2 * length + 64), call);
        return items.emplace(pos, std::move(view)).first->second;
    };
    auto field_rows = [&](const ItemAtBar &view, long long target_idx) {
        const long long first = head_len + target_idx * bar_len + bar_begin;
        if (target_idx < 0 || first + bar_len > static_cast<long long>(view.matrix.rows()))
            raise_index_error("target index " + std::to_string(target_idx) +
                              " has no block in the K matrix");
        return first;
    };

    ArrayView<double> dvf_tl = read_view(cache.attr("dvf_tl"), "dvf_tl", 1);
    if (bar_pos >= static_cast<long long>(dvf_tl.cols()))
        raise_index_error(out_of_bounds(bar_pos, dvf_tl.cols(), "dvf_tl"));
    const double forming_time = dvf_tl[bar_pos];
    // First fresh-bar row of row i's forming bar, or -1 without one.
    auto forming_row = [&](long long i) -> long long {
        const double first = reg_idx(i, 2);
        if (std::isnan(first))
            return -1;
        const long long row = index_of(first, "reg_idx fresh-bar row");
        if (dvf_ndim == 1 || row < 0 || row + bar_len > static_cast<long long>(dvf.rows()))
            raise_index_error("fresh-bar rows " + std::to_string(row) + ".." +
                              std::to_string(row + bar_len) + " are outside the store");
        return row;
    };
    auto put_forming = [&](long long out_row, long long dvf_row) {
        out.put(out_row, 1, floats.get(forming_time));
        for (long long f = 0; f < bar_len; ++f)
            out.put(out_row, body_start + f, floats.get(dvf(dvf_row + f, bar_pos)));
    };

    if (fill_up) {
        // One time window, from the first target's item, serves every target.
        ItemAtBar &first = item_at(index_of(reg_idx(0, 0), "reg_idx item position"));
        const long long cols0 = static_cast<long long>(first.matrix.cols());
        // The bar containing the position lies after the item's last
        // (completed) column: the window is the completed bars plus the
        // forming bar, instead of the forming bar overwriting the last
        // completed one.
        const bool open_tail = first.current_bar > cols0 - 1 && !std::isnan(reg_idx(0, 2));
        const long long completed = open_tail ? length - 1 : length;
        const long long cur00 = std::min(cols0 - 1, first.current_bar);
        const long long start = std::max(0LL, cur00 - completed + 1);
        const long long data_len = std::max(0LL, std::min(cur00 - start + 1, completed));
        if (start + data_len > static_cast<long long>(first.time_line.cols()))
            raise_index_error("the time line is shorter than the K matrix");
        const long long time_slot = static_cast<long long>(first.matrix.rows());
        std::vector<PyObject *const *> first_columns;
        for (long long k = 0; k < data_len; ++k)
            first_columns.push_back(first.cells->column(start + k));

        for (long long i = 0; i < targets; ++i) {
            ItemAtBar &view = item_at(index_of(reg_idx(i, 0), "reg_idx item position"));
            const long long target_idx = index_of(reg_idx(i, 3), "reg_idx target index");
            const long long row0 = field_rows(view, target_idx);
            const long long cols = static_cast<long long>(view.matrix.cols());
            const long long stop = std::min(std::max(view.current_bar + 1, 0LL), cols);
            const long long available = std::max(0LL, std::min(stop - start, completed));
            if (available != data_len)
                raise_value_error("could not broadcast the bars of K-data item " +
                                  std::to_string(index_of(reg_idx(i, 0), "")) +
                                  " into the window of the first target's item");
            const long long row_end = (i + 1) * length;
            const long long data_end = open_tail ? row_end - 1 : row_end;
            for (long long k = 0; k < data_len; ++k) {
                const long long r = data_end - data_len + k;
                out.put_shared(r, 1, first_columns[k][time_slot]);
                PyObject *const *cells =
                    view.cells == first.cells ? first_columns[k] : view.cells->column(start + k);
                for (long long f = 0; f < bar_len; ++f)
                    out.put_shared(r, body_start + f, cells[row0 + f]);
            }
            const long long dvf_row = forming_row(i);
            if (dvf_row >= 0)
                put_forming(row_end - 1, dvf_row);
            bottom_rows[i] = std::min(length, (open_tail ? data_len + 1 : data_len) +
                                                  (dvf_row >= 0 && data_len == 0 ? 1 : 0));
        }
        return finish();
    }

    // Real-bar window: per target, the newest `length` bars with volume > 0.
    // A column of -1 in `columns` stands for the forming bar.
    std::vector<long long> columns;
    for (long long i = 0; i < targets; ++i) {
        ItemAtBar &view = item_at(index_of(reg_idx(i, 0), "reg_idx item position"));
        const long long target_idx = index_of(reg_idx(i, 3), "reg_idx target index");
        const long long row0 = field_rows(view, target_idx);
        if (!view.books)
            view.books = &real_bar_books(view.item.attr("UnfilledBarRef"),
                                         view.item.attr("UnfilledIdx"), call);
        const ArrayView<double> &bar_ref = view.books->bar_ref(target_idx);
        const long long end_bar =
            std::min(static_cast<long long>(bar_ref.cols()) - 1, view.current_bar);
        // Before the item's first bar there is nothing to show (an index of
        // -1 must not wrap round to the last bar).
        if (end_bar < 0 || std::isnan(bar_ref[end_bar]))
            continue;
        const double last_real = bar_ref[end_bar];
        if (!(std::fabs(last_real) < 9.0e15))
            raise_value_error("UnfilledBarRef holds an invalid position");
        const long long ref = std::max(0LL, static_cast<long long>(last_real) - length);
        const ArrayView<int64_t> &real_columns = view.books->real_columns(target_idx);
        if (ref >= static_cast<long long>(real_columns.cols()))
            raise_index_error("real-bar bookkeeping points outside UnfilledIdx");
        const long long start = real_columns[ref];
        if (start < 0 || end_bar >= static_cast<long long>(view.matrix.cols()) ||
            end_bar >= static_cast<long long>(view.time_line.cols()))
            raise_index_error("real-bar bookkeeping points outside the K matrix");
        const long long dvf_row = forming_row(i);
        const bool open_tail =
            dvf_row >= 0 && view.current_bar > static_cast<long long>(view.matrix.cols()) - 1;
        const bool replaces_end = dvf_row >= 0 && !open_tail;

        columns.clear();
        if (open_tail && dvf(dvf_row + volume_field, bar_pos) > 0)
            columns.push_back(-1);
        for (long long col = end_bar;
             col >= start && static_cast<long long>(columns.size()) < length; --col) {
            if (col == end_bar && replaces_end) {
                if (dvf(dvf_row + volume_field, bar_pos) > 0)
                    columns.push_back(-1);
            } else if (view.matrix(row0 + volume_field, col) > 0) {
                columns.push_back(col);
            }
        }

        const long long row_end = (i + 1) * length;
        const long long fill_len = static_cast<long long>(columns.size());
        bottom_rows[i] = fill_len;
        for (long long k = 0; k < fill_len; ++k) {
            const long long col = columns[fill_len - 1 - k];
            const long long r = row_end - fill_len + k;
            if (col < 0) {
                put_forming(r, dvf_row);
                continue;
            }
            PyObject *const *cells = view.cells->column(col);
            out.put_shared(r, 1, cells[view.matrix.rows()]);
            for (long long f = 0; f < bar_len; ++f)
                out.put_shared(r, body_start + f, cells[row0 + f]);
        }
    }
    return finish();
}

} // namespace regora
} // namespace telvar
