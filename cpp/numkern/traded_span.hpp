// Marking a span of a target's bars as traded or not, in loops that
// vectorise: the first step of every combining kernel (combine_blocks.hpp)
// and of the traded-bar kernels. The rule itself is in common/traded_bar.hpp.
#pragma once

#include "traded.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace telvar {
namespace numkern {

// Columns marked and combined at a time: a span of a target's rows stays in
// the last-level cache between its marking and its combining (measured best
// from 8192 up to whole rows of 60,000 bars).
constexpr int64_t kSpanColumns = 65536;

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
    TradedSpan span;
    double prev = kNaN;
    for (int64_t lo = 0; lo < in.n; lo += kSpanColumns) {
        const int64_t hi = lo + kSpanColumns < in.n ? lo + kSpanColumns : in.n;
        prev = traded_span<K, S>(in, lo, hi, prev, span);
        for (int64_t j = lo; j < hi; ++j)
            out[j] = span.traded(j);
    }
}

} // namespace numkern
} // namespace telvar
