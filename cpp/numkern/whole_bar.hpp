// A whole bar over base columns b..e in one walk over all of a target's
// fields, four columns at a time: lane k of each running max, min and sum
// takes columns b + k, b + k + 4, ...; the columns left over after the last
// full four go to lane 0, and the lanes are joined as (0 + 1) + (2 + 3).
// Sums are therefore added in that order, everywhere a whole bar is made
// (a forming bar adds its columns one by one, bar_walk.hpp).
//
// Which bars traded is worked out in the same walk. Under the rule a bar is
// judged against the close before it; where every close from column b - 1
// to e - 1 is a number that is simply the close one column to the left, so
// four bars are judged at once. Otherwise (the series' first column, a gap
// in the closes) the close is carried bar by bar.
#pragma once

#include "bar_walk.hpp"
#include "traded_span.hpp" // TELVAR_VECTOR_CLONES

#include <cstdint>
#include <cstring>

// The lanes are passed only between functions inlined into their callers,
// which are built for AVX2 and for the default target (TELVAR_VECTOR_CLONES),
// so GCC's note that a vector argument's ABI differs without AVX does not
// apply. The note comes where the templates are instantiated, at the end of
// the including file, so it is silenced for the rest of that file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
#if defined(__GNUC__)
#define TELVAR_INLINE inline __attribute__((always_inline))
#else
#define TELVAR_INLINE inline
#endif

