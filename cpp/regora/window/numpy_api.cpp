// What the registration module does through numpy's C API, which is used in
// this file only (its function table is local to it): object arrays whose
// cells start empty, and reading ndarrays without the buffer protocol.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include "regora/window/object_array.hpp"
#include "regora/window/window_cells.hpp"

#include <numpy/arrayobject.h>

#include <cmath>

namespace telvar::regora {

namespace {

void import_numpy() {
    static bool imported = false;
    if (imported)
        return;
    if (_import_array() < 0)
        throw nb::python_error();
    imported = true;
}

} // namespace

nb::object new_object_array(long long rows, long long cols, PyObject ***cells) {
    import_numpy();
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    // numpy allocates the data of dtypes that hold references zero-filled;
    // unlike numpy.empty it does not then fill in None.
    PyObject *array = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_OBJECT), 2,
                                           dims, nullptr, nullptr, 0, nullptr);
    if (!array)
        throw nb::python_error();
    *cells = static_cast<PyObject **>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array)));
    return nb::steal(array);
}

namespace cells {

ArrayView<double> read_view(nb::handle obj, const char *name, int ndim) {
    import_numpy();
    if (PyArray_Check(obj.ptr())) {
        auto *array = reinterpret_cast<PyArrayObject *>(obj.ptr());
        if (PyArray_TYPE(array) == NPY_DOUBLE && PyArray_NDIM(array) == ndim &&
            PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISALIGNED(array) &&
            PyArray_ISNOTSWAPPED(array) && ndim >= 1 && ndim <= 2) {
            const npy_intp *dims = PyArray_DIMS(array);
            const size_t rows = ndim == 2 ? static_cast<size_t>(dims[0]) : 1;
            const size_t cols = static_cast<size_t>(dims[ndim - 1]);
            return ArrayView<double>::of_block(
                obj, static_cast<double *>(PyArray_DATA(array)), rows, cols, name);
        }
    }
    return ArrayView<double>(obj, name, ndim);
}

bool read_integer_at(nb::handle obj, long long index, long long *value) {
    import_numpy();
    if (!PyArray_Check(obj.ptr()))
        return false;
    auto *array = reinterpret_cast<PyArrayObject *>(obj.ptr());
    if (PyArray_NDIM(array) != 1 || index < 0 || index >= PyArray_DIM(array, 0) ||
        !PyArray_ISALIGNED(array) || !PyArray_ISNOTSWAPPED(array))
        return false;
    const char *cell = PyArray_BYTES(array) + index * PyArray_STRIDE(array, 0);
    switch (PyArray_TYPE(array)) {
    case NPY_INT64:
        *value = *reinterpret_cast<const npy_int64 *>(cell);
        return true;
    case NPY_DOUBLE: {
        const double x = *reinterpret_cast<const double *>(cell);
        if (!(std::fabs(x) < 9.0e18)) // NaN and the infinities raise as int() does
            return false;
        *value = static_cast<long long>(x);
        return true;
    }
    default:
        return false;
    }
}

bool shares_data(nb::handle obj, const void *data) {
    import_numpy();
    return PyArray_Check(obj.ptr()) &&
           PyArray_DATA(reinterpret_cast<PyArrayObject *>(obj.ptr())) == data;
}

nb::object as_array(nb::handle obj, int *ndim) {
    import_numpy();
    nb::object array = PyArray_Check(obj.ptr()) ? nb::borrow(obj)
                                                 : global("np").attr("asarray")(obj);
    if (!PyArray_Check(array.ptr()))
        raise_value_error("numpy.asarray did not return an array");
    *ndim = PyArray_NDIM(reinterpret_cast<PyArrayObject *>(array.ptr()));
    return array;
}

} // namespace cells

} // namespace telvar::regora
