// A combined bar and the bar formed so far at every column, made in walks
// that read all of a target's fields together: open, high and low from the
// traded bars only (first / max / min, common/traded_bar.hpp says which
// traded), close last, volume and turnover summed, open interest last, NaN
// skipped throughout. A bar without a traded bar is a filled bar at its
// last close; one whose values are all NaN (or that is empty) is NaN.
//
// The walk carries the close of the nearest earlier bar that has one, which
// the rule needs to judge the next bar, so a target's bars are judged while
// they are combined: no pass of their own, nothing stored per base column.
// Whole bars are walked four columns at a time (whole_bar.hpp).
#pragma once

#include "traded_span.hpp"

#include <cstdint>

namespace telvar {
namespace numkern {

// One target's first K (<= 7) field rows of the output.
struct BlockOut {
    double *row[kKnownFields] = {};
};

// The state of a bar being combined. Max, min and the sums start from a
// neutral value and keep a flag saying whether a number was seen, so each
// step is a single max/min/add on which NaN has no effect.
struct BarState {
    double open = kNaN, high = -kInf, low = kInf, volume = 0.0, turnover = 0.0, oi = kNaN;
    double last = kNaN; // the last close seen, from before the bar on
    bool traded = false, high_seen = false, low_seen = false, close_seen = false;
    bool volume_seen = false, turnover_seen = false;
};

// A forming bar: base columns taken one at a time, in order, the bar formed
// so far written after each (sums added column by column).
template <int K, Source S> class BarWalk {
public:
    explicit BarWalk(const BlockIn &in) : in_(in) {}

    // Continues bar `s` (BarState{} with `last` set: a bar with no column yet).
    void start(const BarState &s) { s_ = s; }

    // Takes base columns from..to into the bar, writing the bar formed so
    // far into output column j after taking base column j. mark[j - from]:
    // -0.0 where bar j traded, NaN where it did not (traded_span.hpp).
    //
    // Inside the loop every value is a double that is NaN until the bar has
    // one (so no "seen" flags), and each step picks between numbers already
    // loaded: a few compares and blends per field, no branches.
    void walk_writing(int64_t from, int64_t to, const double *mark, const BlockOut &out) {
        const BarState &s = s_;
        double open = s.open, high = s.high_seen ? s.high : kNaN, low = s.low_seen ? s.low : kNaN;
        double close = s.close_seen ? s.last : kNaN, oi = s.oi;
        double volume = s.volume_seen ? s.volume : kNaN;
        double turnover = s.turnover_seen ? s.turnover : kNaN;
        double traded = s.traded ? kTradedMark : kNaN; // a number once a bar traded
        const double *const *row = in_.row;
        for (int64_t j = from; j <= to; ++j) {
            const double m = mark[j - from];
            traded = traded == traded ? traded : m;
            const double o = row[kOpen][j] + m;
            open = open == open ? open : o;
            if constexpr (K > kHigh) {
                const double h = row[kHigh][j] + m;
                high = (h > high) | (high != high) ? h : high;
            }
            if constexpr (K > kLow) {
                const double l = row[kLow][j] + m;
                low = (l < low) | (low != low) ? l : low;
            }
            if constexpr (K > kClose) {
                const double c = row[kClose][j];
                close = c == c ? c : close;
            }
            if constexpr (K > kVolume) {
                const double v = row[kVolume][j];
                volume = v == v ? (volume == volume ? volume : 0.0) + v : volume;
            }
            if constexpr (K > kTurnOver) {
                const double t = row[kTurnOver][j];
                turnover = t == t ? (turnover == turnover ? turnover : 0.0) + t : turnover;
            }
            if constexpr (K > kOpenInterest) {
                const double i = row[kOpenInterest][j];
                oi = i == i ? i : oi;
            }
            const bool filled = K > kClose && !(traded == traded);
            out.row[kOpen][j] = filled ? close : open;
            if constexpr (K > kHigh)
                out.row[kHigh][j] = filled ? close : high;
            if constexpr (K > kLow)
                out.row[kLow][j] = filled ? close : low;
            if constexpr (K > kClose)
                out.row[kClose][j] = close;
            if constexpr (K > kVolume)
                out.row[kVolume][j] = volume;
            if constexpr (K > kTurnOver)
                out.row[kTurnOver][j] = turnover;
            if constexpr (K > kOpenInterest)
                out.row[kOpenInterest][j] = oi;
        }
    }

    static void write(const BarState &s, const BlockOut &out, int64_t col) {
        const double close = s.close_seen ? s.last : kNaN;
        double open = s.open, high = s.high_seen ? s.high : kNaN, low = s.low_seen ? s.low : kNaN;
        if (K > kClose && !s.traded)
            open = high = low = close; // a filled bar (NaN when the bar had no close)
        out.row[kOpen][col] = open;
        if constexpr (K > kHigh)
            out.row[kHigh][col] = high;
        if constexpr (K > kLow)
            out.row[kLow][col] = low;
        if constexpr (K > kClose)
            out.row[kClose][col] = close;
        if constexpr (K > kVolume)
            out.row[kVolume][col] = s.volume_seen ? s.volume : kNaN;
        if constexpr (K > kTurnOver)
            out.row[kTurnOver][col] = s.turnover_seen ? s.turnover : kNaN;
        if constexpr (K > kOpenInterest)
            out.row[kOpenInterest][col] = s.oi;
    }

private:
    const BlockIn &in_;
    BarState s_;
};

} // namespace numkern
} // namespace telvar
