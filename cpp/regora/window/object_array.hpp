// Object arrays for the windows, made through numpy's C API so that their
// cells start out empty (NULL) instead of holding None: every cell is then
// written once, with no None to fill in first and to drop again after.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cmath>

namespace telvar::regora {
namespace nb = nanobind;

// A new C-contiguous object array of (rows, cols) whose cells are NULL, and
// its first cell. numpy treats NULL cells as None and drops references with
// Py_XDECREF, so an array dropped half filled (after an error) is safe; a
// window fills every cell before it is returned.
nb::object new_object_array(long long rows, long long cols, PyObject ***cells);

// A small ring of float NaN objects kept for the life of the process
// (borrowed). Windows hand out NaN in many cells; spreading those references
// over several objects keeps the reference-count updates independent instead
// of one long chain on a single object.
constexpr size_t kNanRing = 16;
inline PyObject *const *nan_ring() {
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
inline PyObject *nan_object(size_t i) { return nan_ring()[i % kNanRing]; }

} // namespace telvar::regora
