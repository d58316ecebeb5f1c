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
    unsigned long long last_call = 0; // the window call that used it last

    // The objects of column `col` (rows of the matrix, then the bar time).
    // Borrowed: valid until the next call's trim(); increment before storing.
    PyObject *const *column(long long col);
    // Drops the oldest columns beyond `keep` (called once per window call,
    // before any column is handed out).
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

// The cache entry of a matrix and its time line, trimmed to keep at least
// `keep` columns; made when missing. The cache keeps a few matrices (the
// items a strategy reads), least recently used dropped first, never one that
// window call `call` already uses.
MatrixCells &matrix_cells(nb::handle matrix, const double *data, size_t rows, size_t cols,
                          nb::handle time_line, const double *times, size_t n_times, size_t keep,
                          unsigned long long call = 0);

// A new id for one window call (never 0). Call 0 means "no id": entries are
// then trimmed and evicted without regard to the call.
unsigned long long next_window_call();

} // namespace regora
} // namespace telvar
