// Building blocks of the K-data windows: an object array written cell by cell
// through its data pointer, and read-only float64 views that avoid a
// conversion call for arrays that already are C-contiguous float64.
#pragma once

#include <nanobind/nanobind.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "regora/window/float_pool.hpp"
#include "regora/window/object_array.hpp"
#include "regora/support.hpp"

namespace telvar::regora::cells {

// A C-contiguous object array of (rows, cols) whose cells start empty; a
// cell written twice drops the reference it held.
class ObjectMatrix {
public:
    ObjectMatrix(long long rows, long long cols)
        : cols_(cols), array_(new_object_array(rows, cols, &cells_)) {}

    // The cells of row r. Hot loops write through a row pointer kept in a
    // local, which the compiler need not reload after every reference drop.
    PyObject **row(long long r) { return cells_ + r * cols_; }
    nb::object release() { return std::move(array_); }

    // Stores a new reference (stolen), dropping the one the cell held.
    static void store(PyObject *&cell, PyObject *value) {
        PyObject *old = cell;
        cell = value;
        Py_XDECREF(old);
    }
    // Stores a new reference (stolen) in a cell that is still empty when
    // `empty`, dropping the one it held otherwise.
    static void store(PyObject *&cell, PyObject *value, bool empty) {
        if (empty)
            cell = value; // no read of a cell that was never written
        else
            store(cell, value);
    }
    // For a cell not written before (still empty).
    static void fill_shared(PyObject *&cell, PyObject *value) {
        Py_INCREF(value);
        cell = value;
    }

private:
    long long cols_;
    PyObject **cells_ = nullptr; // set by array_'s initialiser, so declared first
    nb::object array_;
};

// Adds n references to obj at once. A window stores one object in many cells
// in a row (a target's index, a bar time shared by all targets); one addition
// replaces a chain of increments on the same counter, each waiting for the
// one before. (Immortal objects keep their count either way.)
inline void incref_by(PyObject *obj, Py_ssize_t n) { Py_SET_REFCNT(obj, Py_REFCNT(obj) + n); }

// Cells that hold an object without their references yet; they are added
// when the object changes or the batch ends, also when an exception leaves it
// early, so every stored pointer is a counted reference by the time anyone
// else can see the array. Made for runs of cells holding the same object.
class SharedStores {
public:
    explicit SharedStores(PyObject *obj = nullptr) : obj_(obj) {}
    SharedStores(const SharedStores &) = delete;
    SharedStores &operator=(const SharedStores &) = delete;
    ~SharedStores() { flush(); }
    // Stores the batch's object in an empty cell.
    void store(PyObject *&cell) {
        cell = obj_;
        ++count_;
    }
    // Stores `obj` in an empty cell.
    void store(PyObject *&cell, PyObject *obj) {
        if (obj != obj_) {
            flush();
            obj_ = obj;
        }
        store(cell);
    }

private:
    void flush() {
        if (count_)
            incref_by(obj_, count_);
        count_ = 0;
    }
    PyObject *obj_;
    Py_ssize_t count_ = 0;
};

// References owed to a few objects that empty cells were given without
// them: counted per object and added in one step each when the batch ends,
// also when an exception leaves it early. Holds its objects.
class PendingRefs {
public:
    PendingRefs() = default;
    PendingRefs(const PendingRefs &) = delete;
    PendingRefs &operator=(const PendingRefs &) = delete;
    ~PendingRefs() { flush(); }

    void reserve(size_t n) {
        objs_.reserve(n);
        counts_.reserve(n);
    }
    void add(nb::object obj) {
        objs_.push_back(std::move(obj));
        counts_.push_back(0);
    }
    size_t size() const { return objs_.size(); }
    // Object i, for `cells` empty cells.
    PyObject *take(size_t i, Py_ssize_t cells = 1) {
        counts_[i] += cells;
        return objs_[i].ptr();
    }
    // Cells given object i since the last flush.
    Py_ssize_t taken(size_t i) const { return counts_[i]; }
    void flush() {
        for (size_t i = 0; i < objs_.size(); ++i) {
            if (counts_[i])
                incref_by(objs_[i].ptr(), counts_[i]);
            counts_[i] = 0;
        }
    }

private:
    std::vector<nb::object> objs_;
    std::vector<Py_ssize_t> counts_;
};

// int(x) as Python does it (floats truncate, NaN raises ValueError).
inline long long truncated_int(nb::handle value) { return as_int(telvar::to_int(value)); }

// A read-only view of a float64 array of `ndim` dimensions: the array itself
// when it already is an aligned, C-contiguous float64 ndarray (the usual
// case: matrices and bookkeeping arrays), a converted copy otherwise.
ArrayView<double> read_view(nb::handle obj, const char *name, int ndim);

// int(obj[index]) read straight from a 1-D int64 or float64 ndarray; false
// for anything else (other types, an index out of range, NaN), which the
// caller then reads through Python.
bool read_integer_at(nb::handle obj, long long index, long long *value);

// Whether `obj` is an ndarray whose data start at `data` (a view made of it
// reads its memory rather than a converted copy's).
bool shares_data(nb::handle obj, const void *data);

// `obj` when it is an ndarray, numpy.asarray(obj) otherwise, and its number
// of dimensions.
nb::object as_array(nb::handle obj, int *ndim);

inline std::string out_of_bounds(long long index, long long size, const char *what) {
    return "index " + std::to_string(index) + " is out of bounds for " + what + " with size " +
           std::to_string(size);
}

} // namespace telvar::regora::cells
