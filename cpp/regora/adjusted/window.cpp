// get_reg_k_data_adj: the window of an adjusted K-data registration. The same
// bars as get_reg_k_data (same rows, modes and forming bar), but the four
// prices come from the adjusted matrices and the adjusted fresh-bar store,
// while volume and the later fields stay raw.
#include "common/args.hpp"
#include "common/kmatrix_layout.hpp"
#include "regora/window/bar_writers.hpp"

#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace telvar::regora {

using cells::out_of_bounds;
using cells::read_view;

namespace {

// Columns 2.. of an adjusted window hold the adjusted prices, then the raw
// fields from the volume on: together exactly one plain bar's fields.
static_assert(kmatrix::kVolume == kmatrix::kAdjBarLen &&
                  kmatrix::kAdjBarLen + (kmatrix::kBarEnd - kmatrix::kVolume + 1) == kmatrix::kBarLen,
              "adjusted prices and raw fields make up one bar");
constexpr long long kAdjColumn = kFirstFieldColumn;
constexpr long long kRawColumn = kAdjColumn + kmatrix::kAdjBarLen;
constexpr long long kRawLen = kmatrix::kBarEnd - kmatrix::kVolume + 1;

// An adjusted price matrix, with the float objects of its columns.
struct AdjMatrix {
    ArrayView<double> matrix;
    std::shared_ptr<MatrixCells> cells;
};

// Row i's sources: plain item, adjusted matrix, first raw row (the volume)
// in the plain matrix and first price row in the adjusted one.
struct AdjRow {
    ItemAtBar *plain;
    AdjMatrix *adj;
    long long target_idx, block, raw_row, adj_row;
};

// A fresh-bar store and whether it is 2-D (it has rows).
struct StoreView {
    ArrayView<double> values;
    bool has_rows = false;

    StoreView(nb::handle store, const char *name) {
        int ndim = 0;
        nb::object array = cells::as_array(store, &ndim);
        has_rows = ndim == 2;
        values = read_view(array, name, has_rows ? 2 : 1);
    }
};

// The store rows of a row's forming bar: adjusted and plain; -1 when the
// registration keeps no adjusted forming bars.
struct FormingStoreRows {
    long long adj, plain;
};

// One call of the adjusted window, once the window array is made and has
// rows to fill: the plan (each row's sources), then the writers.
class AdjustedWindow {
public:
    AdjustedWindow(const WindowRequest &request, nb::handle state, const StoreView &plain_store,
                   const StoreView &adj_store, long long bar_pos, WindowArray &window);

    nb::object write_filled();
    nb::object write_real();

private:
    AdjMatrix &adj_at(long long pos);
    void plan_row(long long i, AdjRow &row);
    void plan_rows();
    FormingStoreRows forming_rows(long long i) const;
    void put_forming(long long out_row, long long i, FormingStoreRows rows);
    void put_bar(long long out_row, long long i, const AdjRow &s, long long col, const AdjRow &clock);

