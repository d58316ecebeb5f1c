// Bars placed into, and filled in, the K matrix of a multi-target answer,
// without Python objects: the host's hot loops over every stored bar.
//
// The matrix is given as its transpose: a C-contiguous (slots, 7 * targets)
// array, which is the memory of the (7 * targets, slots) column-major matrix
// a MAT file stores. Field rows: Open, High, Low, Close, Volume, TurnOver,
// OpenInterest.
#pragma once

#include <cstddef>
#include <cstdint>

namespace telvar {
namespace host {

constexpr size_t kFields = 7;
constexpr size_t kClose = 3, kVolume = 4, kTurnover = 5, kOpenInterest = 6;

struct Bars {
    const int64_t *keys;    // bar keys, one per row
    const int64_t *targets; // the row's target; nullptr: every row is of target `target`
    int64_t target;
    const double *fields[kFields]; // the 7 field columns
    size_t rows;
};

// Each row into its slot: the position of its key on the sorted `slots`;
// rows whose key is no slot are dropped. Returns how many were placed.
// Targets must lie in [0, targets) (checked by the caller).
size_t place_rows(double *k, size_t width, size_t targets, const int64_t *slots, const Bars &bars);

// Filled bars: a slot without a close after a target's first close repeats
// that close as open, high, low and close, with volume and turnover 0 and the
// open interest carried; slots before it are left as they are.
void fill_blocks(double *k, size_t width, size_t targets);

} // namespace host
} // namespace telvar
