// get_reg_k_data_adj: the window of an adjusted K-data registration. The same
// bars as get_reg_k_data (same rows, modes and forming bar), but the four
// prices come from the adjusted matrices and the adjusted fresh-bar store,
// while volume and the later fields stay raw.
#include "common/args.hpp"
#include "regora/adjusted.hpp"
#include "regora/books_cache.hpp"
#include "regora/cell_cache.hpp"
#include "regora/window_cells.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

namespace telvar {
namespace regora {

using cells::FloatPool;
using cells::ObjectMatrix;
using cells::out_of_bounds;
using cells::read_view;
using cells::to_int;

namespace {

long long index_of(double value, const char *what) { return checked_integer(value, what); }

// A registered plain item as seen at a bar position.
struct ItemAtBar {
    nb::object item;
    ArrayView<double> matrix;
    ArrayView<double> time_line;
    MatrixCells *cells = nullptr;  // shared float objects of its columns, when used
    RealBarBooks *books = nullptr; // typed real-bar bookkeeping, on first use
    long long current_bar = 0;     // CurrentBar[bar_pos], unclamped
};

// An adjusted price matrix.
struct AdjMatrix {
    ArrayView<double> matrix;
    MatrixCells *cells = nullptr;
};

// Shared float objects pay off because successive windows overlap; they are
// used while a call reads few matrices, so that no cache entry this call
// holds can be evicted by the call itself.
constexpr size_t kMaxCachedMatrices = 8;

} // namespace

// def get_reg_k_data_adj(reg_idx, bar_pos, length, fill_up)
nb::object get_reg_k_data_adj(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_reg_k_data_adj", {"reg_idx", "bar_pos", "length", "fill_up"},
                               4);
    auto v = sig.bind(args, kwargs);

    ArrayView<double> reg_idx = read_view(v[0], "reg_idx", 2);
    if (reg_idx.cols() < 7)
        raise_value_error("reg_idx of an adjusted registration has 7 columns, got " +
                          std::to_string(reg_idx.cols()));
    const long long length = as_int(v[2]);
    if (length < 0)
        raise_value_error("negative dimensions are not allowed");
    const bool fill_up = truthy(v[3]);

    const long long bar_len = gv_int("KMatrix_Bar_Len");
    const long long head_len = gv_int("KMatrixPos_Head_len");
    const long long adj_len = gv_int("Adj_KMatrix_Bar_Len");
    const long long adj_first = gv_int("Adj_KMatrix_Open");
    const long long volume_field = gv_int("KMatrix_Volume");
    const long long raw_len = gv_int("KMatrix_Bar_End") - volume_field + 1;
    // Columns 2.. hold the adjusted prices, then the raw fields from the
    // volume on: together exactly one plain bar's fields.
    if (adj_len + raw_len != bar_len || volume_field != adj_len)
        raise_value_error("could not broadcast the framework's field layout into the window: "
                          "adjusted prices and raw fields must make up one bar");
    const long long adj_start = 2;
    const long long raw_start = adj_start + adj_len;
    const long long body_end = 2 + bar_len;
    const long long targets = static_cast<long long>(reg_idx.rows());

    nb::object np = global("np");
    nb::object state = run_state();
    nb::object kdata_s = state.attr("g_TelvarKDataList");
    nb::object kdata_adj_s = state.attr("g_TelvarKDataList_Adj");
    nb::object cache = state.attr("g_TelvarCache");
    nb::object dvf_arr = np.attr("asarray")(state.attr("g_TelvarDataValueFresh"));
    nb::object dvf_adj_arr = np.attr("asarray")(state.attr("g_TelvarDataValueFresh_Adj"));
    const bool dvf_2d = as_int(dvf_arr.attr("ndim")) == 2;
    const bool dvf_adj_2d = as_int(dvf_adj_arr.attr("ndim")) == 2;
    ArrayView<double> dvf = read_view(dvf_arr, "g_TelvarDataValueFresh", dvf_2d ? 2 : 1);
    ArrayView<double> dvf_adj =
        read_view(dvf_adj_arr, "g_TelvarDataValueFresh_Adj", dvf_adj_2d ? 2 : 1);
    // The adjusted store has the plain store's columns; until an adjusted
    // registration has rows it is empty and the plain store counts them.
    const long long positions =
        static_cast<long long>(dvf_adj_2d ? dvf_adj.cols() : dvf.cols());