    const ArrayView<double> &reg_idx_;
    const long long length_, targets_, bar_pos_;
    const StoreView &plain_store_, &adj_store_;
    WindowArray &window_;
    FreshRowFloats &plain_floats_ = FreshRowFloats::for_plain_store();
    FreshRowFloats &adj_floats_ = FreshRowFloats::for_adjusted_store();
    nb::object kdata_adj_s_, cache_;
    const size_t keep_;
    ItemsAtBar items_;
    std::map<long long, AdjMatrix> adj_items_;
    long long adj_registry_len_;
    std::vector<AdjRow> rows_;
    ArrayView<double> dvf_tl_;
    nb::object forming_time_; // every forming bar's time, made when first written
    LastColumn last_plain_, last_clock_, last_adj_;
};

AdjustedWindow::AdjustedWindow(const WindowRequest &request, nb::handle state,
                               const StoreView &plain_store, const StoreView &adj_store,
                               long long bar_pos, WindowArray &window)
    : reg_idx_(request.reg_idx), length_(request.length),
      targets_(static_cast<long long>(request.reg_idx.rows())), bar_pos_(bar_pos),
      plain_store_(plain_store), adj_store_(adj_store), window_(window),
      kdata_adj_s_(attr_of(state, "g_TelvarKDataList_Adj")), cache_(attr_of(state, "g_TelvarCache")),
      keep_(static_cast<size_t>(2 * request.length + 64)), items_(state, bar_pos, keep_),
      adj_registry_len_(py_len(kdata_adj_s_)) {
    plan_rows();
    dvf_tl_ = read_view(attr_of(cache_, "dvf_tl"), "dvf_tl", 1);
}

AdjMatrix &AdjustedWindow::adj_at(long long pos) {
    auto found = adj_items_.find(pos);
    if (found != adj_items_.end())
        return found->second;
    if (pos < 0 || pos >= adj_registry_len_)
        raise_index_error(out_of_bounds(pos, adj_registry_len_, "the adjusted K-data registry"));
    AdjMatrix adj;
    adj.matrix = read_view(attr_of(getitem(kdata_adj_s_, pos), "Matrix"), "adjusted Matrix", 2);
    return adj_items_.emplace(pos, std::move(adj)).first->second;
}

void AdjustedWindow::plan_row(long long i, AdjRow &s) {
    s.plain = &items_.at(index_of(reg_idx_(i, 0), "reg_idx item position"));
    s.adj = &adj_at(index_of(reg_idx_(i, 4), "reg_idx adjusted item position"));
    s.target_idx = index_of(reg_idx_(i, 3), "reg_idx target index");
    s.block = index_of(reg_idx_(i, 5), "reg_idx adjusted block");
    s.raw_row = kmatrix::plain_row(kmatrix::kVolume, s.block);
    s.adj_row = kmatrix::adj_row(kmatrix::kAdjOpen, s.block);
    if (s.block < 0 ||
        kmatrix::block_row(s.block + 1) > static_cast<long long>(s.plain->matrix.rows()) ||
        (s.block + 1) * kmatrix::kAdjBarLen > static_cast<long long>(s.adj->matrix.rows()))
        raise_index_error("block " + std::to_string(s.block) +
                          " is not in the K matrix or the adjusted matrix");
    if (s.adj->matrix.cols() != s.plain->matrix.cols())
        raise_value_error("the adjusted item has " + std::to_string(s.adj->matrix.cols()) +
                          " bars, the plain item " + std::to_string(s.plain->matrix.cols()));
}

void AdjustedWindow::plan_rows() {
    rows_.resize(static_cast<size_t>(targets_));
    for (long long i = 0; i < targets_; ++i)
        plan_row(i, rows_[static_cast<size_t>(i)]);
    // An adjusted matrix's columns carry the bar times of its plain item.
    for (const AdjRow &s : rows_) {
        if (s.adj->cells)
            continue;
        const ArrayView<double> &tl = s.plain->time_line;
        s.adj->cells = matrix_cells(s.adj->matrix.object(), s.adj->matrix.data(),
                                    s.adj->matrix.rows(), s.adj->matrix.cols(), tl.object(),
                                    tl.data(), tl.cols(), keep_);
    }
}

FormingStoreRows AdjustedWindow::forming_rows(long long i) const {
    if (std::isnan(reg_idx_(i, 6)))
        return {-1, -1};
    const long long adj_row = index_of(reg_idx_(i, 6), "reg_idx adjusted fresh-bar row");
    const long long row = index_of(reg_idx_(i, 2), "reg_idx fresh-bar row");
    const ArrayView<double> &dvf = plain_store_.values, &dvf_adj = adj_store_.values;
    if (!adj_store_.has_rows || adj_row < 0 ||
        adj_row + kmatrix::kAdjBarLen > static_cast<long long>(dvf_adj.rows()))
        raise_index_error("adjusted fresh-bar rows " + std::to_string(adj_row) +
                          " onward are outside the adjusted store");
    if (!plain_store_.has_rows || row < 0 ||
        row + kmatrix::kBarLen > static_cast<long long>(dvf.rows()))
        raise_index_error("fresh-bar rows " + std::to_string(row) + " onward are outside the store");
    if (bar_pos_ >= static_cast<long long>(dvf.cols()) ||
        bar_pos_ >= static_cast<long long>(dvf_adj.cols()) ||
        bar_pos_ >= static_cast<long long>(dvf_tl_.cols()))
        raise_index_error(out_of_bounds(bar_pos_, dvf.cols(), "the fresh-bar stores"));
    return {adj_row, row};
}

// The forming bar has a row of its own, or takes a completed bar's.
void AdjustedWindow::put_forming(long long out_row, long long i, FormingStoreRows rows) {
    if (!forming_time_.is_valid())
        forming_time_ = nb::steal(FloatPool::for_columns().get(dvf_tl_[bar_pos_]));
    const FormingRow row = begin_forming_row(window_, out_row, i, forming_time_.ptr());
    const ArrayView<double> &dvf = plain_store_.values, &dvf_adj = adj_store_.values;
    put_forming_fields(row.dst + kAdjColumn, adj_floats_, static_cast<size_t>(rows.adj),
                       &dvf_adj(rows.adj, bar_pos_), dvf_adj.cols(), kmatrix::kAdjBarLen, row.empty);
    const long long raw = rows.plain + kmatrix::kVolume;
    put_forming_fields(row.dst + kRawColumn, plain_floats_, static_cast<size_t>(raw),
                       &dvf(raw, bar_pos_), dvf.cols(), kRawLen, row.empty);
}

// A completed bar, in a row not written before (only a forming bar may
// replace one); its time comes from `clock`'s item.
void AdjustedWindow::put_bar(long long out_row, long long i, const AdjRow &s, long long col,
                             const AdjRow &clock) {
    MatrixCells &plain_cells = *s.plain->cells, &clock_cells = *clock.plain->cells;
    MatrixCells &adj_cells = *s.adj->cells;
    PyObject **plain = last_plain_.of(plain_cells, s.plain, col);
    PyObject **times = clock.plain == s.plain ? plain : last_clock_.of(clock_cells, clock.plain, col);
    PyObject **adj = last_adj_.of(adj_cells, s.adj, col) + s.adj_row;
    PyObject **dst = window_.begin_row(out_row, i);
    cells::ObjectMatrix::fill_shared(dst[kTimeColumn], clock_cells.current_time(times, col));
    put_completed_fields(dst + kAdjColumn, adj, adj_cells.cell(static_cast<size_t>(s.adj_row), col),
                         adj_cells.row_stride(), kmatrix::kAdjBarLen);
    put_completed_fields(dst + kRawColumn, plain + s.raw_row,
                         plain_cells.cell(static_cast<size_t>(s.raw_row), col),
                         plain_cells.row_stride(), kRawLen);
}

// Column by column across the targets, as the plain window does.
nb::object AdjustedWindow::write_filled() {
    const FilledSpan span(*rows_[0].plain, length_, !std::isnan(reg_idx_(0, 6)));
    std::vector<FormingStoreRows> forming(static_cast<size_t>(targets_));
    for (long long i = 0; i < targets_; ++i) {
        span.require_same_bars(*rows_[static_cast<size_t>(i)].plain, length_,
                               index_of(reg_idx_(i, 0), ""));
        forming[static_cast<size_t>(i)] = forming_rows(i);
    }
    const long long tail = span.open_tail ? 1 : 0;
    for (long long k = 0; k < span.data_len; ++k)
        for (long long i = 0; i < targets_; ++i)
            put_bar((i + 1) * length_ - tail - span.data_len + k, i,
                    rows_[static_cast<size_t>(i)], span.start + k, rows_[0]);
    for (long long i = 0; i < targets_; ++i)
        if (forming[static_cast<size_t>(i)].adj >= 0)
            put_forming((i + 1) * length_ - 1, i, forming[static_cast<size_t>(i)]);
    return window_.finish();
}

// Per target, the newest `length` bars that traded, judged on the unadjusted
// bars (an adjusted price block has no volume, and across a roll its filled
// bars do not repeat the adjusted close).
nb::object AdjustedWindow::write_real() {
    const ArrayView<double> &dvf = plain_store_.values;
    std::vector<long long> columns;
    for (long long i = 0; i < targets_; ++i) {
        const AdjRow &s = rows_[static_cast<size_t>(i)];
        const RealBars real(*s.plain, s.plain->books_of(s.block), length_,
                            s.raw_row - kmatrix::kVolume, s.raw_row);
        if (real.empty())
            continue; // no real bar yet
        const FormingStoreRows rows = forming_rows(i);
        RuleBar forming;
        if (rows.adj >= 0) {
            const auto field = [&](long long f) { return dvf(rows.plain + f, bar_pos_); };
            forming = {field(kmatrix::kOpen), field(kmatrix::kHigh), field(kmatrix::kLow),
                       field(kmatrix::kClose), field(kmatrix::kVolume)};
        }
        columns.clear();
        real.pick(*s.plain, rows.adj >= 0 ? &forming : nullptr, columns);

        const long long fill_len = static_cast<long long>(columns.size());
        const long long first_row = (i + 1) * length_ - fill_len;
        for (long long k = 0; k < fill_len; ++k) {
            if (columns[k] < 0)
                put_forming(first_row + k, i, rows);
            else
                put_bar(first_row + k, i, s, columns[k], s);
        }
    }
    return window_.finish();
}

} // namespace

