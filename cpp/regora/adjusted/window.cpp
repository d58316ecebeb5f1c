// get_reg_k_data_adj: the window of an adjusted K-data registration. The same
// bars as get_reg_k_data (same rows, modes and forming bar), but the four
// prices come from the adjusted matrices and the adjusted fresh-bar store,
// while volume and the later fields stay raw.
#include "common/args.hpp"
#include "common/traded_bar.hpp"
#include "regora/window/window_bars.hpp"
#include "common/kmatrix_layout.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

namespace telvar::regora {

using cells::ObjectMatrix;
using cells::out_of_bounds;
using cells::read_view;

namespace {

// Columns 2.. of an adjusted window hold the adjusted prices, then the raw
// fields from the volume on: together exactly one plain bar's fields.
static_assert(kmatrix::kVolume == kmatrix::kAdjBarLen &&
                  kmatrix::kAdjBarLen + (kmatrix::kBarEnd - kmatrix::kVolume + 1) == kmatrix::kBarLen,
              "adjusted prices and raw fields make up one bar");

// An adjusted price matrix, with the float objects of its columns.
struct AdjMatrix {
    ArrayView<double> matrix;
    std::shared_ptr<MatrixCells> cells;
};

} // namespace

// def get_reg_k_data_adj(reg_idx, bar_pos, length, fill_up)
nb::object get_reg_k_data_adj(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_reg_k_data_adj", {"reg_idx", "bar_pos", "length", "fill_up"},
                               4);
    auto v = sig.bind(args, kwargs);

    const WindowRequest request(v[0], v[2], v[3], 7,
                                "reg_idx of an adjusted registration has 7 columns, got ");
    const ArrayView<double> &reg_idx = request.reg_idx;
    const long long length = request.length;

    const long long bar_len = kmatrix::kBarLen;
    const long long head_len = kmatrix::kHeadLen;
    const long long adj_len = kmatrix::kAdjBarLen;
    const long long adj_first = kmatrix::kAdjOpen;
    const long long volume_field = kmatrix::kVolume;
    const long long raw_len = kmatrix::kBarEnd - kmatrix::kVolume + 1;
    const long long adj_start = 2;
    const long long raw_start = adj_start + adj_len;
    const long long body_end = 2 + bar_len;
    const long long targets = static_cast<long long>(reg_idx.rows());

    nb::object state = run_state();
    nb::object kdata_adj_s = attr_of(state, "g_TelvarKDataList_Adj");
    nb::object cache = attr_of(state, "g_TelvarCache");
    int dvf_ndim = 0, dvf_adj_ndim = 0;
    nb::object dvf_arr = cells::as_array(attr_of(state, "g_TelvarDataValueFresh"), &dvf_ndim);
    nb::object dvf_adj_arr =
        cells::as_array(attr_of(state, "g_TelvarDataValueFresh_Adj"), &dvf_adj_ndim);
    const bool dvf_2d = dvf_ndim == 2;
    const bool dvf_adj_2d = dvf_adj_ndim == 2;
    ArrayView<double> dvf = read_view(dvf_arr, "g_TelvarDataValueFresh", dvf_2d ? 2 : 1);
    ArrayView<double> dvf_adj =
        read_view(dvf_adj_arr, "g_TelvarDataValueFresh_Adj", dvf_adj_2d ? 2 : 1);
    // The adjusted store has the plain store's columns; until an adjusted
    // registration has rows it is empty and the plain store counts them.
    const long long positions =
        static_cast<long long>(dvf_adj_2d ? dvf_adj.cols() : dvf.cols());

    const long long bar_pos = window_bar_pos(v[1], positions, state);

    WindowArray window(reg_idx, length, body_end);
    if (targets == 0 || length == 0)
        return window.finish();
    FreshRowFloats &plain_floats = FreshRowFloats::for_plain_store();
    FreshRowFloats &adj_floats = FreshRowFloats::for_adjusted_store();
    plain_floats.fit(dvf.rows());
    adj_floats.fit(dvf_adj.rows());

    const size_t keep = static_cast<size_t>(2 * length + 64);
    ItemsAtBar items(state, bar_pos, keep);
    std::map<long long, AdjMatrix> adj_items;
    const long long adj_registry_len = py_len(kdata_adj_s);
    auto adj_at = [&](long long pos) -> AdjMatrix & {
        auto found = adj_items.find(pos);
        if (found != adj_items.end())
            return found->second;
        if (pos < 0 || pos >= adj_registry_len)
            raise_index_error(out_of_bounds(pos, adj_registry_len, "the adjusted K-data registry"));
        AdjMatrix adj;
        adj.matrix = read_view(attr_of(getitem(kdata_adj_s, pos), "Matrix"), "adjusted Matrix", 2);
        return adj_items.emplace(pos, std::move(adj)).first->second;
    };

