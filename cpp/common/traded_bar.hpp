// Which bars traded: the one definition every combining kernel, the real-bar
// bookkeeping, the real-bar windows and the host's own bar arithmetic use.
//
// The host fills every slot in which an instrument did not trade with a bar
// of volume 0 whose open, high, low and close repeat the last close (open
// interest carried); slots before the first trade are NaN. Such a filled bar
// must never lend its carried price to a combined bar's open, high or low,
// and a real-bar window does not show it.
//
//   A bar is *filled* when its volume is exactly 0 and its open, high, low
//   and close all equal the close of the nearest earlier bar that has a close
//   (for the first bar in view, when no earlier close is visible: when its
//   four prices are equal). Every other bar with a close is *traded*.
//
// Data without volumes keeps its prices: a NaN volume (some index and FX
// feeds) is never a filled bar, and with volume 0 everywhere every bar whose
// price moved away from the last close is traded (a flat one carries nothing
// a traded bar would not). A block without a volume field counts every bar
// with a close as traded; a block without a close field every bar.
//
// "Earlier" means earlier in the matrix the caller is given, so a kernel
// handed the tail of a series judges the tail's first priced bar by its own
// four prices; filled data judges the same either way.
#pragma once

#include "common/kmatrix_layout.hpp"

namespace telvar {

// The rule reads a target block's first four fields as its prices.
constexpr int kOpen = static_cast<int>(kmatrix::kOpen), kHigh = static_cast<int>(kmatrix::kHigh),
              kLow = static_cast<int>(kmatrix::kLow), kClose = static_cast<int>(kmatrix::kClose);

// `ref`: the close of the nearest earlier bar that has one, known to be a
// number. Written with & instead of && so that it compiles to a few
// comparisons without branches and loops over it vectorise.
inline bool is_filled_after(double open, double high, double low, double close, double volume,
                            double ref) {
    return (volume == 0.0) & (open == ref) & (high == ref) & (low == ref) & (close == ref);
}

// `prev_close`: the same close, NaN when none is visible.
inline bool is_filled(double open, double high, double low, double close, double volume,
                      double prev_close) {
    return is_filled_after(open, high, low, close, volume,
                           prev_close == prev_close ? prev_close : close);
}

inline bool is_traded(double open, double high, double low, double close, double volume,
                      double prev_close) {
    return (close == close) & !is_filled(open, high, low, close, volume, prev_close);
}

// A bar whose volume is above 0 is never filled. Callers that visit bars one
// at a time take it as traded without reading its prices (a bar the host
// delivers or a kernel combines has a close wherever it has a volume), and
// read the prices and the previous close of the others only.
inline bool traded_by_volume(double volume) { return volume > 0.0; }

} // namespace telvar
