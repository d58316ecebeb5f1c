// Combining kernels: whole bars of a coarser time line (HtoL), and the bar
// formed so far at every base column (1toN, DataValueFresh, its adjusted
// form). All four take base-column positions as tvCalcKDataBeginEndPos and
// tvCalcRegKDataBeginEndPos make them; `offset` is the absolute column of
// the matrix's first column (0 when the whole matrix is passed), so a caller
// may hand over only the tail of a long matrix with positions unchanged.
#include "combine_ops.hpp"
#include "kernel_args.hpp"
#include "kernels.hpp"

#include "common/args.hpp"

#include <algorithm>

namespace nb = nanobind;

namespace telvar {
namespace numkern {
namespace {

constexpr int64_t kHeadLen = 4; // K matrix head rows: TimeLine, DayPos, FreshIdx, End

// Folds rows [first_row, first_row + count) of `base` into the same rows of
// `out` starting at out_row, each with its field's rule.
void combine_rows_ranges(const ArrayView<double> &base, size_t first_row, size_t count,
                         const Layout &layout, const Ranges &r, double *out, size_t out_cols) {
    for (size_t i = 0; i < count; ++i) {
        const size_t row = first_row + i;
        const double *src = base.data() + row * base.cols();
        double *dst = out + i * out_cols;
        dispatch_op(op_for_field((row - layout.head) % layout.bar_len), [&](auto op) {
            combine_ranges<decltype(op)::value>(src, r.begin.data(), r.end.data(), out_cols, dst);
        });
    }
}

void combine_rows_running(const ArrayView<double> &base, size_t first_row, size_t count,
                          const Layout &layout, const std::vector<Run> &runs, double *out) {
    const size_t n = base.cols();
    for (size_t i = 0; i < count; ++i) {
        const size_t row = first_row + i;
        dispatch_op(op_for_field((row - layout.head) % layout.bar_len), [&](auto op) {
            combine_running<decltype(op)::value>(base.data() + row * n, runs, out + i * n);
        });
    }
}

// tvCalcCombineMatrixHtoL(base_matrix, matrix, begin_pos, end_pos, bar_len,
//                         offset=0, head_len=4)
// A copy of `matrix` (head rows kept) whose target rows hold, for each of its
// columns k, the base bars begin_pos[k]..end_pos[k] combined.
nb::object tvCalcCombineMatrixHtoL(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("tvCalcCombineMatrixHtoL",
                               {"base_matrix", "matrix", "begin_pos", "end_pos", "bar_len",
                                "offset", "head_len"},
                               5);
    auto v = sig.bind(args, kwargs);
    ArrayView<double> base = input_view<double>(v[0], "base_matrix", 2);
    ArrayView<double> target = input_view<double>(v[1], "matrix", 2);
    const int64_t bar_len = integer_arg(v[4], "bar_len");
    const int64_t offset = v[5].is_valid() ? non_negative_arg(v[5], "offset") : 0;
    const int64_t head_len = v[6].is_valid() ? integer_arg(v[6], "head_len") : kHeadLen;
    Layout layout = layout_from_head(base.rows(), head_len, bar_len, "base_matrix");
    if (target.rows() != base.rows())
        raise_value_error("matrix has " + std::to_string(target.rows()) +
                          " rows, base_matrix has " + std::to_string(base.rows()));
    const size_t cols = target.cols();
    Ranges r = ranges_arg(v[2], v[3], cols, base.cols(), offset);
    ArrayView<double> out = new_matrix(target.rows(), cols);
    {
        // Everything the loop touches is a raw buffer from here on.
        nb::gil_scoped_release release;
        std::copy(target.data(), target.data() + layout.head * cols, out.data());
        combine_rows_ranges(base, layout.head, layout.targets * layout.bar_len, layout, r,
                            out.data() + layout.head * cols, cols);
    }
    return out.object();
}

// tvCalcCombineMatrix1toN(matrix, begin_pos, end_pos, bar_len, offset=0, head_len=4)
// A matrix of the same shape: head rows copied, target rows holding at each
// column the bar formed so far (closed where the column ends its bar).
nb::object tvCalcCombineMatrix1toN(nb::args args, nb::kwargs kwargs) {
    static const Signature sig(
        "tvCalcCombineMatrix1toN",
        {"matrix", "begin_pos", "end_pos", "bar_len", "offset", "head_len"}, 4);
    auto v = sig.bind(args, kwargs);
    ArrayView<double> base = input_view<double>(v[0], "matrix", 2);
    const int64_t bar_len = integer_arg(v[3], "bar_len");
    const int64_t offset = v[4].is_valid() ? non_negative_arg(v[4], "offset") : 0;
    const int64_t head_len = v[5].is_valid() ? integer_arg(v[5], "head_len") : kHeadLen;
    Layout layout = layout_from_head(base.rows(), head_len, bar_len, "matrix");
    const size_t cols = base.cols();
    Ranges r = ranges_arg(v[1], v[2], cols, cols, offset);
    ArrayView<double> out = new_matrix(base.rows(), cols);
    {
        nb::gil_scoped_release release;
        std::copy(base.data(), base.data() + layout.head * cols, out.data());
        const std::vector<Run> runs = running_runs(r.begin, r.end);
        combine_rows_running(base, layout.head, layout.targets * layout.bar_len, layout, runs,
                             out.data() + layout.head * cols);
    }
    return out.object();
}

// The forming bars of every target at every base column, without head rows;
// with_time_row puts the base time row (row 0 of the matrix) on top.
nb::object forming_bars(const char *func, nb::args args, nb::kwargs kwargs, bool with_time_row) {
    const Signature sig(func, {"matrix", "begin_pos", "end_pos", "bar_len", "targets_len", "offset"},
                        5);
    auto v = sig.bind(args, kwargs);
    ArrayView<double> base = input_view<double>(v[0], "matrix", 2);
    const int64_t bar_len = integer_arg(v[3], "bar_len");
    const int64_t targets = integer_arg(v[4], "targets_len");
    const int64_t offset = v[5].is_valid() ? non_negative_arg(v[5], "offset") : 0;
    Layout layout = layout_from_targets(base.rows(), targets, bar_len, with_time_row ? 1 : 0,
                                        "matrix");
    const size_t cols = base.cols();
    Ranges r = ranges_arg(v[1], v[2], cols, cols, offset);
    const size_t body_rows = layout.targets * layout.bar_len;
    const size_t top = with_time_row ? 1 : 0;
    ArrayView<double> out = new_matrix(top + body_rows, cols);
    {
        nb::gil_scoped_release release;
        if (with_time_row)
            std::copy(base.data(), base.data() + cols, out.data());
        const std::vector<Run> runs = running_runs(r.begin, r.end);
        combine_rows_running(base, layout.head, body_rows, layout, runs, out.data() + top * cols);
    }
    return out.object();
}

// tvCalcDataValueFresh(matrix, begin_pos, end_pos, bar_len, targets_len, offset=0)
// Row 0 the base time row, then bar_len rows per target: the registered bar
// as formed up to each base column. The matrix's head rows are the rows
// above its targets_len blocks (at least one, the time row).
nb::object tvCalcDataValueFresh(nb::args args, nb::kwargs kwargs) {
    return forming_bars("tvCalcDataValueFresh", args, kwargs, true);
}

// tvCalcDataValueFresh_Adj(matrix, begin_pos, end_pos, bar_len, targets_len, offset=0)
// The same for an adjusted price matrix, which has no head rows: targets_len
// blocks of bar_len rows (open, high, low, close), and no time row out.
nb::object tvCalcDataValueFresh_Adj(nb::args args, nb::kwargs kwargs) {
    return forming_bars("tvCalcDataValueFresh_Adj", args, kwargs, false);
}

} // namespace

void register_combine(nb::module_ &m) {
    m.def("tvCalcCombineMatrixHtoL", &tvCalcCombineMatrixHtoL,
          nb::sig("def tvCalcCombineMatrixHtoL(base_matrix, matrix, begin_pos, end_pos, bar_len, offset=0, head_len=4) -> numpy.ndarray"),
          "A copy of `matrix` (head rows kept) whose target rows hold, for every column k,\n"
          "the base bars begin_pos[k]..end_pos[k] of `base_matrix` combined: open first,\n"
          "high max, low min, close last, volume and turnover summed, open interest last,\n"
          "NaN skipped; an empty or all-NaN range gives NaN. Positions are absolute base\n"
          "columns; `offset` is the column of base_matrix's first column.\n"
          "bar_len: rows per target; head_len: head rows of both matrices.");
    m.def("tvCalcCombineMatrix1toN", &tvCalcCombineMatrix1toN,
          nb::sig("def tvCalcCombineMatrix1toN(matrix, begin_pos, end_pos, bar_len, offset=0, head_len=4) -> numpy.ndarray"),
          "A matrix shaped like `matrix`, head rows copied, whose target rows hold at every\n"
          "column i the bar formed from begin_pos[i] up to min(i, end_pos[i]) (the whole\n"
          "N-unit bar where i closes it). Positions as tvCalcRegKDataBeginEndPos makes them.\n"
          "bar_len: rows per target; offset: the absolute column of matrix's first column;\n"
          "head_len: head rows.");
    m.def("tvCalcDataValueFresh", &tvCalcDataValueFresh,
          nb::sig("def tvCalcDataValueFresh(matrix, begin_pos, end_pos, bar_len, targets_len, offset=0) -> numpy.ndarray"),
          "Row 0: the base time row; then bar_len rows per target (the matrix's last\n"
          "targets_len blocks): the bar formed from begin_pos[i] up to base column i.\n"
          "begin_pos, end_pos: base-column positions as tvCalcRegKDataBeginEndPos makes them;\n"
          "offset: the absolute column of matrix's first column.");
    m.def("tvCalcDataValueFresh_Adj", &tvCalcDataValueFresh_Adj,
          nb::sig("def tvCalcDataValueFresh_Adj(matrix, begin_pos, end_pos, bar_len, targets_len, offset=0) -> numpy.ndarray"),
          "Like tvCalcDataValueFresh for an adjusted price matrix (targets_len blocks of\n"
          "bar_len rows, no head rows); no time row in the result. matrix, begin_pos,\n"
          "end_pos, offset as for tvCalcDataValueFresh.");
}

} // namespace numkern
} // namespace telvar
