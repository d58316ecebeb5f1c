// numpy's C API is used in this file only (its function table is local to it).
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include "regora/object_array.hpp"

#include <numpy/arrayobject.h>

#include <array>
#include <cmath>
#include <cstring>

namespace telvar {
namespace regora {

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

PyObject *const *nan_ring() {
    // Created once and kept: cells may still hold them while the
    // interpreter finalises.
    static const std::array<PyObject *, kNanRing> ring = [] {
        std::array<PyObject *, kNanRing> made{};
        for (auto &obj : made)
            if (!(obj = PyFloat_FromDouble(std::nan(""))))
                throw nb::python_error();
        return made;
    }();
    return ring.data();
}

} // namespace regora
} // namespace telvar
