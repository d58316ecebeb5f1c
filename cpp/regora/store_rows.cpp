// Growing the fresh-bar store in place (see store_rows.hpp).
#include "regora/store_rows.hpp"

#include "regora/support.hpp"

namespace telvar {
namespace regora {

namespace {

// The buffer behind the latest view handed out (weakly referenced, so a run
// that ends frees it) and that view's row count. Never destroyed: it may
// outlive the interpreter's finalisation.
struct LatestView {
    nb::object buffer_ref;
    long long rows = 0;
};
LatestView &latest() {
    static auto *view = new LatestView();
    return *view;
}

long long dim(nb::handle array, int axis) { return as_int(getitem(array.attr("shape"), axis)); }

nb::object data_address(nb::handle array) {
    return getitem(array.attr("__array_interface__")["data"], 0);
}

// `buffer` (store.base) still has `store` as its latest view, with room for
// `needed` rows.
bool has_room(nb::handle store, nb::handle buffer, long long rows, long long needed) {
    const LatestView &view = latest();
    if (!view.buffer_ref.is_valid() || view.rows != rows || buffer.is_none() ||
        !view.buffer_ref().is(buffer))
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
    LatestView &view = latest();
    view.buffer_ref = nb::steal(PyWeakref_NewRef(buffer.ptr(), nullptr));
    if (!view.buffer_ref.is_valid())
        throw nb::python_error();
    view.rows = needed;
    return grown;
}

} // namespace regora
} // namespace telvar
