// Argument conversion shared by the bar kernels: numeric arrays, integer
// scalars, base-column positions and freshly allocated numpy outputs. Every
// check runs while the GIL is held; the kernels release it only afterwards.
#pragma once

#include "common/arrays.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <string>
#include <vector>

namespace telvar {
namespace numkern {
namespace nb = nanobind;

inline std::string python_type_name(nb::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

// An ndarray, list or tuple of numbers (or a single number), as a numpy
// array (not yet converted to the kernel's dtype). Anything else, or an array of strings or objects,
// is a TypeError naming the argument.
inline nb::object numeric_array(nb::handle obj, const char *name) {
    nb::module_ np = nb::module_::import_("numpy");
    nb::handle ndarray = np.attr("ndarray");
    const bool number = PyFloat_Check(obj.ptr()) || PyLong_Check(obj.ptr()) ||
                        PyObject_IsInstance(obj.ptr(), np.attr("number").ptr()) == 1;
    if (!number && PyObject_IsInstance(obj.ptr(), ndarray.ptr()) != 1 && !PyList_Check(obj.ptr()) &&
        !PyTuple_Check(obj.ptr()))
        raise_type_error(std::string(name) + " must be a numeric array, not " + python_type_name(obj));
    nb::object arr;
    try {
        arr = np.attr("asarray")(obj);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        raise_value_error(std::string(name) + ": " + e.what());
    }
    std::string kind = nb::cast<std::string>(arr.attr("dtype").attr("kind"));
    if (kind != "b" && kind != "i" && kind != "u" && kind != "f")
        raise_type_error(std::string(name) + " must be a numeric array, not an array of dtype " +
                         nb::cast<std::string>(arr.attr("dtype").attr("name")));
    return arr;
}

template <typename T>
inline ArrayView<T> input_view(nb::handle obj, const char *name, int ndim) {
    return ArrayView<T>(numeric_array(obj, name), name, ndim);
}

// A Python or numpy integer, or a float holding a whole number. NaN and
// fractions are ValueError, other types TypeError.
inline int64_t integer_arg(nb::handle obj, const char *name) {
    if (PyIndex_Check(obj.ptr())) {
        Py_ssize_t value = PyNumber_AsSsize_t(obj.ptr(), PyExc_OverflowError);
        if (value == -1 && PyErr_Occurred())
            throw nb::python_error();
        return static_cast<int64_t>(value);
    }
    nb::module_ np = nb::module_::import_("numpy");
    if (PyFloat_Check(obj.ptr()) || PyObject_IsInstance(obj.ptr(), np.attr("floating").ptr())) {
        double value = PyFloat_AsDouble(obj.ptr());
        if (value == -1.0 && PyErr_Occurred())
            throw nb::python_error();
        return checked_integer(value, name);
    }
    raise_type_error(std::string(name) + " must be an integer, not " + python_type_name(obj));
}

// A column offset or count: 0 up to 2**53, so sums with positions cannot overflow.
inline int64_t non_negative_arg(nb::handle obj, const char *name) {
    int64_t value = integer_arg(obj, name);
    if (value < 0 || value > (int64_t{1} << 53))
        raise_value_error(std::string(name) + " must lie in 0..2**53, got " +
                          std::to_string(value));
    return value;
}

// 1-D float time line: no NaN, never decreasing (searches rely on it).
inline ArrayView<double> time_line_arg(nb::handle obj, const char *name) {
    ArrayView<double> tl = input_view<double>(obj, name, 1);
    const double *t = tl.data();
    for (size_t i = 0; i < tl.size(); ++i) {
        if (t[i] != t[i])
            raise_value_error(std::string(name) + " holds NaN at position " + std::to_string(i));
        if (i > 0 && t[i] < t[i - 1])
            raise_value_error(std::string(name) + " must be in ascending order (position " +
                              std::to_string(i) + ")");
    }
    return tl;
}

// Base-column positions, given as absolute columns of a time line of which
// the matrix holds the columns from `offset` on; returned relative to the
// matrix. A range runs from a begin position to an end position inclusive
// and is empty when begin > end, so begin may be one past the last column
// and end one before the first; anything further out is an IndexError.
struct Ranges {
    std::vector<int64_t> begin, end;
};

inline std::vector<int64_t> position_arg(nb::handle obj, const char *name, size_t expected_len,
                                         int64_t offset, int64_t lowest, int64_t highest) {
    ArrayView<double> view = input_view<double>(obj, name, 1);
    if (view.size() != expected_len)
        raise_value_error(std::string(name) + " has " + std::to_string(view.size()) +
                          " positions, expected " + std::to_string(expected_len));
    std::vector<int64_t> out(expected_len);
    for (size_t i = 0; i < expected_len; ++i) {
        int64_t p = checked_integer(view[i], name) - offset;
        if (p < lowest || p > highest)
            raise_index_error(std::string(name) + "[" + std::to_string(i) + "] = " +
                              std::to_string(p + offset) + " is outside the base columns " +
                              std::to_string(offset) + ".." +
                              std::to_string(offset + highest - (lowest == 0 ? 1 : 0)));
        out[i] = p;
    }
    return out;
}

inline Ranges ranges_arg(nb::handle begin, nb::handle end, size_t count, size_t base_cols,
                         int64_t offset) {
    const int64_t n = static_cast<int64_t>(base_cols);
    Ranges r;
    r.begin = position_arg(begin, "begin_pos", count, offset, 0, n);
    r.end = position_arg(end, "end_pos", count, offset, -1, n - 1);
    return r;
}

// Head rows and target blocks of a K matrix: rows = head + targets * bar_len.
struct Layout {
    size_t head, bar_len, targets;
};

inline Layout layout_from_head(size_t rows, int64_t head_len, int64_t bar_len, const char *name) {
    if (bar_len < 1)
        raise_value_error("bar_len must be at least 1, got " + std::to_string(bar_len));
    if (head_len < 0 || static_cast<size_t>(head_len) > rows ||
        (rows - static_cast<size_t>(head_len)) % static_cast<size_t>(bar_len) != 0)
        raise_value_error(std::string(name) + " has " + std::to_string(rows) + " rows, not " +
                          std::to_string(head_len) + " head rows plus whole blocks of " +
                          std::to_string(bar_len));
    size_t h = static_cast<size_t>(head_len), b = static_cast<size_t>(bar_len);
    return {h, b, (rows - h) / b};
}

inline Layout layout_from_targets(size_t rows, int64_t targets, int64_t bar_len,
                                  size_t min_head, const char *name) {
    if (bar_len < 1)
        raise_value_error("bar_len must be at least 1, got " + std::to_string(bar_len));
    if (targets < 0)
        raise_value_error("targets_len must not be negative, got " + std::to_string(targets));
    const size_t t = static_cast<size_t>(targets), b = static_cast<size_t>(bar_len);
    // Divide before multiplying, so that no size can wrap around.
    if (rows < min_head || (t > 0 && b > (rows - min_head) / t))
        raise_value_error(std::string(name) + " has " + std::to_string(rows) + " rows, too few for " +
                          std::to_string(targets) + " targets of " + std::to_string(bar_len) +
                          " rows" + (min_head ? " under a time row" : ""));
    return {rows - t * b, b, t};
}

// New, uninitialised numpy arrays and writable views of them.
inline nb::object new_array(nb::handle shape, const char *dtype) {
    nb::module_ np = nb::module_::import_("numpy");
    return np.attr("empty")(shape, nb::arg("dtype") = dtype);
}

inline ArrayView<double> new_matrix(size_t rows, size_t cols) {
    return ArrayView<double>(new_array(nb::make_tuple(rows, cols), "float64"), "result", 2, true);
}

template <typename T> inline ArrayView<T> new_vector(size_t n) {
    return ArrayView<T>(new_array(nb::make_tuple(n), dtype_traits<T>::numpy_name), "result", 1,
                        true);
}

} // namespace numkern
} // namespace telvar
