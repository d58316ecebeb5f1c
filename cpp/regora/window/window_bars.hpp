// What the plain and the adjusted K-data windows share: the bar position a
// call asks for, the output array, the registered items as seen at that bar
// (held with their cached float columns and real-bar bookkeeping for the
// whole call), and which bars a window shows.
#pragma once

#include <nanobind/nanobind.h>

#include <map>
#include <memory>
#include <vector>

#include "regora/window/books_cache.hpp"
#include "regora/window/cell_cache.hpp"
#include "regora/window/window_cells.hpp"

namespace telvar::regora {

inline long long index_of(double value, const char *what) { return checked_integer(value, what); }

// The reg_idx, length and fill_up arguments of a window call; an index of
// fewer than `min_cols` columns raises ValueError(`too_narrow` + count).
struct WindowRequest {
    ArrayView<double> reg_idx;
    long long length;
    bool fill_up;
    WindowRequest(nb::handle reg_idx, nb::handle length, nb::handle fill_up, size_t min_cols,
                  const char *too_narrow);
};

// The bar position `bar_pos` names among `positions`: NaN selects the latest,
// negative positions count from the end. During a run, a position after the
// current bar raises (see common/read_limit.hpp); `state` is the run state.
long long window_bar_pos(nb::handle bar_pos, long long positions, nb::handle state);

// The window array: `length` rows per target, column 0 the target index
// (reg_idx column 3) in every row. A row that shows a bar is begun (which
// writes its column 0) before its other cells are written; finish() fills the
// rows never begun, relying on their cells still being empty.
class WindowArray {
public:
    WindowArray(const ArrayView<double> &reg_idx, long long length, long long cols);

    // The cells of `row`, a row of the index's row `target`, begun once
    // (a forming bar may take a completed bar's row).
    PyObject **begin_row(long long row, long long target) {
        PyObject **dst = out_.row(row);
        char &has_bar = has_bar_[static_cast<size_t>(row)];
        if (!has_bar) {
            has_bar = 1;
            dst[0] = targets_.take(static_cast<size_t>(target));
        }
        return dst;
    }
    bool shows_bar(long long row) const { return has_bar_[static_cast<size_t>(row)] != 0; }
    nb::object finish();

private:
    cells::ObjectMatrix out_;
    std::vector<char> has_bar_;
    long long cols_, length_;
    // column 0 of each target's rows; declared after the array, so that an
    // error leaving the window early adds their references before it goes
    cells::PendingRefs targets_;
};

// One registered K-data item as seen at one bar position, held for one call.
struct ItemAtBar {
    nb::object item;
    ArrayView<double> matrix;
    ArrayView<double> time_line;
    std::shared_ptr<MatrixCells> cells; // float objects of the matrix's columns
    long long current_bar = 0;          // CurrentBar[bar_pos], unclamped

    // Real-bar bookkeeping of one target (or adjusted block); valid until
    // asked again for the same target.
    RealBarTarget &books_of(long long target);

private:
    std::shared_ptr<RealBarBooks> books_; // on first use
};

// The items of the run state's g_TelvarKDataList a call reads, each looked up
// once however many rows name it. Column objects are kept for at least `keep`
// columns.
class ItemsAtBar {
public:
    ItemsAtBar(nb::handle state, long long bar_pos, size_t keep);
    ItemAtBar &at(long long pos);

private:
    nb::object kdata_s_, cache_;
    long long registry_len_, bar_pos_;
    size_t keep_;
    std::map<long long, ItemAtBar> items_;
};

// The column objects last looked up, for rows written one after another that
// mostly read the same column of the same item. `owner` tells items apart (any
// pointer that stays put for the call).
class LastColumn {
public:
    PyObject **of(MatrixCells &cells, const void *owner, long long col) {
        if (col != col_ || owner != owner_) {
            objs_ = cells.column(col);
            col_ = col;
            owner_ = owner;
        }
        return objs_;
    }

private:
    const void *owner_ = nullptr;
    long long col_ = -1;
    PyObject **objs_ = nullptr;
};

// The span of a filled window (fill_up): one time window, from the first
// row's item, serves every row. When the bar containing the position lies
// after the item's last (completed) column, the window is the completed bars
// plus the forming bar, instead of the forming bar overwriting the last
// completed one.
struct FilledSpan {
    bool open_tail;
    long long start, data_len;

    FilledSpan(const ItemAtBar &first, long long length, bool forming);
    // Raises unless `view` has the bars of the first item's span.
    void require_same_bars(const ItemAtBar &view, long long length, long long item_pos) const;
};

// A bar's fields the traded-bar rule reads (common/traded_bar.hpp).
struct RuleBar {
    double open, high, low, close, volume;
};

// The real-bar window of one row: the columns (oldest first) of the newest
// `length` bars that traded (common/traded_bar.hpp), judged on the matrix as
// it is now; -1 stands for the forming bar.
class RealBars {
public:
    // Empty when the item has no real bar yet at the position. block_row:
    // the matrix row of the target's first field (its open); volume_row: of
    // its volume.
    RealBars(const ItemAtBar &view, const RealBarTarget &books, long long length,
             long long block_row, long long volume_row);
    bool empty() const { return empty_; }
    // Appends the columns to `columns`. forming: the forming bar (null
    // without one), shown when it traded.
    void pick(const ItemAtBar &view, const RuleBar *forming, std::vector<long long> &columns) const;

private:
    // Whether column `col`, whose volume does not say it traded, traded.
    bool traded_without_volume(long long col) const;
    // Whether `bar`, following column `col`, traded.
    bool traded_after(const RuleBar &bar, long long col) const;
    // The close of the nearest column at or before `col` that has one; NaN
    // when none has.
    double close_at_or_before(long long col) const;

    // Field `field` of the target's block (read only for bars whose volume
    // does not tell).
    const double *row(int field) const { return block_ + field * cols_; }

    const double *block_ = nullptr, *volume_ = nullptr; // the target's rows
    long long length_, cols_ = 0, end_bar_ = 0, start_ = 0;
    bool empty_ = true;
};

} // namespace telvar::regora
