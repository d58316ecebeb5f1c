// Combining a target's bars, all its fields together: whole bars over given
// ranges of base columns (whole_bar.hpp), and the bar formed so far at every
// column (bar_walk.hpp). Each bar is one walk over its base columns; the
// close before a walk's first column is carried from the walk before
// (PrevClose), so ranges in ascending order cost no look-back at all. Fields
// past open interest are carried like it (last).
#pragma once

#include "bar_walk.hpp"
#include "forming_runs.hpp"
#include "whole_bar.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace telvar {
namespace numkern {

// Output column k = base columns begin[k] .. end[k] combined (NaN when empty).
template <int K, Source S>
TELVAR_VECTOR_CLONES void combine_block_ranges(const BlockIn &in, const int64_t *begin,
                                               const int64_t *end, size_t count,
                                               const BlockOut &out) {
    PrevCloseOf<S> prev(in);
    const WholeBar<K, S> whole(in);
    for (size_t k = 0; k < count; ++k) {
        const int64_t b = begin[k], e = end[k];
        BarState bar;
        if (b <= e) {
            bar = whole(b, e, prev.before(b));
            prev.reached(e + 1, bar.last);
        }
        BarWalk<K, S>::write(bar, out, static_cast<int64_t>(k));
    }
}

// Columns whose traded marks a forming walk works out at a time: several
// bars' worth, so that marking costs little per bar, and few enough that
// the rows it reads are still in the L2 cache when the bars are walked.
constexpr int64_t kFormingSpanColumns = 4096;

// Output column i = the bar formed up to base column i, run by run
// (forming_runs.hpp). A run's columns before its first output column are
// combined as a whole bar first.
template <int K, Source S>
TELVAR_VECTOR_CLONES void combine_block_running(const BlockIn &in, const std::vector<Run> &runs,
                                                const BlockOut &out) {
    PrevCloseOf<S> prev(in);
    const WholeBar<K, S> whole(in);
    BarWalk<K, S> forming(in);
    TradedSpan span;
    for (const Run &run : runs) {
        const bool single = run.single_to != -2;
        const int64_t last = single ? run.single_to : run.stop - 1;
        if (run.pre_from > last) { // an empty range
            BarWalk<K, S>::write(BarState{}, out, run.start);
            continue;
        }
        if (single) {
            const BarState bar = whole(run.pre_from, run.single_to, prev.before(run.pre_from));
            BarWalk<K, S>::write(bar, out, run.start);
            prev.reached(last + 1, bar.last);
            continue;
        }
        // The close before the run is needed for its columns before its
        // first output column, and to mark further columns; a run starting
        // its bar inside columns already marked needs neither.
        const bool marked = run.start >= span.lo && run.stop <= span.lo + span.len;
        BarState bar;
        if (run.pre_from < run.start || !marked) {
            bar.last = prev.before(run.pre_from);
            if (run.pre_from < run.start)
                bar = whole(run.pre_from, run.start - 1, bar.last);
        }
        if (!marked) {
            // Marks for this run and the columns after it (which bars traded
            // does not depend on the bar they fall in).
            const int64_t hi = std::min(in.n, std::max(run.stop, run.start + kFormingSpanColumns));
            prev.reached(hi, traded_span<K, S>(in, run.start, hi, bar.last, span));
        }
        forming.start(bar);
        forming.walk_writing(run.start, run.stop - 1, span.mark.data() + (run.start - span.lo),
                             out);
    }
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

// The last number among row[b..e] (NaN when there is none).
inline double last_number(const double *row, int64_t b, int64_t e) {
    for (int64_t j = e; j >= b; --j)
        if (row[j] == row[j])
            return row[j];
    return kNaN;
}

// Fields past open interest: the last value of each range.
inline void last_of_ranges(const double *row, const int64_t *begin, const int64_t *end,
                           size_t count, double *out) {
    for (size_t k = 0; k < count; ++k)
        out[k] = last_number(row, begin[k], end[k]);
}

inline void last_running(const double *row, const std::vector<Run> &runs, double *out) {
    for (const Run &run : runs) {
        if (run.single_to != -2) {
            out[run.start] = last_number(row, run.pre_from, run.single_to);
            continue;
        }
        double last = last_number(row, run.pre_from, run.start - 1);
        for (int64_t i = run.start; i < run.stop; ++i) {
            last = row[i] == row[i] ? row[i] : last;
            out[i] = last;
        }
    }
}

} // namespace numkern
} // namespace telvar
