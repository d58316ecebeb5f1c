// The arithmetic of combining one row of bars, skipping NaN: first, max,
// min, last, sum; a range whose values are all NaN (or that is empty) gives
// NaN. combine_blocks.hpp applies these to a target's fields, with open, high
// and low taken from its traded bars only.
#pragma once

#include "traded.hpp"

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace telvar {
namespace numkern {

enum class Op { First, Max, Min, Last, Sum };

inline Op op_for_field(size_t field) {
    switch (field) {
    case 0: return Op::First; // open
    case 1: return Op::Max;   // high
    case 2: return Op::Min;   // low
    case 4:                   // volume
    case 5: return Op::Sum;   // turnover
    default: return Op::Last; // close, open interest
    }
}

// A running combination. Max, min and sum keep a neutral start value and a
// "seen" flag instead of starting from NaN, so the chain from one value to
// the next is a single max/min/add and NaN is skipped without branches (any
// comparison with NaN is false).
template <Op op> struct Acc {
    static constexpr double start = op == Op::Max ? -kInf : (op == Op::Min ? kInf : (op == Op::Sum ? 0.0 : kNaN));
    double v = start;
    bool seen = false;

    void push(double x) {
        if constexpr (op == Op::First) {
            v = v == v ? v : x;
        } else if constexpr (op == Op::Last) {
            v = x == x ? x : v;
        } else {
            seen |= x == x;
            if constexpr (op == Op::Max)
                v = x > v ? x : v;
            else if constexpr (op == Op::Min)
                v = x < v ? x : v;
            else
                v += x == x ? x : 0.0;
        }
    }
    void merge(const Acc &other) { // other's values come after ours
        if constexpr (op == Op::First || op == Op::Last) {
            push(other.v);
        } else {
            seen |= other.seen;
            if constexpr (op == Op::Max)
                v = other.v > v ? other.v : v;
            else if constexpr (op == Op::Min)
                v = other.v < v ? other.v : v;
            else
                v += other.v;
        }
    }
    double value() const {
        if constexpr (op == Op::First || op == Op::Last)
            return v;
        else
            return seen ? v : kNaN;
    }
};

// One NaN-skipping max/min/add step from a start value (no flag).
template <Op op> inline double step(double acc, double x) {
    if constexpr (op == Op::Max)
        return x > acc ? x : acc;
    else if constexpr (op == Op::Min)
        return x < acc ? x : acc;
    else
        return acc + (x == x ? x : 0.0);
}

// Where a reduction reads its values: a row as it is, or a row of prices
// with the span's traded marks added (NaN where the bar did not trade).
struct RowValues {
    const double *row;
    double operator()(int64_t j) const { return row[j]; }
};
struct TradedValues {
    const double *row;
    const double *mark; // mark[j - lo]
    int64_t lo;
    double operator()(int64_t j) const { return row[j] + mark[j - lo]; }
};

// Columns b..e combined (empty when b > e). First and last stop at the first
// value found from their end; the others run four independent chains.
template <Op op, typename Values> inline Acc<op> fold_acc(const Values &x, int64_t b, int64_t e) {
    Acc<op> a;
    if constexpr (op == Op::First) {
        for (int64_t j = b; j <= e; ++j) {
            const double v = x(j);
            if (v == v) {
                a.v = v;
                break;
            }
        }
    } else if constexpr (op == Op::Last) {
        for (int64_t j = e; j >= b; --j) {
            const double v = x(j);
            if (v == v) {
                a.v = v;
                break;
            }
        }
    } else {
        // Four chains without the "seen" flag; a result still at the start
        // value (rare: nothing but NaN, or a true +-inf or 0 sum) is settled
        // by looking for any value at all.
        double v0 = a.start, v1 = a.start, v2 = a.start, v3 = a.start;
        int64_t j = b;
        for (; j + 3 <= e; j += 4) {
            v0 = step<op>(v0, x(j));
            v1 = step<op>(v1, x(j + 1));
            v2 = step<op>(v2, x(j + 2));
            v3 = step<op>(v3, x(j + 3));
        }
        for (; j <= e; ++j)
            v0 = step<op>(v0, x(j));
        if constexpr (op == Op::Sum)
            a.v = (v0 + v1) + (v2 + v3);
        else
            a.v = step<op>(step<op>(v0, v1), step<op>(v2, v3));
        if (a.v == a.start) {
            for (j = b; j <= e && !a.seen; ++j) {
                const double v = x(j);
                a.seen = v == v;
            }
        } else {
            a.seen = true;
        }
    }
    return a;
}

template <Op op, typename Values> inline double fold(const Values &x, int64_t b, int64_t e) {
    return fold_acc<op>(x, b, e).value();
}

// The same over a plain row.
template <Op op> inline Acc<op> reduce_acc(const double *row, int64_t b, int64_t e) {
    return fold_acc<op>(RowValues{row}, b, e);
}

template <Op op> inline double reduce(const double *row, int64_t b, int64_t e) {
    return fold_acc<op>(RowValues{row}, b, e).value();
}

// The bar formed so far at every column i: base columns begin[i] up to
// min(i, end[i]). Worked out once for all rows as runs: a run starts from
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

template <typename Fn> inline void dispatch_op(Op op, Fn &&fn) {
    switch (op) {
    case Op::First: fn(std::integral_constant<Op, Op::First>{}); break;
    case Op::Max: fn(std::integral_constant<Op, Op::Max>{}); break;
    case Op::Min: fn(std::integral_constant<Op, Op::Min>{}); break;
    case Op::Last: fn(std::integral_constant<Op, Op::Last>{}); break;
    case Op::Sum: fn(std::integral_constant<Op, Op::Sum>{}); break;
    }
}

} // namespace numkern
} // namespace telvar
