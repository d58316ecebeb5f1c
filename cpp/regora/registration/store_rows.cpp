// Growing the fresh-bar store in place (see store_rows.hpp).
#include "regora/registration/store_rows.hpp"

#include "common/arrays.hpp"
#include "regora/support.hpp"

#include <algorithm>
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

} // namespace

nb::object append_store_rows(nb::handle store, nb::handle block) {
    nb::object np = global("np");
    const long long rows = dim(store, 0);
    const long long needed = rows + dim(block, 0);
    nb::object buffer = store.attr("base");
    if (!has_room(store, buffer, rows, needed)) {
        buffer = np.attr("empty")(nb::make_tuple(2 * needed, dim(store, 1)), np.attr("float64"));
        buffer[nb::slice(py_int(0), py_int(rows), nb::none())] = store;
    }
    buffer[nb::slice(py_int(rows), py_int(needed), nb::none())] = block;
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
    return grown;
}

nb::object strategy_columns(nb::handle matrix, nb::handle mask, long long first_row) {
    nb::object np = global("np");
    nb::object arr = np.attr("asarray")(matrix, nb::arg("dtype") = np.attr("float64"));
    if (as_int(arr.attr("ndim")) != 2)
        raise_value_error("the forming bars must be a 2-D array");
    const long long rows_in = as_int(getitem(arr.attr("shape"), 0));
    const size_t cols = static_cast<size_t>(as_int(getitem(arr.attr("shape"), 1)));
    ArrayView<uint8_t> keep(mask, "fresh row", 1);
    if (keep.cols() != cols)
        raise_value_error("the fresh row has " + std::to_string(keep.cols()) +
                          " columns, the forming bars " + std::to_string(cols));
    if (first_row < 0 || first_row > rows_in)
        raise_value_error("the forming bars have no row " + std::to_string(first_row));
    const size_t kept = static_cast<size_t>(
        std::count_if(keep.data(), keep.data() + keep.cols(), [](uint8_t k) { return k != 0; }));
    if (kept == cols)
        return arr[nb::slice(py_int(first_row), nb::none(), nb::none())];
    ArrayView<double> in(arr, "forming bars", 2);
    const size_t rows = in.rows() - static_cast<size_t>(first_row);
    nb::object out_obj =
        np.attr("empty")(nb::make_tuple(rows, kept), nb::arg("dtype") = np.attr("float64"));
    ArrayView<double> out(out_obj, "strategy columns", 2, true);
    {
        nb::gil_scoped_release release;
        for (size_t r = 0; r < rows; ++r) {
            const double *src = in.data() + (r + static_cast<size_t>(first_row)) * in.cols();
            double *dst = out.data() + r * kept;
            for (size_t c = 0; c < in.cols(); ++c)
                if (keep[c])
                    *dst++ = src[c];
        }
    }
    return out_obj;
}

} // namespace telvar::regora
