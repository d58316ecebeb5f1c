// The arithmetic of combining bars. Over a range of base bars, skipping NaN:
// open = first, high = max, low = min, close = last, volume and turnover =
// sums, open interest = last; a range whose values are all NaN (or that is
// empty) gives NaN. Fields past open interest are carried like it (last).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
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

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// One step of a fold that starts from NaN ("nothing seen yet").
template <Op op> inline double fold(double acc, double x) {
    if constexpr (op == Op::First)
        return acc == acc ? acc : x;
    else if constexpr (op == Op::Last)
        return x == x ? x : acc;
    else if constexpr (op == Op::Max)
        return (x > acc || acc != acc) ? x : acc;
    else if constexpr (op == Op::Min)
        return (x < acc || acc != acc) ? x : acc;
    else
        return x != x ? acc : (acc != acc ? x : acc + x);
}

// out[k] = fold over row[begin[k] .. end[k]] (empty when begin > end).
template <Op op>
inline void combine_ranges(const double *row, const int64_t *begin, const int64_t *end,
                           size_t count, double *out) {
    for (size_t k = 0; k < count; ++k) {
        double acc = kNaN;
        for (int64_t j = begin[k]; j <= end[k]; ++j)
            acc = fold<op>(acc, row[j]);
        out[k] = acc;
    }
}

// The forming bar at every column: a plan, shared by all rows, says for each
// output column whether the fold restarts and which base columns it takes.
struct RunningPlan {
    std::vector<int64_t> from, to; // columns folded in at this step, inclusive
    std::vector<uint8_t> restart;  // start again from NaN before folding
};

template <Op op>
inline void combine_running(const double *row, const RunningPlan &plan, double *out) {
    const size_t n = plan.from.size();
    double acc = kNaN;
    for (size_t i = 0; i < n; ++i) {
        if (plan.restart[i])
            acc = kNaN;
        for (int64_t j = plan.from[i]; j <= plan.to[i]; ++j)
            acc = fold<op>(acc, row[j]);
        out[i] = acc;
    }
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
