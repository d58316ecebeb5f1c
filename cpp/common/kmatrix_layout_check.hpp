// The check, made once when a module is imported, that the framework's gv
// states the K-matrix layout the module was compiled with. A mismatch fails
// the import, so no call can read a matrix with the wrong rows.
#pragma once

#include <nanobind/nanobind.h>

#include "common/kmatrix_layout.hpp"

namespace telvar::kmatrix {
namespace nb = nanobind;

// Raises ImportError naming the first constant gv lacks or states otherwise.
inline void require_layout_of(nb::handle gv) {
    for (const NamedConstant &c : kNamedConstants) {
        nb::object value = nb::steal(PyObject_GetAttrString(gv.ptr(), c.name));
        if (!value.is_valid()) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError,
                         "gv has no %s; the compiled module has it as %lld",
                         c.name, static_cast<long long>(c.value));
            throw nb::python_error();
        }
        int overflow = 0;
        const long long found = PyLong_Check(value.ptr())
                                    ? PyLong_AsLongLongAndOverflow(value.ptr(), &overflow)
                                    : -1;
        if (found == -1 && PyErr_Occurred())
            throw nb::python_error();
        if (PyLong_Check(value.ptr()) && overflow == 0 && found == c.value)
            continue;
        PyErr_Format(PyExc_ImportError, "gv.%s is %R in the framework but %lld in the compiled module",
                     c.name, value.ptr(), static_cast<long long>(c.value));
        throw nb::python_error();
    }
}

} // namespace telvar::kmatrix
