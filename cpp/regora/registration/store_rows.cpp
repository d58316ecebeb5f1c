// Growing the fresh-bar store in place (see store_rows.hpp).
#include "regora/registration/store_rows.hpp"

#include "common/arrays.hpp"
#include "regora/support.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace telvar::regora {

namespace {

// A buffer (weakly referenced, so that a run that ends frees it) and the
// row count of the latest view of it handed out. One per store that grows
// (the plain and the adjusted fresh-bar stores); never destroyed, as they
// may outlive the interpreter's finalisation.
struct LatestView {
    nb::object buffer_ref;
    long long rows = 0;
};
std::vector<LatestView> &latest_views() {
    static auto *views = new std::vector<LatestView>();
    return *views;
}

// The entry of `buffer`, or null; entries of freed buffers are dropped.
LatestView *latest_view_of(nb::handle buffer) {
    auto &views = latest_views();
    views.erase(std::remove_if(views.begin(), views.end(),
                               [](const LatestView &v) { return v.buffer_ref().is_none(); }),
                views.end());
    for (LatestView &view : views)
        if (view.buffer_ref().is(buffer))
            return &view;
    return nullptr;
}

long long dim(nb::handle array, int axis) { return as_int(getitem(array.attr("shape"), axis)); }

nb::object data_address(nb::handle array) {
    return getitem(array.attr("__array_interface__")["data"], 0);
}

// `buffer` (store.base) still has `store` as its latest view, with room for
// `needed` rows.
bool has_room(nb::handle store, nb::handle buffer, long long rows, long long needed) {
    const LatestView *view = buffer.is_none() ? nullptr : latest_view_of(buffer);
    if (!view || view->rows != rows)
        return false;
    nb::object float64 = global("np").attr("float64");
    return store.attr("dtype").equal(float64) && truthy(store.attr("flags")["C_CONTIGUOUS"]) &&
           dim(buffer, 0) >= needed && dim(buffer, 1) == dim(store, 1) &&
           data_address(store).equal(data_address(buffer));
}

// Rows of a new buffer below `needed` rows: room for kSpareBlocks more
// blocks of `block_rows`, at least as many rows again as `needed`.
constexpr long long kSpareBlocks = 32;

// A new float64 buffer for at least `needed` rows of `cols`, as roomy as the
// system grants: its unwritten rows are only address space, but a system
// that refuses large reservations gets a smaller one.
nb::object new_buffer(long long needed, long long block_rows, long long cols) {
    nb::object np = global("np");
    const long long roomy = needed + std::max(needed, kSpareBlocks * block_rows);
    for (long long rows : {roomy, 2 * needed, needed}) {
        try {
            return np.attr("empty")(nb::make_tuple(rows, cols), np.attr("float64"));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_MemoryError) || rows == needed)
                throw;
        }
    }
    return nb::none(); // not reached: the last try returns or throws
}

} // namespace

GrownStore grow_store_rows(nb::handle store, long long block_rows, long long spare_rows) {
    if (block_rows < 0 || spare_rows < 0)
        raise_value_error("a store cannot grow by " + std::to_string(block_rows) + " rows (" +
                          std::to_string(spare_rows) + " spare)");
    const long long rows = dim(store, 0);
    const long long needed = rows + block_rows;
    nb::object buffer = store.attr("base");
    if (!has_room(store, buffer, rows, needed + spare_rows)) {
        buffer = new_buffer(needed + spare_rows, block_rows, dim(store, 1));
        buffer[nb::slice(py_int(0), py_int(rows), nb::none())] = store;
    }
    nb::object grown = buffer[nb::slice(py_int(0), py_int(needed), nb::none())];
    LatestView *view = latest_view_of(buffer);
    if (!view) {
        nb::object ref = nb::steal(PyWeakref_NewRef(buffer.ptr(), nullptr));
        if (!ref.is_valid())
            throw nb::python_error();
        latest_views().push_back({std::move(ref), 0});
        view = &latest_views().back();
    }
    view->rows = needed;
    return {grown, buffer};
}

void shift_rows_up(nb::handle rows) {
    ArrayView<double> m(rows, "rows", 2, true);
    if (m.rows() < 2)
        return;
    nb::gil_scoped_release release; // a raw buffer only
    std::memmove(m.data(), m.data() + m.cols(), (m.rows() - 1) * m.cols() * sizeof(double));
}

nb::object append_store_rows(nb::handle store, nb::handle block) {
    const long long rows = dim(store, 0);
    nb::object grown = grow_store_rows(store, dim(block, 0)).store;
    grown[nb::slice(py_int(rows), nb::none(), nb::none())] = block;
    return grown;
}

