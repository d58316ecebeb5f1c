// Float objects of K-matrix columns shared by successive windows (see
// cell_cache.hpp). Everything here runs with the GIL held.
#include "regora/window/cell_cache.hpp"

#include "common/arrays.hpp"

#include <algorithm>
#include <cmath>

namespace telvar::regora {

namespace {

constexpr size_t kMaxMatrices = 16;
constexpr size_t kMinColumnsKept = 512;

} // namespace

MatrixCells::MatrixCells(nb::handle matrix, const double *data, size_t rows, size_t cols,
                         nb::handle time_line, const double *times, size_t n_times)
    : matrix_(nb::borrow(matrix)), time_line_(nb::borrow(time_line)), data_(data),
      times_(times), rows_(rows), cols_(cols), n_times_(n_times), columns_(cols) {}

MatrixCells::~MatrixCells() {
    for (auto &column : columns_)
        release(column);
}

bool MatrixCells::same(nb::handle matrix, const double *data, size_t rows, size_t cols,
                       nb::handle time_line, const double *times, size_t n_times) const {
    return matrix.ptr() == matrix_.ptr() && data == data_ && rows == rows_ && cols == cols_ &&
           time_line.ptr() == time_line_.ptr() && times == times_ && n_times == n_times_;
}

bool MatrixCells::orphaned() const { return Py_REFCNT(matrix_.ptr()) <= 1; }

PyObject **MatrixCells::column(long long col) {
    if (col < 0 || static_cast<size_t>(col) >= cols_)
        raise_index_error("column " + std::to_string(col) + " is outside the K matrix");
    auto &slot = columns_[static_cast<size_t>(col)];
    if (slot)
        return slot.get();
    std::unique_ptr<PyObject *[]> objs(new PyObject *[rows_ + 1]());
    FloatPool &floats = FloatPool::for_columns();
    try {
        for (size_t r = 0; r < rows_; ++r)
            objs[r] = floats.get(data_[r * cols_ + static_cast<size_t>(col)]);
        objs[rows_] = floats.get(time_at(col));
    } catch (...) {
        release(objs);
        throw;
    }
    order_.push_back(col);
    ++live_columns_;
    slot = std::move(objs);
    return slot.get();
}

PyObject *MatrixCells::remake(PyObject *&obj, double value) {
    // The new object is taken before the old one is let go: the pool may
    // give a float only it references a new value in place.
    PyObject *made = FloatPool::for_columns().get(value);
    PyObject *old = obj;
    obj = made;
    Py_DECREF(old);
    return made;
}

void MatrixCells::release(std::unique_ptr<PyObject *[]> &objs) {
    if (!objs)
        return;
    for (size_t r = 0; r <= rows_; ++r)
        Py_XDECREF(objs[r]);
    objs.reset();
}

void MatrixCells::trim(size_t keep) {
    keep = std::max(keep, kMinColumnsKept);
    while (live_columns_ > keep && order_start_ < order_.size()) {
        auto &slot = columns_[static_cast<size_t>(order_[order_start_++])];
        if (slot) {
            release(slot);
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

} // namespace telvar::regora