    // NaN selects the latest position; negative positions count from the end.
    const double bar_pos_value = PyFloat_AsDouble(v[1].ptr());
    if (bar_pos_value == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    long long bar_pos = std::isnan(bar_pos_value) ? positions - 1 : as_int(v[1]);
    if (bar_pos < 0)
        bar_pos += positions;
    if (bar_pos < 0 || bar_pos >= positions)
        raise_index_error(out_of_bounds(bar_pos, positions, "the strategy bar positions"));

    nb::object nan = np.attr("nan");
    ObjectMatrix out(length * targets, body_end);
    FloatPool floats(nan.ptr());
    // Column 0 holds the target index in every row; a row without a bar gets
    // NaN in the other columns at the end, so every cell is written once.
    for (long long i = 0; i < targets; ++i) {
        nb::object target = py_int(index_of(reg_idx(i, 3), "reg_idx target index"));
        for (long long r = i * length; r < (i + 1) * length; ++r)
            out.put_shared(r, 0, target.ptr());
    }
    std::vector<char> has_bar(static_cast<size_t>(length * targets), 0);
    auto finish = [&]() {
        for (long long r = 0; r < length * targets; ++r)
            if (!has_bar[static_cast<size_t>(r)])
                for (long long c = 1; c < body_end; ++c)
                    out.put_shared(r, c, nan.ptr());
        return out.release();
    };
    if (targets == 0 || length == 0)
        return finish();

    std::map<long long, ItemAtBar> items;
    const long long registry_len = py_len(kdata_s);
    auto item_at = [&](long long pos) -> ItemAtBar & {
        auto found = items.find(pos);
        if (found != items.end())
            return found->second;
        if (pos < 0 || pos >= registry_len)
            raise_index_error(out_of_bounds(pos, registry_len, "the K-data registry"));
        ItemAtBar view;
        view.item = getitem(kdata_s, pos);
        view.matrix = read_view(view.item.attr("Matrix"), "Matrix", 2);
        view.time_line =
            read_view(cache.attr("get_history_k_data_time_line_cache")(pos), "time line", 1);
        view.current_bar = to_int(getitem(view.item.attr("CurrentBar"), bar_pos));
        return items.emplace(pos, std::move(view)).first->second;
    };
    std::map<long long, AdjMatrix> adj_items;
    const long long adj_registry_len = py_len(kdata_adj_s);
    auto adj_at = [&](long long pos) -> AdjMatrix & {
        auto found = adj_items.find(pos);
        if (found != adj_items.end())
            return found->second;
        if (pos < 0 || pos >= adj_registry_len)
            raise_index_error(out_of_bounds(pos, adj_registry_len, "the adjusted K-data registry"));
        AdjMatrix adj;
        adj.matrix = read_view(getitem(kdata_adj_s, pos).attr("Matrix"), "adjusted Matrix", 2);
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
        s.plain = &item_at(index_of(reg_idx(i, 0), "reg_idx item position"));
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
    // Every matrix is looked up before any column is taken: a column's
    // objects stay valid until that matrix is looked up again.
    if (items.size() + adj_items.size() <= kMaxCachedMatrices) {
        const size_t keep = static_cast<size_t>(2 * length + 64);
        for (auto &entry : items) {
            ItemAtBar &view = entry.second;
            view.cells = &matrix_cells(view.matrix.object(), view.matrix.data(), view.matrix.rows(),
                                       view.matrix.cols(), view.time_line.object(),
                                       view.time_line.data(), view.time_line.cols(), keep);
        }
        for (const Sources &s : rows_of) {
            if (s.adj->cells)
                continue;
            const ArrayView<double> &tl = s.plain->time_line;
            s.adj->cells = &matrix_cells(s.adj->matrix.object(), s.adj->matrix.data(),
                                         s.adj->matrix.rows(), s.adj->matrix.cols(), tl.object(),
                                         tl.data(), tl.cols(), keep);
        }
    }
    // New references to the Python floats of a cell, from the shared
    // columns when there are, else from this call's pool.
    auto plain_cell = [&](const Sources &s, long long row, long long col) -> PyObject * {
        if (!s.plain->cells)
            return floats.get(row < static_cast<long long>(s.plain->matrix.rows())
                                  ? s.plain->matrix(row, col)
                                  : s.plain->time_line[col]);
        PyObject *obj = s.plain->cells->column(col)[row];
        Py_INCREF(obj);
        return obj;
    };
    auto adj_cell = [&](const Sources &s, long long row, long long col) -> PyObject * {
        if (!s.adj->cells)
            return floats.get(s.adj->matrix(row, col));
        PyObject *obj = s.adj->cells->column(col)[row];
        Py_INCREF(obj);
        return obj;
    };

    ArrayView<double> dvf_tl = read_view(cache.attr("dvf_tl"), "dvf_tl", 1);
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
    auto put_forming = [&](long long out_row, std::pair<long long, long long> rows) {
        has_bar[static_cast<size_t>(out_row)] = 1;
        out.put(out_row, 1, floats.get(dvf_tl[bar_pos]));
        for (long long f = 0; f < adj_len; ++f)
            out.put(out_row, adj_start + f, floats.get(dvf_adj(rows.first + f, bar_pos)));
        for (long long f = 0; f < raw_len; ++f)
            out.put(out_row, raw_start + f,
                    floats.get(dvf(rows.second + volume_field + f, bar_pos)));
    };
    auto put_bar = [&](long long out_row, const Sources &s, long long col, const Sources &clock) {
        has_bar[static_cast<size_t>(out_row)] = 1;
        const long long time_row = static_cast<long long>(clock.plain->matrix.rows());
        if (s.plain->cells && s.adj->cells && clock.plain->cells) {
            PyObject *const *raw = s.plain->cells->column(col);
            PyObject *const *adj = s.adj->cells->column(col);
            out.put_shared(out_row, 1, clock.plain->cells->column(col)[time_row]);
            for (long long f = 0; f < adj_len; ++f)
                out.put_shared(out_row, adj_start + f, adj[s.adj_row + f]);
            for (long long f = 0; f < raw_len; ++f)
                out.put_shared(out_row, raw_start + f, raw[s.raw_row + f]);
            return;
        }
        out.put(out_row, 1, plain_cell(clock, time_row, col));
        for (long long f = 0; f < adj_len; ++f)
            out.put(out_row, adj_start + f, adj_cell(s, s.adj_row + f, col));
        for (long long f = 0; f < raw_len; ++f)
            out.put(out_row, raw_start + f, plain_cell(s, s.raw_row + f, col));
    };

    if (fill_up) {
        // One time window, from the first target's item, serves every target.
        ItemAtBar &first = item_at(index_of(reg_idx(0, 0), "reg_idx item position"));
        const long long cols0 = static_cast<long long>(first.matrix.cols());
        // A position inside a bar that has not closed lies after the item's
        // last column: the window is the completed bars plus the forming bar
        // (as in get_reg_k_data), not the forming bar over the last one.
        const bool open_tail = first.current_bar > cols0 - 1 && !std::isnan(reg_idx(0, 6));
        const long long completed = open_tail ? length - 1 : length;
        const long long cur00 = std::min(cols0 - 1, first.current_bar);
        const long long start = std::max(0LL, cur00 - completed + 1);
        const long long data_len = std::max(0LL, std::min(cur00 - start + 1, completed));
        if (start + data_len > static_cast<long long>(first.time_line.cols()))
            raise_index_error("the time line is shorter than the K matrix");

        for (long long i = 0; i < targets; ++i) {
            const Sources &s = rows_of[static_cast<size_t>(i)];
            const long long cols = static_cast<long long>(s.plain->matrix.cols());
            const long long stop = std::min(std::max(s.plain->current_bar + 1, 0LL), cols);
            const long long available = std::max(0LL, std::min(stop - start, completed));
            if (available != data_len)
                raise_value_error("could not broadcast the bars of K-data item " +
                                  std::to_string(index_of(reg_idx(i, 0), "")) +
                                  " into the window of the first target's item");
            const long long row_end = (i + 1) * length;
            const long long data_end = open_tail ? row_end - 1 : row_end;
            for (long long k = 0; k < data_len; ++k)
                put_bar(data_end - data_len + k, s, start + k, rows_of[0]);
            const auto rows = forming_rows(i);
            if (rows.first >= 0)
                put_forming(row_end - 1, rows);
        }
        return finish();
    }

    // Real-bar window: per target, the newest `length` bars with volume > 0.
    // A column of -1 in `columns` stands for the forming bar.
    std::vector<long long> columns;
    for (long long i = 0; i < targets; ++i) {
        const Sources &s = rows_of[static_cast<size_t>(i)];
        ItemAtBar &view = *s.plain;
        // Looked up per row: the entry is used only until the next look-up.
        RealBarBooks &books =
            real_bar_books(view.item.attr("UnfilledBarRef"), view.item.attr("UnfilledIdx"));
        const ArrayView<double> &bar_ref = books.bar_ref(s.block);
        const long long end_bar =
            std::min(static_cast<long long>(bar_ref.cols()) - 1, view.current_bar);
        if (end_bar < 0 || std::isnan(bar_ref[end_bar]))
            continue; // no real bar yet
        const double last_real = bar_ref[end_bar];
        if (!(std::fabs(last_real) < 9.0e15))
            raise_value_error("UnfilledBarRef holds an invalid position");
        const long long ref = std::max(0LL, static_cast<long long>(last_real) - length);
        const ArrayView<int64_t> &real_columns = books.real_columns(s.block);
        if (ref >= static_cast<long long>(real_columns.cols()))
            raise_index_error("real-bar bookkeeping points outside UnfilledIdx");
        const long long start = real_columns[ref];
        if (start < 0 || end_bar >= static_cast<long long>(view.matrix.cols()) ||
            end_bar >= static_cast<long long>(view.time_line.cols()))
            raise_index_error("real-bar bookkeeping points outside the K matrix");
        const auto rows = forming_rows(i);
        const bool forming = rows.first >= 0;
        const bool open_tail =
            forming && view.current_bar > static_cast<long long>(view.matrix.cols()) - 1;
        const bool replaces_end = forming && !open_tail;
        auto forming_traded = [&] { return dvf(rows.second + volume_field, bar_pos) > 0; };

        columns.clear();
        if (open_tail && forming_traded())
            columns.push_back(-1);
        for (long long col = end_bar;
             col >= start && static_cast<long long>(columns.size()) < length; --col) {
            if (col == end_bar && replaces_end) {
                if (forming_traded())
                    columns.push_back(-1);
            } else if (view.matrix(s.raw_row, col) > 0) {
                columns.push_back(col);
            }
        }

        const long long row_end = (i + 1) * length;
        const long long fill_len = static_cast<long long>(columns.size());
        for (long long k = 0; k < fill_len; ++k) {
            const long long col = columns[fill_len - 1 - k];
            const long long r = row_end - fill_len + k;
            if (col < 0)
                put_forming(r, rows);
            else
                put_bar(r, s, col, s);
        }
    }
    return finish();
}

} // namespace regora
} // namespace telvar