// def get_reg_k_data_adj(reg_idx, bar_pos, length, fill_up)
nb::object get_reg_k_data_adj(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_reg_k_data_adj", {"reg_idx", "bar_pos", "length", "fill_up"},
                               4);
    auto v = sig.bind(args, kwargs);

    const WindowRequest request(v[0], v[2], v[3], 7,
                                "reg_idx of an adjusted registration has 7 columns, got ");
    nb::object state = run_state();
    const StoreView plain_store(attr_of(state, "g_TelvarDataValueFresh"), "g_TelvarDataValueFresh");
    const StoreView adj_store(attr_of(state, "g_TelvarDataValueFresh_Adj"),
                              "g_TelvarDataValueFresh_Adj");
    // The adjusted store has the plain store's columns; until an adjusted
    // registration has rows it is empty and the plain store counts them.
    const long long positions = static_cast<long long>(
        adj_store.has_rows ? adj_store.values.cols() : plain_store.values.cols());
    const long long bar_pos = window_bar_pos(v[1], positions, state);

    WindowArray window(request.reg_idx, request.length, kFirstFieldColumn + kmatrix::kBarLen);
    if (request.reg_idx.rows() == 0 || request.length == 0)
        return window.finish();
    FreshRowFloats::for_plain_store().fit(plain_store.values.rows());
    FreshRowFloats::for_adjusted_store().fit(adj_store.values.rows());
    AdjustedWindow adjusted(request, state, plain_store, adj_store, bar_pos, window);
    return request.fill_up ? adjusted.write_filled() : adjusted.write_real();
}

} // namespace telvar::regora
