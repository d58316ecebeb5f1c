// The arithmetic of combining bars, one pass per target over all its fields.
// Over a range of base bars, skipping NaN: open, high and low come from the
// traded bars only (first / max / min; traded.hpp says which bars traded),
// close = last, volume and turnover = sums, open interest = last. A range
// without a traded bar is itself a filled bar: open = high = low = close =
// its last close (volume and turnover sum to 0). A range whose values are
// all NaN, or that is empty, gives NaN. Fields past open interest are carried
// like it (last).
#pragma once

#include "traded.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace telvar {
namespace numkern {

// One target's first K field rows (K = min(bar_len, 7)) in a matrix of n
// columns, and its traded mask when the caller gives one.
struct BlockIn {
    const double *row[kKnownFields] = {};
    const uint8_t *mask = nullptr;
    int64_t n = 0;
};

struct BlockOut {
    double *row[kKnownFields] = {};
};

// A running combination of bars. Every step is a select, max, min or add
// without branches, so an unpredictable mix of traded and filled bars costs
// no mispredictions; max, min and sum keep a "seen" flag so that a true
// +-inf or 0 is told apart from "nothing".
template <int K, Source S> struct BarAcc {
    double open = kNaN, high = -kInf, low = kInf, close = kNaN;
    double volume = 0.0, turnover = 0.0, oi = kNaN;
    bool traded = false, high_seen = false, low_seen = false;
    bool volume_seen = false, turnover_seen = false;

    // Adds column j; `prev_close` (Source::Rule) is carried on to it.
    void push(const BlockIn &in, int64_t j, double &prev_close) {
        const double c = K > kClose ? in.row[kClose][j] : kNaN;
        const bool has_close = c == c;
        bool t;
        if constexpr (S == Source::Rule)
            t = is_traded(in.row[kOpen][j], in.row[kHigh][j], in.row[kLow][j], c,
                          in.row[kVolume][j], prev_close);
        else if constexpr (S == Source::Mask)
            t = (in.mask[j] != 0) & (K <= kClose || has_close);
        else if constexpr (S == Source::Close)
            t = has_close;
        else
            t = true;
        traded |= t;
        if constexpr (K > kOpen) {
            const double o = t ? in.row[kOpen][j] : kNaN;
            open = open == open ? open : o;
        }
        if constexpr (K > kHigh) {
            const double h = t ? in.row[kHigh][j] : kNaN;
            high = h > high ? h : high;
            high_seen |= h == h;
        }
        if constexpr (K > kLow) {
            const double l = t ? in.row[kLow][j] : kNaN;
            low = l < low ? l : low;
            low_seen |= l == l;
        }
        if constexpr (K > kClose)
            close = has_close ? c : close;
        if constexpr (K > kVolume) {
            const double v = in.row[kVolume][j];
            volume += v == v ? v : 0.0;
            volume_seen |= v == v;
        }
        if constexpr (K > kTurnOver) {
            const double a = in.row[kTurnOver][j];
            turnover += a == a ? a : 0.0;
            turnover_seen |= a == a;
        }
        if constexpr (K > kOpenInterest) {
            const double x = in.row[kOpenInterest][j];
            oi = x == x ? x : oi;
        }
    }

    void write(const BlockOut &out, int64_t k) const {
        // Without a traded bar the bar is a filled one at its last close.
        if constexpr (K > kOpen)
            out.row[kOpen][k] = traded ? open : close;
        if constexpr (K > kHigh)
            out.row[kHigh][k] = traded ? (high_seen ? high : kNaN) : close;
        if constexpr (K > kLow)
            out.row[kLow][k] = traded ? (low_seen ? low : kNaN) : close;
        if constexpr (K > kClose)
            out.row[kClose][k] = close;
        if constexpr (K > kVolume)
            out.row[kVolume][k] = volume_seen ? volume : kNaN;
        if constexpr (K > kTurnOver)
            out.row[kTurnOver][k] = turnover_seen ? turnover : kNaN;
        if constexpr (K > kOpenInterest)
            out.row[kOpenInterest][k] = oi;
    }
};

// A carried close for the sources that look at it (a dummy for the others).
template <Source S> struct PrevCloseOf {
    explicit PrevCloseOf(const BlockIn &) {}
    double before(int64_t) { return kNaN; }
    void reached(int64_t, double) {}
};
template <> struct PrevCloseOf<Source::Rule> : PrevClose {
    explicit PrevCloseOf(const BlockIn &in) : PrevClose(in.row[kClose], in.n) {}
};

// out[k] = base columns begin[k] .. end[k] combined (empty when begin > end).
template <int K, Source S>
void combine_block_ranges(const BlockIn &in, const int64_t *begin, const int64_t *end,
                          size_t count, const BlockOut &out) {
    PrevCloseOf<S> prev(in);
    for (size_t k = 0; k < count; ++k) {
        BarAcc<K, S> acc;
        double p = prev.before(begin[k]);
        for (int64_t j = begin[k]; j <= end[k]; ++j)
            acc.push(in, j, p);
        prev.reached(end[k] + 1, p);
        acc.write(out, static_cast<int64_t>(k));
    }
}

// The bar formed so far at every column i: base columns begin[i] up to
// min(i, end[i]). Worked out once for all targets as runs: a run starts from
// the combined columns pre_from..start-1 and then takes one more column per
// output column start..stop-1, which is what consecutive columns of one bar
// are. A column that does not continue its neighbour that way is a run of
// its own with its whole range folded in before (`single`).
struct Run {
    int64_t start, stop; // output columns [start, stop)
    int64_t pre_from;    // first base column of the bar
    int64_t single_to;   // for a single column whose range ends before it: range end, else -2
};

inline std::vector<Run> running_runs(const std::vector<int64_t> &begin,
                                     const std::vector<int64_t> &end) {
    std::vector<Run> runs;
    const int64_t n = static_cast<int64_t>(begin.size());
    bool open = false; // the last run may take column i
    for (int64_t i = 0; i < n; ++i) {
        const int64_t b = begin[i];
        if (end[i] >= i && b <= i) {
            if (open && runs.back().pre_from == b) {
                runs.back().stop = i + 1;
            } else {
                runs.push_back({i, i + 1, b, -2});
                open = true;
            }
        } else { // the range stops before column i (or is empty)
            runs.push_back({i, i + 1, b, end[i] < i ? end[i] : i});
            open = false;
        }
    }
    return runs;
}

template <int K, Source S>
void combine_block_running(const BlockIn &in, const std::vector<Run> &runs, const BlockOut &out) {
    PrevCloseOf<S> prev(in);
    for (const Run &run : runs) {
        const bool single = run.single_to != -2;
        const int64_t folded_to = single ? run.single_to : run.start - 1;
        BarAcc<K, S> acc;
        double p = prev.before(run.pre_from);
        for (int64_t j = run.pre_from; j <= folded_to; ++j)
            acc.push(in, j, p);
        if (single) {
            prev.reached(folded_to + 1, p);
            acc.write(out, run.start);
            continue;
        }
        for (int64_t i = run.start; i < run.stop; ++i) {
            acc.push(in, i, p);
            acc.write(out, i);
        }
        prev.reached(run.stop, p);
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

// Fields past open interest: the last value of each range.
inline void last_of_ranges(const double *row, const int64_t *begin, const int64_t *end,
                           size_t count, double *out) {
    for (size_t k = 0; k < count; ++k) {
        double v = kNaN;
        for (int64_t j = end[k]; j >= begin[k]; --j)
            if (row[j] == row[j]) {
                v = row[j];
                break;
            }
        out[k] = v;
    }
}

inline void last_running(const double *row, const std::vector<Run> &runs, double *out) {
    for (const Run &run : runs) {
        const int64_t folded_to = run.single_to != -2 ? run.single_to : run.start - 1;
        double v = kNaN;
        for (int64_t j = run.pre_from; j <= folded_to; ++j)
            v = row[j] == row[j] ? row[j] : v;
        if (run.single_to != -2) {
            out[run.start] = v;
            continue;
        }
        for (int64_t i = run.start; i < run.stop; ++i) {
            v = row[i] == row[i] ? row[i] : v;
            out[i] = v;
        }
    }
}

} // namespace numkern
} // namespace telvar
