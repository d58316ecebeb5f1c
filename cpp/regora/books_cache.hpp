// Real-bar bookkeeping of K-data items (per target: UnfilledBarRef, the
// position of the last real bar at every column, and UnfilledIdx, the
// columns of real bars), held as typed buffers between window calls so a
// real-bar window does not convert two arrays per target on every bar.
// Entries hold the original arrays; a target whose array was replaced in the
// item's list is read again.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <vector>

#include "common/arrays.hpp"

namespace telvar {
namespace regora {
namespace nb = nanobind;

class RealBarBooks {
public:
    RealBarBooks(nb::handle refs, nb::handle idxs);
    bool same(nb::handle refs, nb::handle idxs) const;
    bool orphaned() const;
    unsigned long long last_call = 0; // the window call that used it last

    // UnfilledBarRef[target] as float64, UnfilledIdx[target] as int64.
    const ArrayView<double> &bar_ref(long long target);
    const ArrayView<int64_t> &real_columns(long long target);

private:
    struct Target {
        nb::object ref_source, idx_source; // the arrays as found in the lists
        ArrayView<double> ref;
        ArrayView<int64_t> idx;
    };
    Target &target(long long t);

    nb::object refs_, idxs_;
    std::vector<std::unique_ptr<Target>> targets_;
};

// The entry of an item's bookkeeping lists; least recently used entries are
// dropped first, never one that window call `call` already uses.
RealBarBooks &real_bar_books(nb::handle refs, nb::handle idxs, unsigned long long call = 0);

} // namespace regora
} // namespace telvar