    // Row i's sources: plain item, adjusted matrix, first raw row in the
    // plain matrix and first price row in the adjusted one.
    struct Sources {
        ItemAtBar *plain;
        AdjMatrix *adj;
        long long target_idx, block, raw_row, adj_row;
    };
    std::vector<Sources> rows_of(static_cast<size_t>(targets));
    for (long long i = 0; i < targets; ++i) {
        Sources &s = rows_of[static_cast<size_t>(i)];
        s.plain = &items.at(index_of(reg_idx(i, 0), "reg_idx item position"));
        s.adj = &adj_at(index_of(reg_idx(i, 4), "reg_idx adjusted item position"));
        s.target_idx = index_of(reg_idx(i, 3), "reg_idx target index");
        s.block = index_of(reg_idx(i, 5), "reg_idx adjusted block");
        s.raw_row = head_len + s.block * bar_len + volume_field;
        s.adj_row = s.block * adj_len + adj_first;
        if (s.block < 0 ||
            head_len + (s.block + 1) * bar_len > static_cast<long long>(s.plain->matrix.rows()) ||
            (s.block + 1) * adj_len > static_cast<long long>(s.adj->matrix.rows()))
            raise_index_error("block " + std::to_string(s.block) +
                              " is not in the K matrix or the adjusted matrix");
        if (s.adj->matrix.cols() != s.plain->matrix.cols())
            raise_value_error("the adjusted item has " + std::to_string(s.adj->matrix.cols()) +
                              " bars, the plain item " + std::to_string(s.plain->matrix.cols()));
    }
    // An adjusted matrix's columns carry the bar times of its plain item.
    for (const Sources &s : rows_of) {
        if (s.adj->cells)
            continue;
        const ArrayView<double> &tl = s.plain->time_line;
        s.adj->cells = matrix_cells(s.adj->matrix.object(), s.adj->matrix.data(),
                                    s.adj->matrix.rows(), s.adj->matrix.cols(), tl.object(),
                                    tl.data(), tl.cols(), keep);
    }

    ArrayView<double> dvf_tl = read_view(attr_of(cache, "dvf_tl"), "dvf_tl", 1);
    // Rows of row i's forming bar: (adjusted store row, plain store row), or
    // -1 when the registration keeps no adjusted forming bars.
    auto forming_rows = [&](long long i) -> std::pair<long long, long long> {
        if (std::isnan(reg_idx(i, 6)))
            return {-1, -1};
        const long long adj_row = index_of(reg_idx(i, 6), "reg_idx adjusted fresh-bar row");
        const long long row = index_of(reg_idx(i, 2), "reg_idx fresh-bar row");
        if (!dvf_adj_2d || adj_row < 0 || adj_row + adj_len > static_cast<long long>(dvf_adj.rows()))
            raise_index_error("adjusted fresh-bar rows " + std::to_string(adj_row) +
                              " onward are outside the adjusted store");
        if (!dvf_2d || row < 0 || row + bar_len > static_cast<long long>(dvf.rows()))
            raise_index_error("fresh-bar rows " + std::to_string(row) +
                              " onward are outside the store");
        if (bar_pos >= static_cast<long long>(dvf.cols()) ||
            bar_pos >= static_cast<long long>(dvf_adj.cols()) ||
            bar_pos >= static_cast<long long>(dvf_tl.cols()))
            raise_index_error(out_of_bounds(bar_pos, dvf.cols(), "the fresh-bar stores"));
        return {adj_row, row};
    };
    // every forming bar's time (made only when the position is in the store)
    nb::object forming_time;
    // The forming bar has a row of its own, or takes a completed bar's.
    auto put_forming = [&](long long out_row, long long i, std::pair<long long, long long> rows) {
        if (!forming_time.is_valid())
            forming_time = nb::steal(FloatPool::for_columns().get(dvf_tl[bar_pos]));
        const bool empty = !window.shows_bar(out_row);
        PyObject **dst = window.begin_row(out_row, i);
        Py_INCREF(forming_time.ptr());
        ObjectMatrix::store(dst[1], forming_time.ptr(), empty);
        for (long long f = 0; f < adj_len; ++f) {
            const long long row = rows.first + f;
            ObjectMatrix::store(dst[adj_start + f],
                                adj_floats.get(static_cast<size_t>(row), dvf_adj(row, bar_pos)),
                                empty);
        }
        for (long long f = 0; f < raw_len; ++f) {
            const long long row = rows.second + volume_field + f;
            ObjectMatrix::store(dst[raw_start + f],
                                plain_floats.get(static_cast<size_t>(row), dvf(row, bar_pos)),
                                empty);
        }
    };
    LastColumn last_plain, last_clock, last_adj;
    // A completed bar, in a row not written before (only a forming bar may
    // replace one); its time comes from `clock`'s item.
    auto put_bar = [&](long long out_row, long long i, const Sources &s, long long col,
                       const Sources &clock) {
        MatrixCells &plain_cells = *s.plain->cells, &clock_cells = *clock.plain->cells;
        MatrixCells &adj_cells = *s.adj->cells;
        PyObject **plain = last_plain.of(plain_cells, s.plain, col);
        PyObject **times = clock.plain == s.plain ? plain : last_clock.of(clock_cells, clock.plain, col);
        PyObject **adj = last_adj.of(adj_cells, s.adj, col) + s.adj_row;
        PyObject **raw = plain + s.raw_row;
        PyObject **dst = window.begin_row(out_row, i);
        ObjectMatrix::fill_shared(dst[1], clock_cells.current_time(times, col));
        const double *adj_cell = adj_cells.cell(static_cast<size_t>(s.adj_row), col);
        for (long long f = 0; f < adj_len; ++f, adj_cell += adj_cells.row_stride())
            ObjectMatrix::fill_shared(dst[adj_start + f], MatrixCells::shown(adj[f], *adj_cell));
        const double *raw_cell = plain_cells.cell(static_cast<size_t>(s.raw_row), col);
        for (long long f = 0; f < raw_len; ++f, raw_cell += plain_cells.row_stride())
            ObjectMatrix::fill_shared(dst[raw_start + f], MatrixCells::shown(raw[f], *raw_cell));
    };

