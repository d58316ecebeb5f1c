// get_reg_k_data: the window of registered K-data a strategy reads on every
// bar. For each target, the last `length` bars of the registered frequency as
// known at the bar position, bottom-aligned in an object array
// (target index, bar time, fields); the newest row is the bar still forming.
// The cells are references to float objects the column cache keeps for each
// matrix column, each checked against its cell as it is written; a window
// writes each cell once (a forming bar may replace the last completed one),
// with no None to fill in first.
#include "common/args.hpp"
#include "common/kmatrix_layout.hpp"
#include "regora/window/bar_writers.hpp"
#include "regora/window/window_plan.hpp"

#include <cmath>
#include <string>
#include <vector>

namespace telvar::regora {

using cells::out_of_bounds;
using cells::read_view;

namespace {

// The fresh-bar store as a call sees it: its values, and its rows while it
// is 2-D (-1 while it is 1-D, before any registration gave it rows).
struct FreshStore {
    nb::object array;
    ArrayView<double> values;
    long long rows;

    explicit FreshStore(nb::handle state) {
        int ndim = 0;
        array = cells::as_array(attr_of(state, "g_TelvarDataValueFresh"), &ndim);
        values = read_view(array, "g_TelvarDataValueFresh", ndim == 1 ? 1 : 2);
        rows = ndim == 1 ? -1 : static_cast<long long>(values.rows());
    }
};

// One call of the plain window, once the window array is made and has rows
// to fill: the plan, then the writers.
class PlainWindow {
public:
    PlainWindow(const WindowRequest &request, nb::handle state, const FreshStore &store,
                long long bar_pos, WindowArray &window);

    nb::object write_filled();
    nb::object write_real();

private:
    // First matrix row of the target's block in the item's matrix.
    long long block_row(const ItemAtBar &view, long long target_idx) const;
    std::vector<FilledRow> plan_filled(const FilledSpan &span);
    RealPlan plan_real();
    void write_group(const RealPlan &plan, const RealGroup &group);
    void write_bar_by_bar(const RealPlan &plan, const std::vector<const RealRow *> &rows);

    // The forming bar has a row of its own, or takes a completed bar's.
    void put_forming(long long out_row, long long i) {
        const FormingRow row = begin_forming_row(window_, out_row, i, forming_time_.ptr());
        put_forming_fields(row.dst + kFirstFieldColumn, floats_, forming_.store_row(i),
                           forming_.values(i), 1, kmatrix::kBarLen, row.empty);
    }
    // A completed bar's fields (column `col` of `cells`, whose objects are
    // `column`), in a row not written before; its time cell is the caller's.
    __attribute__((always_inline)) PyObject **put_fields(long long out_row, long long i,
                                                         MatrixCells &cells, PyObject **column,
                                                         long long col, long long row0) {
        PyObject **dst = window_.begin_row(out_row, i);
        put_completed_fields(dst + kFirstFieldColumn, column + row0,
                             cells.cell(static_cast<size_t>(row0), col), cells.row_stride(),
                             kmatrix::kBarLen);
        return dst;
    }

