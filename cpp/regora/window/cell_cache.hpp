// Python float objects for the K-matrix columns that windows show.
//
// A strategy reads overlapping windows bar after bar: the window at one bar
// shares all but its newest rows with the window at the bar before. The
// cells of a matrix column are therefore made into Python floats once and
// shared by every window that shows them (floats are immutable, so sharing
// is invisible to the caller); a window is then mostly reference copies.
//
// A matrix may be written in place after a window read it (a strategy or a
// notebook changing a bar), so an object is only a guess at its cell: a
// window reads an object only together with its cell and compares the two,
// bit for bit (NaN cells all show as NaN), making the object again where
// they differ. A window therefore always shows the matrix's current values;
// the objects only save the allocations of values that did not change. A
// cache entry holds its matrix and time line, so their buffers cannot be
// reused by other arrays while cached; entries whose matrix only the cache
// still holds (after a new run started) are dropped at the next call.
//
// A window call holds (pins) the entries it reads: the objects of an entry's
// columns stay valid while anyone holds the entry, whatever other look-ups
// do meanwhile (an index naming more matrices than the cache keeps, or a
// window call made from Python code that runs inside another one). The cache
// drops its own reference on eviction; a held entry lives on until its last
// holder lets go, and it is trimmed only while nobody holds it.
#pragma once

#include <nanobind/nanobind.h>

#include <cmath>
#include <cstddef>
#include <memory>
#include <vector>

#include "regora/window/float_pool.hpp"

namespace telvar::regora {
namespace nb = nanobind;

class MatrixCells {
public:
    MatrixCells(nb::handle matrix, const double *data, size_t rows, size_t cols,
                nb::handle time_line, const double *times, size_t n_times);
    MatrixCells(const MatrixCells &) = delete;
    MatrixCells &operator=(const MatrixCells &) = delete;
    ~MatrixCells();

    bool same(nb::handle matrix, const double *data, size_t rows, size_t cols,
              nb::handle time_line, const double *times, size_t n_times) const;
    bool orphaned() const;

    // The objects of column `col` (rows of the matrix, then the bar time),
    // made when missing. Read them through shown() or current_time(), never
    // directly: an object holds the value its cell had when it was made.
    // Borrowed: valid while the caller holds this entry; increment before
    // storing.
    PyObject **column(long long col);

    // The matrix cell of `row` (< the matrix's rows) in column `col`, and
    // the distance from one row's cell to the next.
    const double *cell(size_t row, long long col) const {
        return data_ + row * cols_ + static_cast<size_t>(col);
    }
    size_t row_stride() const { return cols_; }
    // `obj`, an object of a column whose cell now holds `value`, made again
    // first when it shows another value. Borrowed, as column().
    static PyObject *shown(PyObject *&obj, double value) {
        return shows(obj, value) ? obj : remake(obj, value);
    }
    // The bar time object of column `col` (objs = column(col)), checked as
    // shown() checks cells.
    PyObject *current_time(PyObject **objs, long long col) const {
        return shown(objs[rows_], time_at(col));
    }

    // Drops the oldest columns beyond `keep`; only for an entry nobody holds.
    void trim(size_t keep);

private:
    static bool shows(PyObject *obj, double value) {
        const double held = floats::value_of(obj);
        return floats::bits_of(held) == floats::bits_of(value) ||
               (std::isnan(held) && std::isnan(value));
    }
    double time_at(long long col) const {
        return static_cast<size_t>(col) < n_times_ ? times_[col] : std::nan("");
    }
    // Replaces `obj` by a float of `value`; returns it (borrowed).
    static PyObject *remake(PyObject *&obj, double value);
    void release(std::unique_ptr<PyObject *[]> &objs);

    nb::object matrix_, time_line_;
    const double *data_, *times_;
    size_t rows_, cols_, n_times_;
    // by column: its objects (rows, then the bar time), null when not made
    std::vector<std::unique_ptr<PyObject *[]>> columns_;
    size_t live_columns_ = 0;
    std::vector<long long> order_; // columns in the order they were made
    size_t order_start_ = 0;
};

// The cache entry of a matrix and its time line, made when missing; an entry
// nobody else holds is first trimmed to at least `keep` columns. The cache
// keeps a few matrices (the items a strategy reads), least recently used
// dropped first. Hold the result for as long as its columns are used.
std::shared_ptr<MatrixCells> matrix_cells(nb::handle matrix, const double *data, size_t rows,
                                          size_t cols, nb::handle time_line, const double *times,
                                          size_t n_times, size_t keep);

} // namespace telvar::regora