    if (request.fill_up) {
        const FilledSpan span(*rows_of[0].plain, length, !std::isnan(reg_idx(0, 6)));
        std::vector<std::pair<long long, long long>> forming(static_cast<size_t>(targets));
        for (long long i = 0; i < targets; ++i) {
            span.require_same_bars(*rows_of[static_cast<size_t>(i)].plain, length,
                                   index_of(reg_idx(i, 0), ""));
            forming[static_cast<size_t>(i)] = forming_rows(i);
        }
        // Column by column across the targets, as the plain window does.
        const long long tail = span.open_tail ? 1 : 0;
        for (long long k = 0; k < span.data_len; ++k)
            for (long long i = 0; i < targets; ++i)
                put_bar((i + 1) * length - tail - span.data_len + k, i,
                        rows_of[static_cast<size_t>(i)], span.start + k, rows_of[0]);
        for (long long i = 0; i < targets; ++i)
            if (forming[static_cast<size_t>(i)].first >= 0)
                put_forming((i + 1) * length - 1, i, forming[static_cast<size_t>(i)]);
        return window.finish();
    }

    // Real-bar window: per target, the newest `length` bars that traded,
    // judged on the unadjusted bars (an adjusted price block has no volume,
    // and across a roll its filled bars do not repeat the adjusted close).
    std::vector<long long> columns;
    for (long long i = 0; i < targets; ++i) {
        const Sources &s = rows_of[static_cast<size_t>(i)];
        const RealBars real(*s.plain, s.plain->books_of(s.block), length,
                            s.raw_row - volume_field, s.raw_row);
        if (real.empty())
            continue; // no real bar yet
        const auto rows = forming_rows(i);
        RuleBar forming;
        if (rows.first >= 0) {
            const auto field = [&](long long f) { return dvf(rows.second + f, bar_pos); };
            forming = {field(kOpen), field(kHigh), field(kLow), field(kClose), field(volume_field)};
        }
        columns.clear();
        real.pick(*s.plain, rows.first >= 0 ? &forming : nullptr, columns);

        const long long fill_len = static_cast<long long>(columns.size());
        const long long first_row = (i + 1) * length - fill_len;
        for (long long k = 0; k < fill_len; ++k) {
            if (columns[k] < 0)
                put_forming(first_row + k, i, rows);
            else
                put_bar(first_row + k, i, s, columns[k], s);
        }
    }
    return window.finish();
}

} // namespace telvar::regora
