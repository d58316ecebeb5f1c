// Writing one bar into a window row, shared by the plain and the adjusted
// windows: a completed bar's fields come from the float objects the column
// cache keeps for a matrix column, a forming bar's from the fresh-bar store
// through the store's per-row floats. A row's fields may come in several runs
// (the adjusted window's prices from the adjusted matrix, its volume and the
// rest from the plain one); each call writes one run.
#pragma once

#include <nanobind/nanobind.h>

#include "regora/window/window_bars.hpp"

namespace telvar::regora {

// Window columns: the target index, the bar time, then the bar's fields.
constexpr long long kTimeColumn = 1;
constexpr long long kFirstFieldColumn = 2;

// `count` fields of a completed bar into cells `dst` not written before:
// the objects `objs` of consecutive matrix rows, whose values start at
// `cell`, `stride` apart. Inlined always: it is the inner loop of every
// window, called from more places than the compiler inlines on its own.
__attribute__((always_inline)) inline void put_completed_fields(PyObject **dst, PyObject **objs,
                                                                const double *cell, size_t stride,
                                                                long long count) {
    for (long long f = 0; f < count; ++f, cell += stride)
        cells::ObjectMatrix::fill_shared(dst[f], MatrixCells::shown(objs[f], *cell));
}

// `count` fields of a forming bar into cells `dst`: the values of store
// rows `first_row`.. at `value`, `stride` apart. `empty`: the cells were
// never written (a forming bar may take a completed bar's row).
inline void put_forming_fields(PyObject **dst, FreshRowFloats &floats, size_t first_row,
                               const double *value, size_t stride, long long count, bool empty) {
    for (long long f = 0; f < count; ++f, value += stride)
        cells::ObjectMatrix::store(dst[f], floats.get(first_row + static_cast<size_t>(f), *value),
                                   empty);
}

// The row of a forming bar, begun with its time.
struct FormingRow {
    PyObject **dst;
    bool empty; // whether the row held no completed bar before
};

inline FormingRow begin_forming_row(WindowArray &window, long long out_row, long long target,
                                    PyObject *time) {
    const bool empty = !window.shows_bar(out_row);
    PyObject **dst = window.begin_row(out_row, target);
    Py_INCREF(time);
    cells::ObjectMatrix::store(dst[kTimeColumn], time, empty);
    return {dst, empty};
}

} // namespace telvar::regora
