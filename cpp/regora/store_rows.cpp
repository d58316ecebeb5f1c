// Growing the fresh-bar store in place (see store_rows.hpp).
#include "regora/store_rows.hpp"

#include "regora/support.hpp"

#include <algorithm>
#include <vector>

namespace telvar {
namespace regora {

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

} // namespace regora
} // namespace telvar
