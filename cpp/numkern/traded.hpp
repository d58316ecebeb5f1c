// Which bars traded: the one definition every combining kernel, the real-bar
// bookkeeping and the host's own bar arithmetic use.
//
// The host fills every slot in which an instrument did not trade with a bar
// of volume 0 whose open, high, low and close repeat the last close (open
// interest carried); slots before the first trade are NaN. Such a filled bar
// must never lend its carried price to a combined bar's open, high or low.
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
// "Earlier" means earlier in the matrix the kernel is given, so a kernel
// handed the tail of a series judges the tail's first priced bar by its own
// four prices; filled data judges the same either way.
#pragma once

#include <cstdint>
#include <limits>

namespace telvar {
namespace numkern {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Field offsets inside a target's block of a K matrix.
constexpr int kOpen = 0, kHigh = 1, kLow = 2, kClose = 3, kVolume = 4, kTurnOver = 5,
              kOpenInterest = 6, kKnownFields = 7;

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

// How a kernel tells traded bars from filled ones for a block of K fields.
enum class Source {
    Rule,  // the rule above (the block has open..close and a volume)
    Close, // no volume field: every bar with a close
    All,   // no close field: every bar
    Mask,  // a mask the caller worked out (e.g. from the unadjusted bars of
           // an adjusted price block), and a close where the block has one
};

inline Source source_for(int known_fields, int volume_field, bool has_mask) {
    if (has_mask)
        return Source::Mask;
    if (known_fields > volume_field)
        return Source::Rule;
    return known_fields > kClose ? Source::Close : Source::All;
}

// One target's first K field rows (K = min(bar_len, 7)) in a matrix of n
// columns, and its traded mask when the caller gives one.
struct BlockIn {
    const double *row[kKnownFields] = {};
    const uint8_t *mask = nullptr;
    int64_t n = 0;
};

// The close of the nearest earlier bar that has one, for spans visited in
// mostly ascending order: what lies before the last position asked for is
// remembered, so ascending spans cost nothing extra and a span that starts
// further back looks back only to the first close of the series.
class PrevClose {
public:
    PrevClose(const double *close, int64_t n) : close_(close), n_(n) {}

    // The last close among columns [0, b).
    double before(int64_t b) {
        if (b >= known_to_) {
            for (int64_t j = b - 1; j >= known_to_; --j)
                if (close_[j] == close_[j]) {
                    last_ = close_[j];
                    break;
                }
            known_to_ = b;
            return last_;
        }
        const int64_t first = first_close();
        for (int64_t j = b - 1; j >= first; --j)
            if (close_[j] == close_[j])
                return close_[j];
        return kNaN;
    }

    // `last_close`: the last close among columns [0, end).
    void reached(int64_t end, double last_close) {
        if (end > known_to_) {
            known_to_ = end;
            last_ = last_close;
        }
    }

private:
    // The first column with a close (n when none has one), found once.
    int64_t first_close() {
        if (first_ < 0) {
            first_ = 0;
            while (first_ < n_ && !(close_[first_] == close_[first_]))
                ++first_;
        }
        return first_;
    }

    const double *close_;
    int64_t n_;
    int64_t known_to_ = 0;
    double last_ = kNaN;
    int64_t first_ = -1;
};

// Only the Rule looks back; the others get a tracker that does nothing.
template <Source S> struct PrevCloseOf {
    explicit PrevCloseOf(const BlockIn &) {}
    double before(int64_t) { return kNaN; }
    void reached(int64_t, double) {}
};
template <> struct PrevCloseOf<Source::Rule> : PrevClose {
    explicit PrevCloseOf(const BlockIn &in) : PrevClose(in.row[kClose], in.n) {}
};

} // namespace numkern
} // namespace telvar
