// Pieces shared by the K-data windows (see window_bars.hpp).
#include "regora/window/window_bars.hpp"

#include "common/read_limit.hpp"
#include "common/traded_bar.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace telvar::regora {

using cells::out_of_bounds;
using cells::read_view;

WindowRequest::WindowRequest(nb::handle reg_idx_arg, nb::handle length_arg,
                             nb::handle fill_up_arg, size_t min_cols, const char *too_narrow)
    : reg_idx(read_view(reg_idx_arg, "reg_idx", 2)) {
    if (reg_idx.cols() < min_cols)
        raise_value_error(too_narrow + std::to_string(reg_idx.cols()));
    length = as_int(length_arg);
    if (length < 0)
        raise_value_error("negative dimensions are not allowed");
    fill_up = truthy(fill_up_arg);
}

long long window_bar_pos(nb::handle bar_pos, long long positions, nb::handle state) {
    const double value = PyFloat_AsDouble(bar_pos.ptr());
    if (value == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    long long pos = std::isnan(value) ? positions - 1 : as_int(bar_pos);
    if (pos < 0)
        pos += positions;
    require_not_ahead(pos, bar_pos, read_limit(state), [] { return global("text"); });
    if (pos < 0 || pos >= positions)
        raise_index_error(out_of_bounds(pos, positions, "the strategy bar positions"));
    return pos;
}

WindowArray::WindowArray(const ArrayView<double> &reg_idx, long long length, long long cols)
    : out_(length * static_cast<long long>(reg_idx.rows()), cols),
      has_bar_(static_cast<size_t>(length) * reg_idx.rows(), 0), cols_(cols), length_(length) {
    targets_.reserve(reg_idx.rows());
    for (size_t i = 0; i < reg_idx.rows(); ++i)
        targets_.add(py_int(index_of(reg_idx(i, 3), "reg_idx target index")));
}

nb::object WindowArray::finish() {
    // Rows that got no bar have not been written yet: their column 0 and
    // NaN cells are filled here. The NaN cells take the ring's objects in
    // turn, row after row, so a row is a copy of the ring from where the row
    // before stopped (`tape` holds the ring repeated for that), and each ring
    // object's references are added once, counted at the end.
    const size_t nan_cols = static_cast<size_t>(cols_ - 1);
    constexpr size_t kUsualNanCols = 8; // the bar time and seven fields
    std::vector<PyObject *> tape;
    size_t nan_cells = 0;
    for (size_t i = 0; i < targets_.size(); ++i) {
        const Py_ssize_t empty_rows = length_ - targets_.taken(i);
        if (empty_rows == 0)
            continue; // every row of the target shows a bar
        if (tape.empty()) {
            PyObject *const *ring = nan_ring();
            for (size_t k = 0; k < kNanRing + nan_cols; ++k)
                tape.push_back(ring[k % kNanRing]);
        }
        PyObject *target = targets_.take(i, empty_rows);
        const long long first = static_cast<long long>(i) * length_;
        for (long long r = first; r < first + length_; ++r) {
            if (has_bar_[static_cast<size_t>(r)])
                continue;
            PyObject **dst = out_.row(r);
            dst[0] = target;
            PyObject *const *nans = tape.data() + nan_cells % kNanRing;
            if (nan_cols == kUsualNanCols) // a copy of fixed size, made inline
                std::memcpy(dst + 1, nans, kUsualNanCols * sizeof(PyObject *));
            else
                std::copy_n(nans, nan_cols, dst + 1);
            nan_cells += nan_cols;
        }
    }
    if (nan_cells) {
        PyObject *const *ring = nan_ring();
        for (size_t k = 0; k < kNanRing; ++k)
            cells::incref_by(ring[k], static_cast<Py_ssize_t>(nan_cells / kNanRing +
                                                              (k < nan_cells % kNanRing)));
    }
    targets_.flush();
    return out_.release();
}

RealBarTarget &ItemAtBar::books_of(long long target) {
    if (!books_)
        books_ = real_bar_books(attr_of(item, "UnfilledBarRef"), attr_of(item, "UnfilledIdx"));
    return books_->target(target);
}

ItemsAtBar::ItemsAtBar(nb::handle state, long long bar_pos, size_t keep)
    : kdata_s_(attr_of(state, "g_TelvarKDataList")), cache_(attr_of(state, "g_TelvarCache")),
      registry_len_(py_len(kdata_s_)),
      bar_pos_(bar_pos), keep_(keep) {}

ItemAtBar &ItemsAtBar::at(long long pos) {
    auto found = items_.find(pos);
    if (found != items_.end())
        return found->second;
    if (pos < 0 || pos >= registry_len_)
        raise_index_error(out_of_bounds(pos, registry_len_, "the K-data registry"));
    ItemAtBar view;
    view.item = getitem(kdata_s_, pos);
    view.matrix = read_view(attr_of(view.item, "Matrix"), "Matrix", 2);
    view.time_line =
        read_view(attr_of(cache_, "get_history_k_data_time_line_cache")(pos), "time line", 1);
    nb::object current_bars = attr_of(view.item, "CurrentBar");
    if (!cells::read_integer_at(current_bars, bar_pos_, &view.current_bar))
        view.current_bar = cells::truncated_int(getitem(current_bars, bar_pos_));
    view.cells = matrix_cells(view.matrix.object(), view.matrix.data(), view.matrix.rows(),
                              view.matrix.cols(), view.time_line.object(), view.time_line.data(),
                              view.time_line.cols(), keep_);
    return items_.emplace(pos, std::move(view)).first->second;
}

FilledSpan::FilledSpan(const ItemAtBar &first, long long length, bool forming) {
    const long long cols0 = static_cast<long long>(first.matrix.cols());
    open_tail = first.current_bar > cols0 - 1 && forming;
    const long long completed = open_tail ? length - 1 : length;
    const long long cur00 = std::min(cols0 - 1, first.current_bar);
    start = std::max(0LL, cur00 - completed + 1);
    data_len = std::max(0LL, std::min(cur00 - start + 1, completed));
    if (start + data_len > static_cast<long long>(first.time_line.cols()))
        raise_index_error("the time line is shorter than the K matrix");
}

void FilledSpan::require_same_bars(const ItemAtBar &view, long long length,
                                   long long item_pos) const {
    const long long completed = open_tail ? length - 1 : length;
    const long long cols = static_cast<long long>(view.matrix.cols());
    const long long stop = std::min(std::max(view.current_bar + 1, 0LL), cols);
    const long long available = std::max(0LL, std::min(stop - start, completed));
    if (available != data_len)
        raise_value_error("could not broadcast the bars of K-data item " +
                          std::to_string(item_pos) +
                          " into the window of the first target's item");
}

RealBars::RealBars(const ItemAtBar &view, const RealBarTarget &books, long long length,
                   long long block_row, long long volume_row)
    : length_(length) {
    const ArrayView<double> &bar_ref = books.bar_ref;
    const long long rows = static_cast<long long>(view.matrix.rows());
    const long long cols = static_cast<long long>(view.matrix.cols());
    if (block_row < 0 || block_row + kClose >= rows || volume_row < 0 || volume_row >= rows)
        raise_index_error("the target's fields are not all in the K matrix");
    const long long end_bar =
        std::min(static_cast<long long>(bar_ref.cols()) - 1, view.current_bar);
    // Before the item's first bar there is nothing to show (an index of -1
    // must not wrap round to the last bar).
    if (end_bar < 0 || std::isnan(bar_ref[end_bar]))
        return;
    const double last_real = bar_ref[end_bar];
    if (!(std::fabs(last_real) < 9.0e15))
        raise_value_error("UnfilledBarRef holds an invalid position");
    const long long ref = std::max(0LL, static_cast<long long>(last_real) - length);
    if (ref >= static_cast<long long>(books.real_columns.cols()))
        raise_index_error("real-bar bookkeeping points outside UnfilledIdx");
    const long long start = books.real_columns[ref];
    if (start < 0 || end_bar >= cols || end_bar >= static_cast<long long>(view.time_line.cols()))
        raise_index_error("real-bar bookkeeping points outside the K matrix");
    block_ = view.matrix.data() + block_row * cols;
    volume_ = view.matrix.data() + volume_row * cols;
    cols_ = cols;
    end_bar_ = end_bar;
    start_ = start;
    empty_ = false;
}

double RealBars::close_at_or_before(long long col) const {
    const double *close = row(kClose);
    for (; col >= 0; --col)
        if (close[col] == close[col])
            return close[col];
    return std::numeric_limits<double>::quiet_NaN();
}

inline bool RealBars::traded_without_volume(long long col) const {
    // A bar without a close never traded: told before looking back for the
    // previous close, so a run of such bars is read once.
    const double *closes = row(kClose);
    const double close = closes[col];
    if (!(close == close))
        return false;
    const double before = col > 0 ? closes[col - 1] : close;
    const double prev_close = before == before ? before : close_at_or_before(col - 2);
    return is_traded(row(kOpen)[col], row(kHigh)[col], row(kLow)[col], close, volume_[col],
                     prev_close);
}

bool RealBars::traded_after(const RuleBar &bar, long long col) const {
    return traded_by_volume(bar.volume) ||
           is_traded(bar.open, bar.high, bar.low, bar.close, bar.volume, close_at_or_before(col));
}

void RealBars::pick(const ItemAtBar &view, const RuleBar *forming,
                    std::vector<long long> &columns) const {
    if (empty_)
        return;
    // The forming bar comes after the item's last column, or takes the place
    // of the bar it is forming (CurrentBar's column). Either way it follows
    // the column before CurrentBar's (the last column when it lies past the
    // matrix): that column's close is its previous close.
    long long newest_allowed = end_bar_;
    bool forming_shown = false;
    if (forming) {
        const bool open_tail = view.current_bar > cols_ - 1;
        if (open_tail) {
            forming_shown = traded_after(*forming, cols_ - 1);
        } else if (end_bar_ >= start_) {
            forming_shown = traded_after(*forming, view.current_bar - 1);
            --newest_allowed;
        }
    }
    // The newest columns that traded, read from the matrix as it is now,
    // written newest last into `room` slots, then moved to the slots' start.
    const size_t room = static_cast<size_t>(length_) - (forming_shown ? 1 : 0);
    const size_t first = columns.size();
    columns.resize(first + room);
    long long *const slots = columns.data() + first;
    long long *oldest = slots + room;
    const double *const volume = volume_;
    for (long long col = newest_allowed; col >= start_ && oldest != slots; --col)
        if (traded_by_volume(volume[col]) || traded_without_volume(col))
            *--oldest = col;
    columns.erase(columns.begin() + static_cast<std::ptrdiff_t>(first),
                  columns.begin() + static_cast<std::ptrdiff_t>(first + (oldest - slots)));
    if (forming_shown)
        columns.push_back(-1);
}

} // namespace telvar::regora