namespace {

// Forming bars as a float64 matrix read in place: C order, or Fortran order
// (as the synthesis cache reads them from a .mat file) seen through its
// C-ordered transpose, so that neither is copied first.
struct FormingView {
    ArrayView<double> view;
    size_t rows = 0, cols = 0;
    bool column_major = false;

    double at(size_t r, size_t c) const {
        return column_major ? view.data()[c * rows + r] : view.data()[r * cols + c];
    }
};

FormingView forming_view(nb::handle matrix) {
    nb::object np = global("np");
    nb::object arr = np.attr("asarray")(matrix, nb::arg("dtype") = np.attr("float64"));
    if (as_int(arr.attr("ndim")) != 2)
        raise_value_error("the forming bars must be a 2-D array");
    nb::handle flags = arr.attr("flags");
    FormingView f;
    f.column_major = !truthy(flags["C_CONTIGUOUS"]) && truthy(flags["F_CONTIGUOUS"]);
    f.view = ArrayView<double>(f.column_major ? arr.attr("T") : arr, "forming bars", 2);
    f.rows = f.column_major ? f.view.cols() : f.view.rows();
    f.cols = f.column_major ? f.view.rows() : f.view.cols();
    return f;
}

// Checks the forming bars, the mask and `first_row`; the count of kept columns.
size_t kept_count(const FormingView &in, const ArrayView<uint8_t> &keep, long long first_row) {
    if (keep.cols() != in.cols)
        raise_value_error("the fresh row has " + std::to_string(keep.cols()) +
                          " columns, the forming bars " + std::to_string(in.cols));
    if (first_row < 0 || static_cast<size_t>(first_row) > in.rows)
        raise_value_error("the forming bars have no row " + std::to_string(first_row));
    return static_cast<size_t>(
        std::count_if(keep.data(), keep.data() + keep.cols(), [](uint8_t k) { return k != 0; }));
}

void copy_kept(const FormingView &in, const ArrayView<uint8_t> &keep, size_t first_row,
               size_t kept, double *out) {
    nb::gil_scoped_release release; // raw buffers only from here on
    const size_t rows = in.rows - first_row;
    if (in.column_major) { // column by column, reading each column once
        for (size_t c = 0, k = 0; c < in.cols; ++c) {
            if (!keep[c])
                continue;
            for (size_t r = 0; r < rows; ++r)
                out[r * kept + k] = in.at(r + first_row, c);
            ++k;
        }
        return;
    }
    for (size_t r = 0; r < rows; ++r) {
        const double *src = in.view.data() + (r + first_row) * in.cols;
        double *dst = out + r * kept;
        for (size_t c = 0; c < in.cols; ++c)
            if (keep[c])
                *dst++ = src[c];
    }
}

} // namespace

void write_strategy_columns(nb::handle matrix, nb::handle mask, long long first_row,
                            nb::handle out) {
    const FormingView in = forming_view(matrix);
    ArrayView<uint8_t> keep(mask, "fresh row", 1);
    const size_t kept = kept_count(in, keep, first_row);
    ArrayView<double> dst(out, "fresh-bar store rows", 2, true);
    const size_t rows = in.rows - static_cast<size_t>(first_row);
    if (dst.rows() != rows || dst.cols() != kept)
        raise_value_error("the fresh-bar store rows have shape (" + std::to_string(dst.rows()) +
                          ", " + std::to_string(dst.cols()) + "), the forming bars give (" +
                          std::to_string(rows) + ", " + std::to_string(kept) + ")");
    copy_kept(in, keep, static_cast<size_t>(first_row), kept, dst.data());
}

nb::object strategy_columns(nb::handle matrix, nb::handle mask, long long first_row) {
    nb::object np = global("np");
    const FormingView in = forming_view(matrix);
    ArrayView<uint8_t> keep(mask, "fresh row", 1);
    const size_t kept = kept_count(in, keep, first_row);
    if (kept == in.cols) {
        nb::object arr = np.attr("asarray")(matrix, nb::arg("dtype") = np.attr("float64"));
        return arr[nb::slice(py_int(first_row), nb::none(), nb::none())];
    }
    const size_t rows = in.rows - static_cast<size_t>(first_row);
    nb::object out_obj =
        np.attr("empty")(nb::make_tuple(rows, kept), nb::arg("dtype") = np.attr("float64"));
    ArrayView<double> out(out_obj, "strategy columns", 2, true);
    copy_kept(in, keep, static_cast<size_t>(first_row), kept, out.data());
    return out_obj;
}

} // namespace telvar::regora
