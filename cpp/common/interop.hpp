// Python operations written once for every extension module: each does what
// the Python expression in its comment does, raising the exception and the
// message CPython 3 gives for it.
#pragma once

#include <nanobind/nanobind.h>

#include <type_traits>
#include <utility>

#include "common/interned.hpp"

namespace telvar {
namespace nb = nanobind;

// `int(value)` for anything with __index__, as a machine integer: floats and
// other objects raise the conversion's TypeError, too large values
// OverflowError.
inline long long as_int(nb::handle value) {
    nb::object index = nb::steal(PyNumber_Index(value.ptr()));
    if (!index.is_valid())
        throw nb::python_error();
    long long result = PyLong_AsLongLong(index.ptr());
    if (result == -1 && PyErr_Occurred())
        throw nb::python_error();
    return result;
}

inline nb::object py_int(long long value) {
    PyObject *result = PyLong_FromLongLong(value);
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

// `int(value)` as a Python object (floats truncate, strings parse).
inline nb::object to_int(nb::handle value) {
    PyObject *result = PyNumber_Long(value.ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

// `str(value)` (nanobind's str() of a temporary object does not convert).
inline nb::str to_str(nb::handle value) {
    PyObject *result = PyObject_Str(value.ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal<nb::str>(result);
}

// `bool(value)`
inline bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0)
        throw nb::python_error();
    return result != 0;
}

// `len(obj)`
inline long long py_len(nb::handle obj) {
    Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0)
        throw nb::python_error();
    return n;
}

// `bool(a <op> b)` (op: Py_EQ, Py_NE, Py_LT, ...)
inline bool compare(nb::handle a, nb::handle b, int op) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

inline bool equals(nb::handle a, nb::handle b) { return compare(a, b, Py_EQ); }

// `a <op> b` as the object it gives (elementwise on arrays).
inline nb::object compare_object(nb::handle a, nb::handle b, int op) {
    nb::object result = nb::steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    if (!result.is_valid())
        throw nb::python_error();
    return result;
}

// `obj[key]`, KeyError/IndexError as the container raises them.
inline nb::object getitem(nb::handle obj, nb::handle key) {
    PyObject *value = PyObject_GetItem(obj.ptr(), key.ptr());
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

// `obj[index]`, negative indices as Python allows them.
template <typename Int, std::enable_if_t<std::is_integral_v<Int>, int> = 0>
nb::object getitem(nb::handle obj, Int index) {
    return getitem(obj, py_int(static_cast<long long>(index)));
}

// `obj["key"]`
inline nb::object getitem(nb::handle obj, const char *key) { return getitem(obj, nb::str(key)); }

// `obj[key] = value`
inline void setitem(nb::handle obj, nb::handle key, nb::handle value) {
    if (PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()) != 0)
        throw nb::python_error();
}

template <typename Int, std::enable_if_t<std::is_integral_v<Int>, int> = 0>
void setitem(nb::handle obj, Int index, nb::handle value) {
    setitem(obj, py_int(static_cast<long long>(index)), value);
}

// `fmt % args`
inline nb::str percent_format(const char *fmt, nb::handle args) {
    PyObject *result = PyUnicode_Format(nb::str(fmt).ptr(), args.ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal<nb::str>(result);
}

// `a, b = value`: at most three items are taken from the iterator, so a long
// or endless iterable fails as early as the interpreter's unpacking does.
inline std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    nb::object iter = nb::steal(PyObject_GetIter(value.ptr()));
    if (!iter.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw nb::python_error();
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                     Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
    nb::object items[3];
    Py_ssize_t count = 0;
    while (count < 3) {
        PyObject *next = PyIter_Next(iter.ptr());
        if (!next) {
            if (PyErr_Occurred())
                throw nb::python_error();
            break;
        }
        items[count++] = nb::steal(next);
    }
    if (count > 2) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw nb::python_error();
    }
    if (count < 2) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)",
                     count);
        throw nb::python_error();
    }
    return {std::move(items[0]), std::move(items[1])};
}

// `raise type(argument)`
[[noreturn]] inline void raise_with(PyObject *type, nb::handle argument) {
    PyErr_SetObject(type, argument.ptr());
    throw nb::python_error();
}

// `raise error`: the very instance, so callers see the object they were handed.
[[noreturn]] inline void raise_instance(nb::handle error) {
    if (!PyExceptionInstance_Check(error.ptr())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        throw nb::python_error();
    }
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw nb::python_error();
}

// The exception instance of a caught error, as `except E as e` binds it.
// nanobind before 3.0 keeps an error unnormalised on Python < 3.12 (a
// KeyError raised by a dict look-up carries the bare key tuple), so the
// instance is made here as Python would make it. Consumes the error.
inline nb::object exception_of(nb::python_error &e) {
    e.restore();
#if PY_VERSION_HEX >= 0x030C0000
    return nb::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) {
        PyException_SetTraceback(value, traceback);
        Py_DECREF(traceback);
    }
    Py_XDECREF(type);
    return nb::steal(value);
#endif
}

} // namespace telvar