namespace telvar {
namespace numkern {

// Four lanes of doubles and of lane masks (all bits set where true), in
// GCC/Clang vector extensions: one AVX2 register, or two SSE2 ones.
typedef double Lanes __attribute__((vector_size(32)));
typedef int64_t LaneMask __attribute__((vector_size(32)));

TELVAR_INLINE Lanes load_lanes(const double *p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
TELVAR_INLINE Lanes pick(LaneMask m, Lanes a, Lanes b) { // a where m, else b
    return (Lanes)(((LaneMask)a & m) | ((LaneMask)b & ~m));
}
TELVAR_INLINE Lanes number_or_zero(Lanes x) { return (Lanes)((LaneMask)x & (x == x)); }
TELVAR_INLINE bool any_lane(LaneMask m) { return (m[0] | m[1] | m[2] | m[3]) != 0; }

// Whether c[0..len) are all numbers (no NaN, no infinity).
TELVAR_INLINE bool all_numbers(const double *c, int64_t len) {
    double s0 = 0.0, s1 = 0.0;
    int64_t j = 0;
    for (; j + 1 < len; j += 2) {
        s0 += c[j] - c[j];
        s1 += c[j + 1] - c[j + 1];
    }
    if (j < len)
        s0 += c[j] - c[j];
    return s0 + s1 == 0.0;
}

template <int K, Source S> class WholeBar {
public:
    explicit WholeBar(const BlockIn &in) : in_(in) {}

    // Columns b..e (b <= e) combined. `prev_close`: the close of the nearest
    // bar before b that has one (NaN: none, or S does not judge by the rule).
    TELVAR_INLINE BarState operator()(int64_t b, int64_t e, double prev_close) const {
        bool by_lanes = true;
        if constexpr (S == Source::Rule)
            by_lanes = b >= 1 && all_numbers(in_.row[kClose] + b - 1, e - b + 1);
        return by_lanes ? walk<true>(b, e, prev_close) : walk<false>(b, e, prev_close);
    }

private:
    const double *row(int f) const { return in_.row[f]; }
    double at(int f, int64_t j) const { return K > f ? in_.row[f][j] : kNaN; }

    // Whether bar j traded; `last`: the close of the nearest earlier bar
    // that has one (NaN when none), carried on to include bar j.
    TELVAR_INLINE bool traded_at(int64_t j, double &last) const {
        const double c = at(kClose, j);
        bool traded;
        if constexpr (S == Source::Rule) {
            traded = is_traded(at(kOpen, j), at(kHigh, j), at(kLow, j), c, at(kVolume, j), last);
        } else if constexpr (S == Source::Mask) {
            traded = in_.mask[j] != 0;
            if constexpr (K > kClose)
                traded = traded & (c == c);
        } else if constexpr (S == Source::Close) {
            traded = c == c;
        } else {
            traded = true;
        }
        if constexpr (K > kClose)
            last = c == c ? c : last;
        return traded;
    }

    // The four bars j..j+3 judged at once (the closes c[j-1..j+2] are numbers).
    TELVAR_INLINE LaneMask traded_lanes(int64_t j) const {
        if constexpr (S == Source::Rule) {
            const Lanes o = load_lanes(row(kOpen) + j), h = load_lanes(row(kHigh) + j);
            const Lanes l = load_lanes(row(kLow) + j), c = load_lanes(row(kClose) + j);
            const Lanes v = load_lanes(row(kVolume) + j), ref = load_lanes(row(kClose) + j - 1);
            const LaneMask filled = (v == 0.0) & (o == ref) & (h == ref) & (l == ref) & (c == ref);
            return (c == c) & ~filled;
        } else {
            LaneMask m = {-1, -1, -1, -1};
            if constexpr (S == Source::Mask) {
                const uint8_t *mask = in_.mask + j;
                m = LaneMask{mask[0], mask[1], mask[2], mask[3]} != 0;
            }
            if constexpr (S != Source::All && K > kClose) {
                const Lanes c = load_lanes(row(kClose) + j);
                m &= c == c;
            }
            return m;
        }
    }

    template <bool by_lanes>
    TELVAR_INLINE BarState walk(int64_t b, int64_t e, double prev_close) const {
        constexpr double inf = kInf;
        LaneMask traded = {}, high_seen = {}, low_seen = {}, volume_seen = {}, turnover_seen = {};
        Lanes high = {-inf, -inf, -inf, -inf}, low = {inf, inf, inf, inf};
        Lanes volume = {}, turnover = {};
        double open = kNaN, last = prev_close;
        const int64_t quads_end = b + (e - b + 1) / 4 * 4;
        int64_t j = b;
        for (; j < quads_end; j += 4) {
            LaneMask t;
            if constexpr (by_lanes) {
                t = traded_lanes(j);
            } else {
                for (int k = 0; k < 4; ++k)
                    t[k] = traded_at(j + k, last) ? -1 : 0;
            }
            traded |= t;
            const Lanes o = load_lanes(row(kOpen) + j);
            if (!(open == open)) { // the first traded open that is a number
                const LaneMask found = t & (o == o);
                if (any_lane(found))
                    open = found[0] ? o[0] : found[1] ? o[1] : found[2] ? o[2] : o[3];
            }
            if constexpr (K > kHigh) {
                const Lanes x = load_lanes(row(kHigh) + j);
                const Lanes h = pick(t, x, Lanes{} - inf);
                high = pick(h > high, h, high);
                high_seen |= t & (x == x);
            }
            if constexpr (K > kLow) {
                const Lanes x = load_lanes(row(kLow) + j);
                const Lanes l = pick(t, x, Lanes{} + inf);
                low = pick(l < low, l, low);
                low_seen |= t & (x == x);
            }
            if constexpr (K > kVolume) {
                const Lanes v = load_lanes(row(kVolume) + j);
                volume += number_or_zero(v);
                volume_seen |= v == v;
            }
            if constexpr (K > kTurnOver) {
                const Lanes x = load_lanes(row(kTurnOver) + j);
                turnover += number_or_zero(x);
                turnover_seen |= x == x;
            }
        }
        if constexpr (by_lanes) {
            if (j <= e && S == Source::Rule)
                last = at(kClose, j - 1); // a number: the closes up to e - 1 are
        }
        for (; j <= e; ++j) { // the columns left over go to lane 0
            const bool t = traded_at(j, last);
            traded[0] |= t ? -1 : 0;
            const double o = at(kOpen, j);
            open = (open == open) | !t ? open : o;
            if constexpr (K > kHigh) {
                const double h = at(kHigh, j);
                high[0] = t & (h > high[0]) ? h : high[0];
                high_seen[0] |= t & (h == h) ? -1 : 0;
            }
            if constexpr (K > kLow) {
                const double l = at(kLow, j);
                low[0] = t & (l < low[0]) ? l : low[0];
                low_seen[0] |= t & (l == l) ? -1 : 0;
            }
            if constexpr (K > kVolume) {
                const double v = at(kVolume, j);
                volume[0] += v == v ? v : 0.0;
                volume_seen[0] |= v == v ? -1 : 0;
            }
            if constexpr (K > kTurnOver) {
                const double x = at(kTurnOver, j);
                turnover[0] += x == x ? x : 0.0;
                turnover_seen[0] |= x == x ? -1 : 0;
            }
        }

        BarState s;
        s.traded = any_lane(traded);
        s.open = open;
        s.high = join_max(high);
        s.high_seen = any_lane(high_seen);
        s.low = join_min(low);
        s.low_seen = any_lane(low_seen);
        s.volume = (volume[0] + volume[1]) + (volume[2] + volume[3]);
        s.volume_seen = any_lane(volume_seen);
        s.turnover = (turnover[0] + turnover[1]) + (turnover[2] + turnover[3]);
        s.turnover_seen = any_lane(turnover_seen);
        if constexpr (K > kClose) {
            // the last close of the range, else the one carried into it
            const int64_t at_close = last_number_at(row(kClose), b, e);
            s.close_seen = at_close >= 0;
            s.last = s.close_seen ? row(kClose)[at_close] : prev_close;
        } else {
            s.last = prev_close;
        }
        if constexpr (K > kOpenInterest) {
            const int64_t at_oi = last_number_at(row(kOpenInterest), b, e);
            s.oi = at_oi >= 0 ? row(kOpenInterest)[at_oi] : kNaN;
        }
        return s;
    }

    static TELVAR_INLINE double join_max(Lanes v) {
        const double a = v[1] > v[0] ? v[1] : v[0], b = v[3] > v[2] ? v[3] : v[2];
        return b > a ? b : a;
    }
    static TELVAR_INLINE double join_min(Lanes v) {
        const double a = v[1] < v[0] ? v[1] : v[0], b = v[3] < v[2] ? v[3] : v[2];
        return b < a ? b : a;
    }
    // The last column of b..e whose value is a number, -1 when none is.
    static int64_t last_number_at(const double *row, int64_t b, int64_t e) {
        for (int64_t j = e; j >= b; --j)
            if (row[j] == row[j])
                return j;
        return -1;
    }

    const BlockIn &in_;
};

} // namespace numkern
} // namespace telvar
