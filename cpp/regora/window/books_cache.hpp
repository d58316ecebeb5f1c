// Real-bar bookkeeping of K-data items (per target: UnfilledBarRef, the
// position of the last real bar at every column, and UnfilledIdx, the
// columns of real bars), held as typed views between window calls so a
// real-bar window does not look up and check two arrays per target on every
// bar. Only views of the arrays' own memory are kept (arrays already of the
// right type), so a change written into them in place is seen by the next
// call; a target whose array was replaced in the lists, or needed a
// converted copy, is read again.
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

namespace telvar::regora {
namespace nb = nanobind;

// One target's bookkeeping: UnfilledBarRef[target] as float64 and
// UnfilledIdx[target] as int64.
struct RealBarTarget {
    nb::object ref_source, idx_source; // the arrays as found in the lists; unset until read
    bool direct = false;               // the views read those arrays' memory, not copies
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

} // namespace telvar::regora
