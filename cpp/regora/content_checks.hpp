// What the registration module's readers rely on in the files they read:
// its synthesis caches (synthesised bars, forming bars, adjusted forming
// bars) and the host's factor files. Each check throws
// mat_content::ContentProblem naming the variable that fails: a cache entry
// then counts as absent (cache_load warns, removes it and the bars are
// built again), a host file is a TvDataError naming it.
#pragma once

#include <nanobind/nanobind.h>

#include "common/mat_content.hpp"

namespace telvar::regora::checks {

using mat_content::ContentProblem;

// What a synthesised-bars entry must fit in this run.
struct SynthesisShape {
    long long targets;       // the strategy's targets
    long long head;          // K-matrix head rows
    long long bar_len;       // field rows per target
    long long volume;        // the volume's row in a target's block
    long long rows;          // K-matrix rows for them (head rows, then the field blocks)
    long long cols;          // bars of the one-unit item; N-unit items take theirs from FreComplete
    long long base_cols;     // bars of the item they are combined from
    long long strategy_bars; // the strategy's bars
    bool n_unit;             // N-unit bars (FreComplete; one bP/eP per base bar)
};

// Matrix, bP, eP, FreComplete (N-unit), UnfilledBarRef, UnfilledIdx, CurrentBar.
// The real-bar bookkeeping must be the one of the matrix: UnfilledIdx the
// columns where a target traded, UnfilledBarRef the count of them so far
// less one (NaN before the first).
void synthesis_entry(nb::handle entry, const SynthesisShape &shape);

// Forming bars: Matrix (`rows` x base bars), bP and eP (one base position per base bar).
void fresh_entry(nb::handle entry, long long rows, long long base_cols);

// Adjusted forming bars: Matrix (`rows` x base bars), LastSynBaseTimeLinePos (one base position).
void adjusted_fresh_entry(nb::handle entry, long long rows, long long base_cols);

// A factor file: Date (the days) and series fv_<market>_<code> of the same
// length, named in `series`.
void factor_file(nb::handle mat, nb::handle series);

} // namespace telvar::regora::checks