    const ArrayView<double> &reg_idx_;
    const long long length_, targets_;
    WindowArray &window_;
    FreshRowFloats &floats_;
    ItemsAtBar items_;
    nb::object forming_time_; // every forming bar's time
    FormingBars forming_;
};

PlainWindow::PlainWindow(const WindowRequest &request, nb::handle state, const FreshStore &store,
                         long long bar_pos, WindowArray &window)
    : reg_idx_(request.reg_idx), length_(request.length),
      targets_(static_cast<long long>(request.reg_idx.rows())), window_(window),
      floats_(FreshRowFloats::for_plain_store()),
      items_(state, bar_pos, static_cast<size_t>(2 * request.length + 64)),
      forming_time_([&] {
          ArrayView<double> dvf_tl = read_view(attr_of(attr_of(state, "g_TelvarCache"), "dvf_tl"),
                                               "dvf_tl", 1);
          if (bar_pos >= static_cast<long long>(dvf_tl.cols()))
              raise_index_error(out_of_bounds(bar_pos, dvf_tl.cols(), "dvf_tl"));
          return nb::steal(FloatPool::for_columns().get(dvf_tl[bar_pos]));
      }()),
      forming_(request.reg_idx, store.values, store.rows, bar_pos) {}

long long PlainWindow::block_row(const ItemAtBar &view, long long target_idx) const {
    const long long first = kmatrix::block_row(target_idx) + kmatrix::kBarBegin;
    if (target_idx < 0 || first + kmatrix::kBarLen > static_cast<long long>(view.matrix.rows()))
        raise_index_error("target index " + std::to_string(target_idx) +
                          " has no block in the K matrix");
    return first;
}

std::vector<FilledRow> PlainWindow::plan_filled(const FilledSpan &span) {
    std::vector<FilledRow> plan;
    plan.reserve(static_cast<size_t>(targets_));
    for (long long i = 0; i < targets_; ++i) {
        const long long item_pos = index_of(reg_idx_(i, 0), "reg_idx item position");
        ItemAtBar &view = items_.at(item_pos);
        const long long target_idx = index_of(reg_idx_(i, 3), "reg_idx target index");
        const long long row0 = block_row(view, target_idx);
        span.require_same_bars(view, length_, item_pos);
        const long long row_end = (i + 1) * length_;
        const long long data_end = span.open_tail ? row_end - 1 : row_end;
        plan.push_back({view.cells.get(), row0, data_end - span.data_len, forming_.has(i)});
    }
    return plan;
}

// Column by column across the targets: a column's float objects were made
// together, so they are read in the order they lie in memory.
nb::object PlainWindow::write_filled() {
    ItemAtBar &first = items_.at(index_of(reg_idx_(0, 0), "reg_idx item position"));
    const FilledSpan span(first, length_, !std::isnan(reg_idx_(0, 2)));
    std::vector<PyObject **> first_columns;
    for (long long k = 0; k < span.data_len; ++k)
        first_columns.push_back(first.cells->column(span.start + k));

    const std::vector<FilledRow> plan = plan_filled(span);
    for (long long k = 0; k < span.data_len; ++k) {
        const long long col = span.start + k;
        PyObject **first_column = first_columns[static_cast<size_t>(k)];
        // every target's bar time
        cells::SharedStores time(first.cells->current_time(first_column, col));
        for (size_t i = 0; i < plan.size(); ++i) {
            const FilledRow &row = plan[i];
            PyObject **column =
                row.cells == first.cells.get() ? first_column : row.cells->column(col);
            time.store(put_fields(row.first_out_row + k, static_cast<long long>(i), *row.cells,
                                  column, col, row.row0)[kTimeColumn]);
        }
    }
    for (long long i = 0; i < targets_; ++i)
        if (plan[static_cast<size_t>(i)].forming)
            put_forming((i + 1) * length_ - 1, i);
    return window_.finish();
}

// Per target, the newest `length` bars that traded, chosen target by target.
RealPlan PlainWindow::plan_real() {
    RealPlan plan;
    plan.picked.reserve(static_cast<size_t>(targets_ * length_));
    for (long long i = 0; i < targets_; ++i) {
        ItemAtBar &view = items_.at(index_of(reg_idx_(i, 0), "reg_idx item position"));
        const long long target_idx = index_of(reg_idx_(i, 3), "reg_idx target index");
        const long long row0 = block_row(view, target_idx);
        const RealBars real(view, view.books_of(target_idx), length_, row0, row0 + kmatrix::kVolume);
        if (real.empty())
            continue;
        const bool has_forming = forming_.has(i);
        RuleBar forming;
        if (has_forming)
            forming = forming_.rule_bar(i);
        const size_t begin = plan.picked.size();
        real.pick(view, has_forming ? &forming : nullptr, plan.picked);
        const bool forming_shown = plan.picked.size() > begin && plan.picked.back() < 0;
        plan.rows.push_back({&view, row0, (i + 1) * length_, i, begin,
                             plan.picked.size() - begin - forming_shown, forming_shown});
    }
    return plan;
}

// A group: its lead's bars a column at a time, then the forming bars.
void PlainWindow::write_group(const RealPlan &plan, const RealGroup &group) {
    const RealRow &lead = *group.lead;
    const auto lead_bars = plan.newest_first(lead);
    MatrixCells &lead_cells = *lead.view->cells;
    for (size_t age = 1; age <= lead.completed; ++age) {
        const long long col = lead_bars[static_cast<std::ptrdiff_t>(age - 1)];
        PyObject **column = lead_cells.column(col);
        cells::SharedStores time(lead_cells.current_time(column, col));
        for (const RealRow *row : group.rows) {
            if (age > row->completed)
                continue;
            const long long out_row = row->row_end - static_cast<long long>(age) - row->forming;
            time.store(put_fields(out_row, row->target, lead_cells, column, col,
                                  row->row0)[kTimeColumn]);
        }
    }
    for (const RealRow *row : group.rows)
        if (row->forming)
            put_forming(row->row_end - 1, row->target);
}

// Rows in no group, an age at a time across them.
void PlainWindow::write_bar_by_bar(const RealPlan &plan, const std::vector<const RealRow *> &rows) {
    cells::SharedStores times; // targets' bars of one age mostly share their time
    LastColumn last;            // and their column
    for (size_t age = 1; age <= static_cast<size_t>(length_); ++age)
        for (const RealRow *row : rows) {
            const size_t count = row->completed + row->forming;
            if (age > count)
                continue;
            const long long out_row = row->row_end - static_cast<long long>(age);
            const long long col = plan.picked[row->begin + count - age];
            if (col < 0) {
                put_forming(out_row, row->target);
                continue;
            }
            MatrixCells &item_cells = *row->view->cells;
            PyObject **column = last.of(item_cells, row->view, col);
            PyObject **dst = put_fields(out_row, row->target, item_cells, column, col, row->row0);
            times.store(dst[kTimeColumn], item_cells.current_time(column, col));
        }
}

nb::object PlainWindow::write_real() {
    const RealPlan plan = plan_real();
    const RealGroups grouped = group_real_rows(plan);
    for (const RealGroup &group : grouped.groups)
        write_group(plan, group);
    write_bar_by_bar(plan, grouped.others);
    return window_.finish();
}

} // namespace

// def get_reg_k_data(reg_idx, bar_pos, length, fill_up)
nb::object get_reg_k_data(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_reg_k_data", {"reg_idx", "bar_pos", "length", "fill_up"}, 4);
    auto v = sig.bind(args, kwargs);

    const WindowRequest request(v[0], v[2], v[3], 4, "reg_idx must have at least 4 columns, got ");
    nb::object state = run_state();
    const FreshStore store(state);
    const long long bar_pos =
        window_bar_pos(v[1], static_cast<long long>(store.values.cols()), state);

    WindowArray window(request.reg_idx, request.length, kFirstFieldColumn + kmatrix::kBarLen);
    if (request.reg_idx.rows() == 0 || request.length == 0)
        return window.finish();
    FreshRowFloats::for_plain_store().fit(store.values.rows());
    PlainWindow plain(request, state, store, bar_pos, window);
    return request.fill_up ? plain.write_filled() : plain.write_real();
}

} // namespace telvar::regora
