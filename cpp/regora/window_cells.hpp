// Building blocks of the K-data windows: an object array written cell by cell
// through its data pointer, a pool of Python floats for the forming bar's
// values, and read-only float64 views that avoid a conversion call for arrays
// that already are C-contiguous float64.
#pragma once

#include <nanobind/nanobind.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "regora/support.hpp"

namespace telvar {
namespace regora {
namespace cells {

// Python floats for the window's cells. Prices and volumes repeat a lot, so a
// small direct-mapped table hands out the same float object for the same
// value instead of allocating again.
class FloatPool {
public:
    explicit FloatPool(PyObject *nan) : nan_(nan) {}
    FloatPool(const FloatPool &) = delete;
    FloatPool &operator=(const FloatPool &) = delete;
    ~FloatPool() {
        for (auto &slot : slots_)
            Py_XDECREF(slot.obj);
    }

    // A new reference to a float of `value`.
    PyObject *get(double value) {
        if (std::isnan(value)) {
            Py_INCREF(nan_);
            return nan_;
        }
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        Slot &slot = slots_[(bits ^ (bits >> 29) ^ (bits >> 41)) & (kSlots - 1)];
        if (slot.obj && slot.bits == bits) {
            Py_INCREF(slot.obj);
            return slot.obj;
        }
        PyObject *obj = PyFloat_FromDouble(value);
        if (!obj)
            throw nb::python_error();
        Py_XDECREF(slot.obj);
        slot.obj = obj;
        slot.bits = bits;
        Py_INCREF(obj);
        return obj;
    }

private:
    static constexpr size_t kSlots = 64; // forming bars only: matrix cells are cached
    struct Slot {
        uint64_t bits = 0;
        PyObject *obj = nullptr;
    };
    PyObject *nan_;
    std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
};

// numpy's array object begins with PyObject_HEAD and the data pointer (the
// layout numpy's own PyArray_DATA reads, unchanged since numpy 1.0). The
// layout is confirmed once against __array_interface__; should it ever
// differ, every array is asked through __array_interface__ instead.
struct NumpyArrayHead {
    PyObject_HEAD
    char *data;
};

inline PyObject **cells_via_interface(nb::handle array) {
    nb::object iface = array.attr("__array_interface__");
    if (!getitem(iface, nb::str("strides")).is_none() ||
        std::string(to_str(getitem(iface, nb::str("typestr"))).c_str()) != "|O")
        raise_value_error("numpy.empty(dtype=object) did not give a C-contiguous object array");
    const long long address = as_int(getitem(getitem(iface, nb::str("data")), 0));
    return reinterpret_cast<PyObject **>(static_cast<uintptr_t>(address));
}

inline PyObject **object_cells(nb::handle array) {
    static int head_layout_known = -1;
    if (head_layout_known < 0) {
        PyObject **expected = cells_via_interface(array);
        head_layout_known = reinterpret_cast<NumpyArrayHead *>(array.ptr())->data ==
                            reinterpret_cast<char *>(expected);
        return expected;
    }
    if (head_layout_known)
        return reinterpret_cast<PyObject **>(reinterpret_cast<NumpyArrayHead *>(array.ptr())->data);
    return cells_via_interface(array);
}

// A C-contiguous object array of (rows, cols). numpy creates object arrays
// filled with None; every cell is replaced through put(), which drops the
// reference the cell held.
class ObjectMatrix {
public:
    ObjectMatrix(long long rows, long long cols) : cols_(cols) {
        nb::handle object_type(reinterpret_cast<PyObject *>(&PyBaseObject_Type));
        array_ = global("np").attr("empty")(nb::make_tuple(rows, cols), object_type);
        cells_ = object_cells(array_);
    }

    // The cells of row r. Hot loops write through a row pointer kept in a
    // local, which the compiler need not reload after every reference drop.
    PyObject **row(long long r) { return cells_ + r * cols_; }
    // Stores a new reference (stolen) in cell (r, c).
    void put(long long r, long long c, PyObject *value) { store(row(r)[c], value); }
    void put_shared(long long r, long long c, PyObject *value) {
        store_shared(row(r)[c], value);
    }
    nb::object release() { return std::move(array_); }

    static void store(PyObject *&cell, PyObject *value) {
        PyObject *old = cell;
        cell = value;
        Py_XDECREF(old);
    }
    static void store_shared(PyObject *&cell, PyObject *value) {
        Py_INCREF(value);
        store(cell, value);
    }

private:
    long long cols_;
    nb::object array_;
    PyObject **cells_ = nullptr;
};

// int(x) as Python does it (floats truncate, NaN raises ValueError).
inline long long to_int(nb::handle value) {
    nb::object as_long = nb::steal(PyNumber_Long(value.ptr()));
    if (!as_long.is_valid())
        throw nb::python_error();
    long long result = PyLong_AsLongLong(as_long.ptr());
    if (result == -1 && PyErr_Occurred())
        throw nb::python_error();
    return result;
}

// A view without the conversion call when the array already is C-contiguous
// float64 (the usual case: matrices and bookkeeping arrays), converting
// otherwise. Nothing is written through it.
inline ArrayView<double> read_view(nb::handle obj, const char *name, int ndim) {
    Py_buffer probe;
    if (PyObject_GetBuffer(obj.ptr(), &probe, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) == 0) {
        const bool usable = probe.format && std::strcmp(probe.format, "d") == 0 && probe.ndim == ndim;
        PyBuffer_Release(&probe);
        if (usable)
            return ArrayView<double>(obj, name, ndim, true);
    } else {
        PyErr_Clear(); // read-only, strided or not an array: converted below
    }
    return ArrayView<double>(obj, name, ndim);
}

inline std::string out_of_bounds(long long index, long long size, const char *what) {
    return "index " + std::to_string(index) + " is out of bounds for " + what + " with size " +
           std::to_string(size);
}

} // namespace cells
} // namespace regora
} // namespace telvar
