// Combining a target's bars, all its fields together. Over a range of base
// bars, skipping NaN: open, high and low come from the traded bars only
// (first / max / min; common/traded_bar.hpp says which bars traded), close = last,
// volume and turnover = sums, open interest = last. A range without a traded
// bar is itself a filled bar: open = high = low = close = its last close
// (volume and turnover sum to 0). A range whose values are all NaN, or that
// is empty, gives NaN. Fields past open interest are carried like it (last).
//
// A target's ranges are taken in batches that lie within one span of at most
// kSpanColumns base columns (a longer range is a batch of its own): the span
// is read once to mark its traded bars (traded_span), and its ranges are
// then combined row by row from data still in the cache.
#pragma once

#include "combine_ops.hpp"
#include "traded_span.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

namespace telvar {
namespace numkern {

struct BlockOut {
    double *row[kKnownFields] = {};
};

// Whether any bar of span columns [b, e] (absolute) traded.
inline bool any_traded(const TradedSpan &span, int64_t b, int64_t e) {
    for (int64_t j = b; j <= e; ++j)
        if (span.traded(j))
            return true;
    return false;
}

// Calls fn(values) with the values field f is combined from: open, high
// and low of the traded bars only (the span's marks added), the others as
// they are.
template <typename Fn>
void with_field_values(const BlockIn &in, const TradedSpan &span, int f, Fn &&fn) {
    if (f <= kLow)
        fn(TradedValues{in.row[f], span.mark.data(), span.lo});
    else
        fn(RowValues{in.row[f]});
}

// A bar without a traded bar is a filled bar at its close. Its open from
// the traded bars is then NaN, so only a NaN open needs a look at the marks
// (a traded bar may lack an open, too).
inline void fill_untraded(const BlockOut &out, int64_t col) {
    const double close = out.row[kClose][col];
    for (int f = kOpen; f < kClose; ++f)
        out.row[f][col] = close;
}

// Output columns at[k] (k in [k0, k1)) = base columns b[k]..e[k] combined;
// the span covers them. Field by field, so that each row is read in order.
template <int K>
void write_ranges(const BlockIn &in, const TradedSpan &span, const int64_t *b, const int64_t *e,
                  size_t k0, size_t k1, const int64_t *at, const BlockOut &out) {
    for (int f = 0; f < K; ++f) {
        double *dst = out.row[f];
        dispatch_op(op_for_field(static_cast<size_t>(f)), [&](auto op) {
            with_field_values(in, span, f, [&](const auto &x) {
                for (size_t k = k0; k < k1; ++k)
                    dst[at[k]] = fold<decltype(op)::value>(x, b[k], e[k]);
            });
        });
    }
    if constexpr (K > kClose) {
        const double *open = out.row[kOpen];
        for (size_t k = k0; k < k1; ++k)
            if (!(open[at[k]] == open[at[k]]) && b[k] <= e[k] && !any_traded(span, b[k], e[k]))
                fill_untraded(out, at[k]);
    }
}

// Output columns start..stop-1 of runs [k0, k1): the bar from pre_from up
// to each (single runs are written by write_ranges).
template <int K>
void write_runs(const BlockIn &in, const TradedSpan &span, const Run *runs, size_t k0, size_t k1,
                const BlockOut &out) {
    for (int f = 0; f < K; ++f) {
        double *dst = out.row[f];
        dispatch_op(op_for_field(static_cast<size_t>(f)), [&](auto op) {
            constexpr Op o = decltype(op)::value;
            with_field_values(in, span, f, [&](const auto &x) {
                for (size_t k = k0; k < k1; ++k) {
                    const Run &run = runs[k];
                    if (run.single_to != -2)
                        continue;
                    Acc<o> acc = fold_acc<o>(x, run.pre_from, run.start - 1);
                    for (int64_t i = run.start; i < run.stop; ++i) {
                        acc.push(x(i));
                        dst[i] = acc.value();
                    }
                }
            });
        });
    }
    if constexpr (K > kClose) {
        // Columns before the bar's first traded bar (their open is NaN).
        const double *open = out.row[kOpen];
        for (size_t k = k0; k < k1; ++k) {
            const Run &run = runs[k];
            if (run.single_to != -2 || open[run.start] == open[run.start])
                continue;
            bool traded = any_traded(span, run.pre_from, run.start - 1);
            for (int64_t i = run.start; i < run.stop && !(open[i] == open[i]); ++i) {
                traded = traded || span.traded(i);
                if (!traded)
                    fill_untraded(out, i);
            }
        }
    }
}

// Groups items [k, count) into batches whose base columns lie within one
// span of at most kSpanColumns; first_of/last_of give an item's base
// columns (empty when first > last). Calls batch(k0, k1, lo, hi) with the
// span [lo, hi] of items k0..k1-1 (lo > hi when they are all empty).
template <typename First, typename Last, typename Batch>
void in_batches(size_t count, First &&first_of, Last &&last_of, Batch &&batch) {
    size_t k = 0;
    while (k < count) {
        int64_t lo = std::numeric_limits<int64_t>::max(), hi = std::numeric_limits<int64_t>::min();
        size_t k1 = k;
        for (; k1 < count; ++k1) {
            const int64_t b = first_of(k1), e = last_of(k1);
            if (b > e)
                continue;
            const int64_t new_lo = std::min(lo, b), new_hi = std::max(hi, e);
            if (lo <= hi && new_hi - new_lo + 1 > kSpanColumns)
                break;
            lo = new_lo;
            hi = new_hi;
        }
        batch(k, k1, lo, hi);
        k = k1;
    }
}

// out column k = base columns begin[k] .. end[k] combined. `at` is scratch
// for the output columns (0..count-1).
template <int K, Source S>
void combine_block_ranges(const BlockIn &in, const int64_t *begin, const int64_t *end,
                          size_t count, const BlockOut &out, TradedSpan &span,
                          const int64_t *at) {
    PrevCloseOf<S> prev(in);
    in_batches(
        count, [&](size_t k) { return begin[k]; }, [&](size_t k) { return end[k]; },
        [&](size_t k0, size_t k1, int64_t lo, int64_t hi) {
            if (lo <= hi)
                prev.reached(hi + 1, traded_span<K, S>(in, lo, hi + 1, prev.before(lo), span));
            write_ranges<K>(in, span, begin, end, k0, k1, at, out);
        });
}

// The bar formed so far at every output column, run by run. `single` holds
// the base ranges and output columns of the single runs: pre_from[k],
// single_to[k], start[k] for every run k.
struct SingleRuns {
    std::vector<int64_t> from, to, at;
    explicit SingleRuns(const std::vector<Run> &runs) {
        for (const Run &run : runs) {
            from.push_back(run.pre_from);
            to.push_back(run.single_to != -2 ? run.single_to : run.pre_from - 1);
            at.push_back(run.start);
        }
    }
};

template <int K, Source S>
void combine_block_running(const BlockIn &in, const std::vector<Run> &runs, const SingleRuns &single,
                           const BlockOut &out, TradedSpan &span) {
    PrevCloseOf<S> prev(in);
    auto last_of = [&](size_t k) {
        return runs[k].single_to != -2 ? runs[k].single_to : runs[k].stop - 1;
    };
    in_batches(
        runs.size(), [&](size_t k) { return runs[k].pre_from; }, last_of,
        [&](size_t k0, size_t k1, int64_t lo, int64_t hi) {
            if (lo <= hi)
                prev.reached(hi + 1, traded_span<K, S>(in, lo, hi + 1, prev.before(lo), span));
            write_runs<K>(in, span, runs.data(), k0, k1, out);
            // single runs: whole ranges; the others' entries are empty ranges
            // at their own columns, so they are left to write_runs
            for (size_t k = k0; k < k1; ++k)
                if (runs[k].single_to != -2)
                    write_ranges<K>(in, span, single.from.data(), single.to.data(), k, k + 1,
                                    single.at.data(), out);
        });
}

// Calls fn(integral_constant<int, K>, integral_constant<Source, S>) for a
// block of K known fields judged by `source`.
template <typename Fn> void dispatch_block(int known_fields, Source source, Fn &&fn) {
    auto with = [&](auto k) {
        constexpr int K = decltype(k)::value;
        switch (source) {
        case Source::Mask: fn(k, std::integral_constant<Source, Source::Mask>{}); break;
        case Source::Rule:
            if constexpr (K > kVolume)
                fn(k, std::integral_constant<Source, Source::Rule>{});
            break;
        case Source::Close:
            if constexpr (K > kClose && K <= kVolume)
                fn(k, std::integral_constant<Source, Source::Close>{});
            break;
        case Source::All:
            if constexpr (K <= kClose)
                fn(k, std::integral_constant<Source, Source::All>{});
            break;
        }
    };
    switch (known_fields) {
    case 1: with(std::integral_constant<int, 1>{}); break;
    case 2: with(std::integral_constant<int, 2>{}); break;
    case 3: with(std::integral_constant<int, 3>{}); break;
    case 4: with(std::integral_constant<int, 4>{}); break;
    case 5: with(std::integral_constant<int, 5>{}); break;
    case 6: with(std::integral_constant<int, 6>{}); break;
    default: with(std::integral_constant<int, 7>{}); break;
    }
}

// Fields past open interest: the last value of each range.
inline void last_of_ranges(const double *row, const int64_t *begin, const int64_t *end,
                           size_t count, double *out) {
    for (size_t k = 0; k < count; ++k)
        out[k] = reduce<Op::Last>(row, begin[k], end[k]);
}

inline void last_running(const double *row, const std::vector<Run> &runs, double *out) {
    for (const Run &run : runs) {
        if (run.single_to != -2) {
            out[run.start] = reduce<Op::Last>(row, run.pre_from, run.single_to);
            continue;
        }
        Acc<Op::Last> acc = reduce_acc<Op::Last>(row, run.pre_from, run.start - 1);
        for (int64_t i = run.start; i < run.stop; ++i) {
            acc.push(row[i]);
            out[i] = acc.value();
        }
    }
}

} // namespace numkern
} // namespace telvar
