// Python float objects for the K-matrix columns that windows show.
//
// A strategy reads overlapping windows bar after bar: the window at one bar
// shares all but its newest rows with the window at the bar before. The
// cells of a matrix column are therefore made into Python floats once and
// shared by every window that shows them (floats are immutable, so sharing
// is invisible to the caller); a window is then mostly reference copies.
//
// Registered K matrices are never written after registration (registries are
// append-only), which is what makes the cached objects valid. A cache entry
// holds its matrix and time line, so their buffers cannot be reused by other
// arrays while cached; entries whose matrix only the cache still holds (after
// a new run started) are dropped at the next call.
//
// A window call holds (pins) the entries it reads: the objects of an entry's
// columns stay valid while anyone holds the entry, whatever other look-ups
// do meanwhile (an index naming more matrices than the cache keeps, or a
// window call made from Python code that runs inside another one). The cache
// drops its own reference on eviction; a held entry lives on until its last
// holder lets go, and it is trimmed only while nobody holds it.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <memory>
#include <vector>

namespace telvar {
namespace regora {
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

    // The objects of column `col` (rows of the matrix, then the bar time).
    // Borrowed: valid while the caller holds this entry; increment before
    // storing.
    PyObject *const *column(long long col);
    // Drops the oldest columns beyond `keep`; only for an entry nobody holds.
    void trim(size_t keep);

private:
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

} // namespace regora
} // namespace telvar
