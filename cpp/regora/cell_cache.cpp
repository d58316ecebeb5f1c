// Float objects of K-matrix columns shared by successive windows (see
// cell_cache.hpp). Everything here runs with the GIL held.
#include "regora/cell_cache.hpp"

#include "common/arrays.hpp"
#include "regora/float_pool.hpp"

#include <algorithm>
#include <cmath>

namespace telvar {
namespace regora {

namespace {

constexpr size_t kMaxMatrices = 16;
constexpr size_t kMinColumnsKept = 512;

// Whether any of `n` cells differs, bit for bit, from the kept values. Four
// independent chains, so that the loads of several cells are under way at
// once.
bool any_differs(const double *cells, const uint64_t *kept, size_t n) {
    uint64_t d0 = 0, d1 = 0, d2 = 0, d3 = 0;
    size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        d0 |= floats::bits_of(cells[k]) ^ kept[k];
        d1 |= floats::bits_of(cells[k + 1]) ^ kept[k + 1];
        d2 |= floats::bits_of(cells[k + 2]) ^ kept[k + 2];
        d3 |= floats::bits_of(cells[k + 3]) ^ kept[k + 3];
    }
    for (; k < n; ++k)
        d0 |= floats::bits_of(cells[k]) ^ kept[k];
    return (d0 | d1 | d2 | d3) != 0;
}

} // namespace

MatrixCells::MatrixCells(nb::handle matrix, const double *data, size_t rows, size_t cols,
                         nb::handle time_line, const double *times, size_t n_times)
    : matrix_(nb::borrow(matrix)), time_line_(nb::borrow(time_line)), data_(data),
      times_(times), rows_(rows), cols_(cols), n_times_(n_times), columns_(cols),
      blocks_((cols + kKept - 1) / kKept) {}

MatrixCells::~MatrixCells() {
    for (size_t col = 0; col < columns_.size(); ++col)
        release(columns_[col], static_cast<long long>(col));
}

bool MatrixCells::same(nb::handle matrix, const double *data, size_t rows, size_t cols,
                       nb::handle time_line, const double *times, size_t n_times) const {
    return matrix.ptr() == matrix_.ptr() && data == data_ && rows == rows_ && cols == cols_ &&
           time_line.ptr() == time_line_.ptr() && times == times_ && n_times == n_times_;
}

bool MatrixCells::orphaned() const { return Py_REFCNT(matrix_.ptr()) <= 1; }

PyObject *const *MatrixCells::column(long long col) {
    if (col < 0 || static_cast<size_t>(col) >= cols_)
        raise_index_error("column " + std::to_string(col) + " is outside the K matrix");
    Column &slot = columns_[static_cast<size_t>(col)];
    return (slot.objs ? slot : make_column(col)).objs.get();
}

MatrixCells::Column &MatrixCells::make_column(long long col) {
    Column made{std::unique_ptr<PyObject *[]>(new PyObject *[rows_ + 1]())};
    Block &block = blocks_[static_cast<size_t>(col) / kKept];
    if (!block.bits)
        block.bits.reset(new uint64_t[(rows_ + 1) * kKept]());
    ++block.live; // released with the column, also when making it fails
    FloatPool &floats = FloatPool::for_columns();
    try {
        for (size_t r = 0; r <= rows_; ++r) {
            const double value = value_at(r, col);
            made.objs[r] = floats.get(value);
            *kept_bits(r, col) = floats::bits_of(value);
        }
    } catch (...) {
        release(made, col);
        throw;
    }
    order_.push_back(col);
    ++live_columns_;
    Column &slot = columns_[static_cast<size_t>(col)];
    slot = std::move(made);
    return slot;
}

void MatrixCells::refresh(size_t first_row, size_t n_rows, long long first_col,
                          long long last_col) {
    if (first_col > last_col)
        return;
    if (first_col < 0 || static_cast<size_t>(last_col) >= cols_ || first_row + n_rows > rows_ + 1)
        raise_index_error("cells outside the K matrix");
    for (long long col = first_col; col <= last_col;) {
        const long long block_end = (col / static_cast<long long>(kKept) + 1) *
                                        static_cast<long long>(kKept) - 1;
        const long long run_end = std::min(last_col, block_end);
        for (long long c = col; c <= run_end; ++c)
            if (!columns_[static_cast<size_t>(c)].objs)
                make_column(c);
        refresh_run(first_row, n_rows, col, static_cast<size_t>(run_end - col + 1));
        col = run_end + 1;
    }
}

void MatrixCells::refresh_run(size_t first_row, size_t n_rows, long long first_col, size_t n) {
    const size_t c0 = static_cast<size_t>(first_col);
    for (size_t r = first_row; r < first_row + n_rows; ++r) {
        const uint64_t *kept = kept_bits(r, first_col);
        bool differs;
        if (r < rows_)
            differs = any_differs(data_ + r * cols_ + c0, kept, n);
        else // the bar times; columns past the time line show NaN
            differs = c0 + n > n_times_ || any_differs(times_ + c0, kept, n);
        if (!differs)
            continue;
        for (size_t k = 0; k < n; ++k) {
            const long long col = first_col + static_cast<long long>(k);
            const double value = value_at(r, col);
            if (floats::bits_of(value) != kept[k])
                renew(r, col, value);
        }
    }
}

void MatrixCells::renew(size_t row, long long col, double value) {
    uint64_t &kept = *kept_bits(row, col);
    PyObject *&obj = columns_[static_cast<size_t>(col)].objs[row];
    if (std::isnan(value) && std::isnan(floats::value_of(obj))) {
        kept = floats::bits_of(value); // another NaN: the ring object still serves
        return;
    }
    // The new object is taken before the old one is let go: the pool may
    // give a float only it references a new value in place.
    PyObject *made = FloatPool::for_columns().get(value);
    PyObject *old = obj;
    obj = made;
    kept = floats::bits_of(value);
    Py_DECREF(old);
}

void MatrixCells::release(Column &column, long long col) {
    if (!column.objs)
        return;
    for (size_t r = 0; r <= rows_; ++r)
        Py_XDECREF(column.objs[r]);
    column.objs.reset();
    Block &block = blocks_[static_cast<size_t>(col) / kKept];
    if (--block.live == 0)
        block.bits.reset();
}

void MatrixCells::trim(size_t keep) {
    keep = std::max(keep, kMinColumnsKept);
    while (live_columns_ > keep && order_start_ < order_.size()) {
        const long long col = order_[order_start_++];
        Column &slot = columns_[static_cast<size_t>(col)];
        if (slot.objs) {
            release(slot, col);
            --live_columns_;
        }
    }
    if (order_start_ > 4096 && order_start_ * 2 > order_.size()) {
        order_.erase(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(order_start_));
        order_start_ = 0;
    }
}

std::shared_ptr<MatrixCells> matrix_cells(nb::handle matrix, const double *data, size_t rows,
                                          size_t cols, nb::handle time_line, const double *times,
                                          size_t n_times, size_t keep) {
    // Never destroyed: its objects may outlive the interpreter's finalisation.
    static auto *cache = new std::vector<std::shared_ptr<MatrixCells>>();
    auto &entries = *cache;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i]->same(matrix, data, rows, cols, time_line, times, n_times)) {
            // most recently used last
            std::rotate(entries.begin() + static_cast<std::ptrdiff_t>(i),
                        entries.begin() + static_cast<std::ptrdiff_t>(i) + 1, entries.end());
            if (entries.back().use_count() == 1)
                entries.back()->trim(keep); // no column of it is in use
            return entries.back();
        }
    }
    // Dropping an entry only drops the cache's reference: holders keep theirs.
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [](const std::shared_ptr<MatrixCells> &e) { return e->orphaned(); }),
                  entries.end());
    if (entries.size() >= kMaxMatrices)
        entries.erase(entries.begin());
    entries.push_back(
        std::make_shared<MatrixCells>(matrix, data, rows, cols, time_line, times, n_times));
    return entries.back();
}

} // namespace regora
} // namespace telvar
