// How the kernels tell traded bars from filled ones, block by block. The
// rule itself, shared with the registration windows, is in
// common/traded_bar.hpp.
#pragma once

#include "common/traded_bar.hpp"

#include <cstdint>
#include <limits>

namespace telvar {
namespace numkern {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Field offsets inside a target's block of a K matrix, after the four
// prices (kOpen..kClose, common/traded_bar.hpp).
constexpr int kVolume = static_cast<int>(kmatrix::kVolume), kTurnOver = static_cast<int>(kmatrix::kTurnover),
              kOpenInterest = static_cast<int>(kmatrix::kOpenInterest),
              kKnownFields = static_cast<int>(kmatrix::kBarLen);

// How a kernel tells traded bars from filled ones for a block of K fields.
enum class Source {
    Rule,  // the rule (the block has open..close and a volume)
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
