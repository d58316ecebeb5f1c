// The plan of a plain K-data window, made before any cell is written: per
// target, where its fields lie, which bars it shows and in which rows, and
// its forming bar's values.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

#include "common/kmatrix_layout.hpp"
#include "regora/window/window_bars.hpp"

namespace telvar::regora {

// The forming bars of the index's rows (reg_idx column 2: their first row
// in the fresh-bar store), gathered for all targets in one tight pass before
// anything else reads them: they lie a whole row of the store apart, and
// with nothing else in between, those cache misses overlap. A row this pass
// cannot read (a bad index) is left for has(), which raises.
class FormingBars {
public:
    // store_rows: the store's rows, -1 while it is 1-D (no forming bars yet).
    FormingBars(const ArrayView<double> &reg_idx, const ArrayView<double> &store,
                long long store_rows, long long bar_pos);
    // Whether row i has a forming bar; IndexError when its rows are not in the store.
    bool has(long long i) const;
    const double *values(long long i) const {
        return &values_[static_cast<size_t>(i * kmatrix::kBarLen)];
    }
    size_t store_row(long long i) const { return rows_[static_cast<size_t>(i)]; }
    RuleBar rule_bar(long long i) const;

private:
    const ArrayView<double> &reg_idx_;
    std::vector<double> values_;
    std::vector<size_t> rows_;
    std::vector<char> gathered_;
};

// A row of the index in a filled window: its target's fields in `cells`
// from matrix row `row0`, written from window row `first_out_row` on.
struct FilledRow {
    MatrixCells *cells;
    long long row0, first_out_row;
    bool forming;
};

// A row of the index in a real-bar window.
struct RealRow {
    ItemAtBar *view;
    long long row0, row_end, target;
    size_t begin;     // its columns in RealPlan::picked, oldest first:
    size_t completed; // the completed bars',
    bool forming;     // then -1 for the forming bar, when it is shown
};

// The rows of a real-bar window and the columns they show.
struct RealPlan {
    std::vector<RealRow> rows;
    std::vector<long long> picked;

    // The row's completed columns, newest first.
    std::vector<long long>::const_reverse_iterator newest_first(const RealRow &row) const {
        return picked.rbegin() +
               static_cast<std::ptrdiff_t>(picked.size() - row.begin - row.completed);
    }
    long long newest_bar(const RealRow &row) const {
        return row.completed ? picked[row.begin + row.completed - 1] : -1;
    }
    // Whether a's completed bars are the newest of b's (b has at least as many).
    bool newest_of(const RealRow &a, const RealRow &b) const;
};

// Targets that trade the same sessions show the same bars: their completed
// bars are the newest columns of one list in one item (a target may show
// fewer of them, to make room for its forming bar or for lack of bars).
// Such rows are grouped, by item and newest bar, and a group is written as a
// filled window is: a column at a time, its bar time shared by all the
// group's rows, nothing chosen per row. Rows in no group (bars missing here
// and there, or more distinct groups than are kept) are written bar by bar.
struct RealGroup {
    const RealRow *lead; // the row with the most completed bars
    std::vector<const RealRow *> rows;
};

struct RealGroups {
    std::vector<RealGroup> groups;
    std::vector<const RealRow *> others;
};

RealGroups group_real_rows(const RealPlan &plan);

} // namespace telvar::regora
