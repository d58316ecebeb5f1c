// Real-bar bookkeeping of K-data items (per target: UnfilledBarRef, the
// position of the last real bar at every column, and UnfilledIdx, the
// columns of real bars), held as typed buffers between window calls so a
// real-bar window does not convert two arrays per target on every bar.
// Entries hold the original arrays; a target whose array was replaced in the
// item's list is read again.
//
// As with the column cache, callers hold the entries they read: an entry
// stays valid while held, whatever other look-ups evict meanwhile. One
// target's views are replaced only by the next look-up of that target, when
// its arrays in the lists were replaced, and a look-up of another target may
// move them: use them before the next look-up and before anything can run
// Python code.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <vector>

#include "common/arrays.hpp"

namespace telvar {
namespace regora {
namespace nb = nanobind;

// The bars a real-bar window chose for one target, kept for the next calls
// at the same bar of the item (a strategy's bars mostly fall inside one
// registered bar). Registered matrices and bookkeeping are never written, so
// the choice holds while its key matches; the key holds the matrix, so that
// no other matrix can take its place at the same address.
struct RealBarChoice {
    // key
    long long current_bar = 0, length = -1, volume_row = 0, matrix_cols = 0;
    nb::object matrix;
    const double *matrix_data = nullptr;
    // choice
    bool empty = true;
    long long end_bar = 0, start = 0;
    std::vector<long long> newest; // columns in [start, end_bar] that traded, newest first

    bool matches(long long bar, long long len, long long row, const ArrayView<double> &m) const {
        return length == len && current_bar == bar && volume_row == row &&
               matrix.ptr() == m.object().ptr() && matrix_data == m.data() &&
               matrix_cols == static_cast<long long>(m.cols());
    }
};

// One target's bookkeeping: UnfilledBarRef[target] as float64 and
// UnfilledIdx[target] as int64, and the last real-bar choice made from them.
// What every window call reads comes first.
struct RealBarTarget {
    nb::object ref_source, idx_source; // the arrays as found in the lists; unset until read
    RealBarChoice choice;
    ArrayView<double> bar_ref;
    ArrayView<int64_t> real_columns;
};

class RealBarBooks {
public:
    RealBarBooks(nb::handle refs, nb::handle idxs);
    bool same(nb::handle refs, nb::handle idxs) const;
    bool orphaned() const;

    // Valid until the next call of target() (see above).
    RealBarTarget &target(long long t);

private:
    nb::object refs_, idxs_;
    std::vector<RealBarTarget> targets_; // side by side: a window reads them all in turn
};

// The entry of an item's bookkeeping lists, made when missing; least
// recently used entries are dropped first.
std::shared_ptr<RealBarBooks> real_bar_books(nb::handle refs, nb::handle idxs);

} // namespace regora
} // namespace telvar
