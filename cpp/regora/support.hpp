// Small helpers shared by the registration module's source files: access to
// the run state and layout constants through the module globals, integer
// conversion of arguments, tuple unpacking with the interpreter's wording,
// and item access on Python objects.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "common/args.hpp"
#include "common/arrays.hpp"
#include "common/interned.hpp"
#include "regora/regora.hpp"

namespace telvar {
namespace regora {

// A module global by name (a string literal).
template <size_t N> inline nb::object global(const char (&name)[N]) {
    return regora_globals()(interned(name));
}

// cnt.vr: the framework's run state.
inline nb::object run_state() { return attr_of(global("cnt"), "vr"); }
inline nb::object run_inputs() { return run_state().attr("g_TelvarInputInfo"); }
inline nb::object kdata_list() { return run_state().attr("g_TelvarKDataList"); }
inline nb::object message(const char *key) { return global("text").attr(key); }

// A Python integer (or anything with __index__) as a machine integer; floats
// and other objects raise the TypeError of the conversion, too large values
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

// (frequency_i, freq_num) of a function that takes just these two.
struct FrequencyArgs {
    long long frequency_i, freq_num;
};
inline FrequencyArgs bind_frequency(const Signature &sig, nb::args args, nb::kwargs kwargs) {
    auto v = sig.bind(args, kwargs);
    return {as_int(v[0]), as_int(v[1])};
}

// A layout constant of the framework (gv.<name>, a string literal).
template <size_t N> inline long long gv_int(const char (&name)[N]) {
    return as_int(attr_of(global("gv"), name));
}

inline nb::object py_int(long long value) { return nb::steal(PyLong_FromLongLong(value)); }

// str(value) (nanobind's str() of a temporary object does not convert).
inline nb::str to_str(nb::handle value) {
    PyObject *s = PyObject_Str(value.ptr());
    if (!s)
        throw nb::python_error();
    return nb::steal<nb::str>(s);
}

inline bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0)
        throw nb::python_error();
    return result != 0;
}

[[noreturn]] inline void raise_with(PyObject *type, nb::handle argument) {
    PyErr_SetObject(type, argument.ptr());
    throw nb::python_error();
}

// `text.KEY + ", " + detail` as the single argument of an exception.
[[noreturn]] inline void raise_message(PyObject *type, const char *key,
                                       nb::handle detail = nb::handle()) {
    nb::object msg = message(key);
    if (detail.is_valid())
        msg = msg + nb::str(", ") + nb::borrow(detail);
    raise_with(type, msg);
}

inline nb::object getitem(nb::handle obj, nb::handle key) {
    nb::object result = nb::steal(PyObject_GetItem(obj.ptr(), key.ptr()));
    if (!result.is_valid())
        throw nb::python_error();
    return result;
}

inline nb::object getitem(nb::handle obj, long long index) {
    return getitem(obj, py_int(index));
}

inline void setitem(nb::handle obj, nb::handle key, nb::handle value) {
    if (PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()) != 0)
        throw nb::python_error();
}

// `a <op> b` as an object (elementwise on arrays), where nanobind's
// comparison operators give a bool.
inline nb::object compare(nb::handle a, nb::handle b, int op) {
    nb::object r = nb::steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    if (!r.is_valid())
        throw nb::python_error();
    return r;
}

inline long long py_len(nb::handle obj) {
    Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0)
        throw nb::python_error();
    return n;
}

// `a, b = value` with the messages the interpreter gives for a result that
// is not a pair.
inline std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    nb::object iter = nb::steal(PyObject_GetIter(value.ptr()));
    if (!iter.is_valid()) {
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
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                     static_cast<Py_ssize_t>(2));
        throw nb::python_error();
    }
    if (count < 2) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count,
                     count == 1 ? "" : "s");
        throw nb::python_error();
    }
    return {items[0], items[1]};
}

// Calls a module function through the module namespace, as a Python module
// calling its own functions would (so a replaced global takes effect).
template <size_t N, typename... Args>
nb::object call_module(const char (&name)[N], Args &&...args) {
    return global(name)(std::forward<Args>(args)...);
}

// The time row of the fresh-bar store (the store itself while it is 1-D).
inline nb::object fresh_time_row() {
    nb::object store = run_state().attr("g_TelvarDataValueFresh");
    nb::object np = global("np");
    nb::object arr = np.attr("asarray")(store);
    if (as_int(arr.attr("ndim")) < 2)
        return arr.attr("ravel")();
    return getitem(arr, global("gv").attr("KMatrixPos_TimeLine"));
}

// The strategy bars among a refresh-base matrix's columns (its FreshIdx row
// as a boolean mask): the columns of the fresh-bar stores.
inline nb::object strategy_bar_mask(nb::handle base_matrix) {
    return getitem(base_matrix, global("gv").attr("KMatrixPos_FreshIdx")).attr("astype")("bool");
}

// An array read from a .mat file as a C-contiguous array of native byte
// order (scipy gives explicit little-endian dtypes and Fortran order, which
// buffer readers would otherwise convert again on every use).
inline nb::object native_array(nb::handle value) {
    nb::object arr = global("np").attr("asarray")(value);
    nb::object dtype = arr.attr("dtype").attr("newbyteorder")("=");
    return arr.attr("astype")(dtype, nb::arg("order") = "C");
}

// Synthesis cache (cache.cpp): the directory, the key of a request, a
// usable entry (None when caching is off, the entry is missing or empty, or
// `check(entry)` throws mat_content::ContentProblem: then the entry is
// warned about and removed) and the write.
bool cache_allowed();
nb::object cache_key(long long frequency_i, long long target_freq_num, const char *target_type,
                     const char *suffix);
nb::object cache_load(nb::handle key, const std::function<void(nb::handle entry)> &check);
void cache_save(nb::handle key, nb::handle value);
// [item.ravel() for item in value], accepting a 2-D array, a cell array
// (object array) or a list.
nb::object per_target_arrays(nb::handle value);

} // namespace regora
} // namespace telvar
