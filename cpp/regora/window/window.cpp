// get_reg_k_data: the window of registered K-data a strategy reads on every
// bar. For each target, the last `length` bars of the registered frequency as
// known at the bar position, bottom-aligned in an object array
// (target index, bar time, fields); the newest row is the bar still forming.
// The cells are references to float objects the column cache keeps for each
// matrix column, each checked against its cell as it is written; a window
// writes each cell once (a forming bar may replace the last completed one),
// with no None to fill in first.
#include "common/args.hpp"
#include "common/traded_bar.hpp"
#include "regora/window/window_bars.hpp"
#include "common/kmatrix_layout.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace telvar::regora {

using cells::ObjectMatrix;
using cells::out_of_bounds;
using cells::read_view;

// def get_reg_k_data(reg_idx, bar_pos, length, fill_up)
nb::object get_reg_k_data(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_reg_k_data", {"reg_idx", "bar_pos", "length", "fill_up"}, 4);
    auto v = sig.bind(args, kwargs);

    const WindowRequest request(v[0], v[2], v[3], 4, "reg_idx must have at least 4 columns, got ");
    const ArrayView<double> &reg_idx = request.reg_idx;
    const long long length = request.length;

    const long long bar_len = kmatrix::kBarLen;
    const long long head_len = kmatrix::kHeadLen;
    const long long bar_begin = kmatrix::kBarBegin;
    const long long volume_field = kmatrix::kVolume;
    const long long body_start = 2;
    const long long body_end = body_start + bar_len;
    const long long targets = static_cast<long long>(reg_idx.rows());

    nb::object state = run_state();
    nb::object cache = attr_of(state, "g_TelvarCache");
    int dvf_ndim = 0;
    nb::object dvf_arr = cells::as_array(attr_of(state, "g_TelvarDataValueFresh"), &dvf_ndim);
    ArrayView<double> dvf = read_view(dvf_arr, "g_TelvarDataValueFresh", dvf_ndim == 1 ? 1 : 2);
    const long long bar_pos = window_bar_pos(v[1], static_cast<long long>(dvf.cols()), state);

    WindowArray window(reg_idx, length, body_end);
    if (targets == 0 || length == 0)
        return window.finish();
    FreshRowFloats &floats = FreshRowFloats::for_plain_store();
    floats.fit(dvf.rows());

    ItemsAtBar items(state, bar_pos, static_cast<size_t>(2 * length + 64));
    auto field_rows = [&](const ItemAtBar &view, long long target_idx) {
        const long long first = head_len + target_idx * bar_len + bar_begin;
        if (target_idx < 0 || first + bar_len > static_cast<long long>(view.matrix.rows()))
            raise_index_error("target index " + std::to_string(target_idx) +
                              " has no block in the K matrix");
        return first;
    };

    ArrayView<double> dvf_tl = read_view(attr_of(cache, "dvf_tl"), "dvf_tl", 1);
    if (bar_pos >= static_cast<long long>(dvf_tl.cols()))
        raise_index_error(out_of_bounds(bar_pos, dvf_tl.cols(), "dvf_tl"));
    // every forming bar's time
    const nb::object forming_time = nb::steal(FloatPool::for_columns().get(dvf_tl[bar_pos]));
    // The forming bars' values, gathered for all targets in one tight pass
    // before anything else reads them: they lie a whole row of the fresh-bar
    // store apart, and with nothing else in between, those cache misses
    // overlap. A row this pass cannot read (a bad index) is left for
    // gather_forming, which raises where the target is handled.
    std::vector<double> forming_values(static_cast<size_t>(targets * bar_len));
    std::vector<size_t> forming_rows(static_cast<size_t>(targets));
    std::vector<char> gathered(static_cast<size_t>(targets), 0);
    auto forming_of = [&](long long i) {
        return &forming_values[static_cast<size_t>(i * bar_len)];
    };
    const long long store_rows = dvf_ndim == 1 ? -1 : static_cast<long long>(dvf.rows());
    for (long long i = 0; i < targets; ++i) {
        const double first = reg_idx(i, 2);
        if (!(first >= 0 && first + static_cast<double>(bar_len) <=
                                static_cast<double>(store_rows)))
            continue; // NaN (no forming bar) or not a row: handled below
        const long long row = static_cast<long long>(first);
        if (static_cast<double>(row) != first)
            continue;
        double *values = forming_of(i);
        for (long long f = 0; f < bar_len; ++f)
            values[f] = dvf(row + f, bar_pos);
        forming_rows[static_cast<size_t>(i)] = static_cast<size_t>(row);
        gathered[static_cast<size_t>(i)] = 1;
    }
    // Whether row i has a forming bar (gathered above); raises for a bad row.
    auto gather_forming = [&](long long i) {
        if (gathered[static_cast<size_t>(i)])
            return true;
        const double first = reg_idx(i, 2);
        if (std::isnan(first))
            return false;
        const long long row = index_of(first, "reg_idx fresh-bar row");
        raise_index_error("fresh-bar rows " + std::to_string(row) + ".." +
                          std::to_string(row + bar_len) + " are outside the store");
    };
    // The forming bar has a row of its own, or takes a completed bar's.
    auto put_forming = [&](long long out_row, long long i) {
        const bool empty = !window.shows_bar(out_row);
        PyObject **dst = window.begin_row(out_row, i);
        Py_INCREF(forming_time.ptr());
        ObjectMatrix::store(dst[1], forming_time.ptr(), empty);
        const double *values = forming_of(i);
        const size_t row = forming_rows[static_cast<size_t>(i)];
        for (long long f = 0; f < bar_len; ++f)
            ObjectMatrix::store(dst[body_start + f],
                                floats.get(row + static_cast<size_t>(f), values[f]), empty);
    };
    // A completed bar's fields (column `col` of `cells`, whose objects are
    // `column`), in a row not written before (completed bars come first;
    // only a forming bar may replace one); its time cell is the caller's.
    // Inlined always: it is the inner loop of every window, called from
    // more places than the compiler inlines on its own.
    auto put_fields = [&](long long out_row, long long i, MatrixCells &cells, PyObject **column,
                          long long col, long long row0) __attribute__((always_inline)) {
        PyObject **dst = window.begin_row(out_row, i);
        PyObject **fields = column + row0;
        const double *cell = cells.cell(static_cast<size_t>(row0), col);
        const size_t stride = cells.row_stride();
        for (long long f = 0; f < bar_len; ++f, cell += stride)
            ObjectMatrix::fill_shared(dst[body_start + f], MatrixCells::shown(fields[f], *cell));
        return dst;
    };

    if (request.fill_up) {
        ItemAtBar &first = items.at(index_of(reg_idx(0, 0), "reg_idx item position"));
        const FilledSpan span(first, length, !std::isnan(reg_idx(0, 2)));
        std::vector<PyObject **> first_columns;
        for (long long k = 0; k < span.data_len; ++k)
            first_columns.push_back(first.cells->column(span.start + k));

        // Column by column across the targets: a column's float objects were
        // made together, so they are read in the order they lie in memory.
        struct FilledRow {
            MatrixCells *cells;
            long long row0, first_out_row;
            bool forming;
        };
        std::vector<FilledRow> plan;
        plan.reserve(static_cast<size_t>(targets));
        for (long long i = 0; i < targets; ++i) {
            const long long item_pos = index_of(reg_idx(i, 0), "reg_idx item position");
            ItemAtBar &view = items.at(item_pos);
            const long long target_idx = index_of(reg_idx(i, 3), "reg_idx target index");
            const long long row0 = field_rows(view, target_idx);
            span.require_same_bars(view, length, item_pos);
            const long long row_end = (i + 1) * length;
            const long long data_end = span.open_tail ? row_end - 1 : row_end;
            plan.push_back({view.cells.get(), row0, data_end - span.data_len, gather_forming(i)});
        }
        for (long long k = 0; k < span.data_len; ++k) {
            const long long col = span.start + k;
            PyObject **first_column = first_columns[static_cast<size_t>(k)];
            // every target's bar time
            cells::SharedStores time(first.cells->current_time(first_column, col));
            for (size_t i = 0; i < plan.size(); ++i) {
                const FilledRow &row = plan[i];
                PyObject **column =
                    row.cells == first.cells.get() ? first_column : row.cells->column(col);
                time.store(put_fields(row.first_out_row + k, static_cast<long long>(i),
                                      *row.cells, column, col, row.row0)[1]);
            }
        }
        for (long long i = 0; i < targets; ++i)
            if (plan[static_cast<size_t>(i)].forming)
                put_forming((i + 1) * length - 1, i);
        return window.finish();
    }

    // Real-bar window: per target, the newest `length` bars that traded,
    // chosen target by target, then written across the targets (below).
    struct RealRow {
        ItemAtBar *view;
        long long row0, row_end, target;
        size_t begin;     // its columns in `picked`, oldest first:
        size_t completed; // the completed bars',
        bool forming;     // then -1 for the forming bar, when it is shown
    };
    std::vector<RealRow> plan;
    std::vector<long long> picked;
    picked.reserve(static_cast<size_t>(targets * length));
    for (long long i = 0; i < targets; ++i) {
        ItemAtBar &view = items.at(index_of(reg_idx(i, 0), "reg_idx item position"));
        const long long target_idx = index_of(reg_idx(i, 3), "reg_idx target index");
        const long long row0 = field_rows(view, target_idx);
        const RealBars real(view, view.books_of(target_idx), length, row0, row0 + volume_field);
        if (real.empty())
            continue;
        RuleBar forming;
        const bool has_forming = gather_forming(i);
        if (has_forming) {
            const double *values = forming_of(i);
            forming = {values[kOpen], values[kHigh], values[kLow], values[kClose],
                       values[volume_field]};
        }
        const size_t begin = picked.size();
        real.pick(view, has_forming ? &forming : nullptr, picked);
        const bool forming_shown = picked.size() > begin && picked.back() < 0;
        plan.push_back({&view, row0, (i + 1) * length, i, begin,
                        picked.size() - begin - forming_shown, forming_shown});
    }
    // Targets that trade the same sessions show the same bars: their
    // completed bars are the newest columns of one list in one item (a
    // target may show fewer of them, to make room for its forming bar or for
    // lack of bars). Such targets are grouped, by item and newest bar, and a
    // group is written as a filled window is: a column at a time, its bar
    // time shared by all the group's targets, nothing chosen per row. Rows
    // in no group (bars missing here and there, or more distinct groups than
    // are kept) are written bar by bar.
    const auto newest_first = [&](const RealRow &row) {
        return picked.rbegin() +
               static_cast<std::ptrdiff_t>(picked.size() - row.begin - row.completed);
    };
    const auto newest_bar = [&](const RealRow &row) {
        return row.completed ? picked[row.begin + row.completed - 1] : -1;
    };
    // Whether a's completed bars are the newest of b's (b has at least as many).
    const auto newest_of = [&](const RealRow &a, const RealRow &b) {
        const auto mine = newest_first(a);
        return std::equal(mine, mine + static_cast<std::ptrdiff_t>(a.completed), newest_first(b));
    };
    struct Group {
        const RealRow *lead; // the row with the most completed bars
        std::vector<const RealRow *> rows;
    };
    constexpr size_t kMaxGroups = 8;
    std::vector<Group> groups;
    groups.reserve(kMaxGroups);
    std::vector<const RealRow *> others;
    for (const RealRow &row : plan) {
        // a group of the row's item and newest bar whose bars it shares
        auto group = std::find_if(groups.begin(), groups.end(), [&](const Group &g) {
            if (g.lead->view != row.view || newest_bar(*g.lead) != newest_bar(row))
                return false;
            return row.completed > g.lead->completed ? newest_of(*g.lead, row)
                                                     : newest_of(row, *g.lead);
        });
        if (group != groups.end()) {
            if (row.completed > group->lead->completed)
                group->lead = &row;
            group->rows.push_back(&row);
        } else if (groups.size() < kMaxGroups) {
            groups.push_back({&row, {}});
            groups.back().rows.reserve(plan.size());
            groups.back().rows.push_back(&row);
        } else {
            others.push_back(&row);
        }
    }
    // A group: its lead's bars a column at a time, then the forming bars.
    for (const Group &group : groups) {
        const RealRow &lead = *group.lead;
        const auto lead_bars = newest_first(lead);
        MatrixCells &lead_cells = *lead.view->cells;
        for (size_t age = 1; age <= lead.completed; ++age) {
            const long long col = lead_bars[age - 1];
            PyObject **column = lead_cells.column(col);
            cells::SharedStores time(lead_cells.current_time(column, col));
            for (const RealRow *row : group.rows) {
                if (age > row->completed)
                    continue;
                const long long out_row = row->row_end - static_cast<long long>(age) - row->forming;
                time.store(put_fields(out_row, row->target, lead_cells, column, col, row->row0)[1]);
            }
        }
        for (const RealRow *row : group.rows)
            if (row->forming)
                put_forming(row->row_end - 1, row->target);
    }
    {
        cells::SharedStores times; // targets' bars of one age mostly share their time
        LastColumn last;            // and their column
        for (size_t age = 1; age <= static_cast<size_t>(length); ++age)
            for (const RealRow *row : others) {
                const size_t count = row->completed + row->forming;
                if (age > count)
                    continue;
                const long long out_row = row->row_end - static_cast<long long>(age);
                const long long col = picked[row->begin + count - age];
                if (col < 0) {
                    put_forming(out_row, row->target);
                    continue;
                }
                MatrixCells &item_cells = *row->view->cells;
                PyObject **column = last.of(item_cells, row->view, col);
                PyObject **dst = put_fields(out_row, row->target, item_cells, column, col, row->row0);
                times.store(dst[1], item_cells.current_time(column, col));
            }
    }
    return window.finish();
}

} // namespace telvar::regora
