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

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

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

// What a span [lo, lo + len) of one target's columns needs before its bars
// are combined: mark[j - lo] is -0.0 where the bar traded and NaN where it
// did not. A price plus its bar's mark is the price itself (x + -0.0 == x,
// signed zeros included) for a traded bar and NaN for the others, so open,
// high and low of the traded bars are plain NaN-skipping first/max/min.
struct TradedSpan {
    int64_t lo = 0, len = 0;
    std::vector<double> mark;
    std::vector<double> before; // scratch: previous closes across gaps

    void reserve(int64_t n) {
        const std::size_t size = static_cast<std::size_t>(n);
        if (mark.size() < size) {
            mark.resize(size);
            before.resize(size);
        }
    }
    bool traded(int64_t col) const { // col: an absolute column of the span
        const double m = mark[static_cast<std::size_t>(col - lo)];
        return m == m;
    }
};

constexpr double kTradedMark = -0.0;

// The loops below take restrict pointers so that they vectorise: their
// inputs are rows of the matrix and their output the span's own row. Every
// value is loaded before it is used: a load under a condition stops a loop
// from vectorising. Where GCC builds for x86-64 Linux they are also
// compiled for AVX2, picked when the processor has it.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define TELVAR_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TELVAR_VECTOR_CLONES
#endif

// Whether c[0..len) holds a NaN (or an infinity): c - c is 0 for every
// other value, and two running sums keep the loop vectorised.
TELVAR_VECTOR_CLONES
inline bool has_gap(const double *__restrict c, int64_t len) {
    double s0 = 0.0, s1 = 0.0;
    int64_t j = 0;
    for (; j + 1 < len; j += 2) {
        const double a = c[j], b = c[j + 1];
        s0 += a - a;
        s1 += b - b;
    }
    if (j < len)
        s0 += c[j] - c[j];
    return !(s0 + s1 == 0.0);
}

// mark[j] for bars o..v[j], p[j] being the previous close of bar j (a
// number unless may_be_nan).
template <bool may_be_nan>
TELVAR_VECTOR_CLONES void mark_by_rule(const double *__restrict o, const double *__restrict h,
                                       const double *__restrict l, const double *__restrict c,
                                       const double *__restrict v, const double *__restrict p,
                                       double *__restrict mark, int64_t len) {
    for (int64_t j = 0; j < len; ++j) {
        const double oj = o[j], hj = h[j], lj = l[j], cj = c[j], vj = v[j], pj = p[j];
        bool filled;
        if constexpr (may_be_nan)
            filled = is_filled(oj, hj, lj, cj, vj, pj);
        else
            filled = is_filled_after(oj, hj, lj, cj, vj, pj);
        const bool traded = (cj == cj) & !filled;
        mark[j] = traded ? kTradedMark : kNaN;
    }
}

// mark[j] for the other sources: traded where mask[j] is set (no mask: every
// bar) and, with a close row, where the bar has a close.
template <bool with_mask, bool with_close>
TELVAR_VECTOR_CLONES void mark_by_mask(const uint8_t *__restrict mask, const double *__restrict c,
                                       double *__restrict mark, int64_t len) {
    for (int64_t j = 0; j < len; ++j) {
        bool traded = true;
        if constexpr (with_mask)
            traded = mask[j] != 0;
        if constexpr (with_close) {
            const double cj = c[j];
            traded = traded & (cj == cj);
        }
        mark[j] = traded ? kTradedMark : kNaN;
    }
}

// Marks the bars of columns [lo, hi) of block `in` (K fields, judged by S)
// into `span`, given the last close before lo. Returns the last close
// before hi (Source::Rule; NaN for the others).
template <int K, Source S>
double traded_span(const BlockIn &in, int64_t lo, int64_t hi, double prev_close, TradedSpan &span) {
    const int64_t len = hi - lo;
    span.lo = lo;
    span.len = len;
    span.reserve(len);
    double *mark = span.mark.data();
    const double *c = K > kClose ? in.row[kClose] + lo : nullptr;
    if constexpr (S == Source::Rule) {
        const double *o = in.row[kOpen] + lo, *h = in.row[kHigh] + lo, *l = in.row[kLow] + lo;
        const double *v = in.row[kVolume] + lo;
        if (len > 0 && !has_gap(c, len)) {
            // Each bar's previous close is the close of the column before
            // it (prev_close for the first): the rule runs straight on the rows.
            mark_by_rule<true>(o, h, l, c, v, &prev_close, mark, 1);
            mark_by_rule<false>(o + 1, h + 1, l + 1, c + 1, v + 1, c, mark + 1, len - 1);
            return c[len - 1];
        }
        // A close is missing: each bar's previous close is carried over the
        // gaps in one serial pass, then the rule runs on those.
        double *before = span.before.data();
        double last = prev_close;
        for (int64_t j = 0; j < len; ++j) {
            before[j] = last;
            last = c[j] == c[j] ? c[j] : last;
        }
        mark_by_rule<true>(o, h, l, c, v, before, mark, len);
        return last;
    } else {
        (void)prev_close;
        constexpr bool with_close = S != Source::All && K > kClose;
        const uint8_t *mask = S == Source::Mask ? in.mask + lo : nullptr;
        mark_by_mask<S == Source::Mask, with_close>(mask, c, mark, len);
        return kNaN;
    }
}

// The traded flags of one whole block, in spans that stay in the cache.
template <int K, Source S> void traded_flags(const BlockIn &in, uint8_t *out) {
    constexpr int64_t kSpan = 8192;
    TradedSpan span;
    double prev = kNaN;
    for (int64_t lo = 0; lo < in.n; lo += kSpan) {
        const int64_t hi = lo + kSpan < in.n ? lo + kSpan : in.n;
        prev = traded_span<K, S>(in, lo, hi, prev, span);
        for (int64_t j = lo; j < hi; ++j)
            out[j] = span.traded(j);
    }
}

} // namespace numkern
} // namespace telvar
