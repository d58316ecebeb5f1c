// Forming bars: the bar formed so far at every column, worked out once for
// all of a matrix's rows as runs of columns (combine_blocks.hpp walks them).
#pragma once

#include <cstdint>
#include <vector>

namespace telvar {
namespace numkern {

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

} // namespace numkern
} // namespace telvar
