// Python float objects for the K-matrix columns that windows show.
//
// A strategy reads overlapping windows bar after bar: the window at one bar
// shares all but its newest rows with the window at the bar before. The
// cells of a matrix column are therefore made into Python floats once and
// shared by every window that shows them (floats are immutable, so sharing
// is invisible to the caller); a window is then mostly reference copies.
//
// A matrix may be written in place after a window read it (a strategy or a
// notebook changing a bar), so an object is only a guess at its cell. Every
// window first refreshes the cells it is about to show: each is compared,
// bit for bit, with the value its object was made for, and the object is
// made again where they differ. A window therefore always shows the matrix's
// current values; the objects only save the allocations of values that did
// not change. The values are kept in blocks of columns laid out as the
// matrix is (row after row), so a window compares runs of adjacent cells of
// one matrix row with runs of kept values, several at a time, instead of
// following a pointer per cell.
//
// A cache entry holds its matrix and time line, so their buffers cannot be
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
#include <cstdint>
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

    // The row of the bar times among a column's objects (after the matrix's rows).
    size_t time_row() const { return rows_; }

    // Makes the objects of rows [first_row, first_row + n_rows) (time_row()
    // included) of columns [first_col, last_col] show their cells' current
    // values: columns are made where missing, objects made again where a
    // cell changed. Refresh what a window shows before reading it through
    // column(); nothing may run Python code in between.
    void refresh(size_t first_row, size_t n_rows, long long first_col, long long last_col);

    // The objects of column `col` (rows of the matrix, then the bar time),
    // made when missing, as of the last refresh() of their cells. Borrowed:
    // valid while the caller holds this entry; increment before storing.
    PyObject *const *column(long long col);

    // Drops the oldest columns beyond `keep`; only for an entry nobody holds.
    void trim(size_t keep);

private:
    struct Column {
        std::unique_ptr<PyObject *[]> objs;
    };
    // The bits of the values of kKept columns' objects, row after row: a
    // (rows + 1) x kKept block, made with its first column, dropped with
    // its last.
    static constexpr size_t kKept = 64;
    struct Block {
        std::unique_ptr<uint64_t[]> bits;
        size_t live = 0;
    };

    double time_at(long long col) const {
        return static_cast<size_t>(col) < n_times_ ? times_[col] : std::nan("");
    }
    double value_at(size_t row, long long col) const {
        return row < rows_ ? data_[row * cols_ + static_cast<size_t>(col)] : time_at(col);
    }
    uint64_t *kept_bits(size_t row, long long col) {
        const size_t c = static_cast<size_t>(col);
        return blocks_[c / kKept].bits.get() + row * kKept + c % kKept;
    }
    Column &make_column(long long col);
    // refresh() of the columns [first_col, first_col + n) of one block.
    void refresh_run(size_t first_row, size_t n_rows, long long first_col, size_t n);
    void renew(size_t row, long long col, double value);
    void release(Column &column, long long col);

    nb::object matrix_, time_line_;
    const double *data_, *times_;
    size_t rows_, cols_, n_times_;
    // by column: its objects (rows, then the bar time), null when not made
    std::vector<Column> columns_;
    std::vector<Block> blocks_; // by column / kKept
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
