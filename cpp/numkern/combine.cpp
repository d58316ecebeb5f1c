// Combining kernels: whole bars of a coarser time line (HtoL), and the bar
// formed so far at every base column (1toN, DataValueFresh, its adjusted
// form). All four take base-column positions as tvCalcKDataBeginEndPos and
// tvCalcRegKDataBeginEndPos make them; `offset` is the absolute column of
// the matrix's first column (0 when the whole matrix is passed), so a caller
// may hand over only the tail of a long matrix with positions unchanged.
// Each target's fields are combined together, one walk per bar
// (combine_blocks.hpp), with open, high and low from its traded bars only
// (common/traded_bar.hpp);
// tvCalcTradedMask hands out which bars traded.
#include "combine_blocks.hpp"
#include "traded_span.hpp"
#include "forming_out.hpp"
#include "kernel_args.hpp"
#include "kernels.hpp"

#include "common/args.hpp"
#include "common/kmatrix_layout.hpp"

#include <algorithm>

namespace nb = nanobind;

namespace telvar {
namespace numkern {
namespace {

constexpr int64_t kHeadLen = kmatrix::kHeadLen; // the default head_len

// The target blocks of a matrix being combined into an output matrix.
struct Blocks {
    const double *base = nullptr; // first target row of the input
    size_t base_cols = 0;
    double *out = nullptr; // first target row of the output
    size_t out_cols = 0;
    size_t targets = 0, bar_len = 0;
    const uint8_t *mask = nullptr; // targets x base_cols traded flags, or null

    int known_fields() const { return static_cast<int>(std::min<size_t>(bar_len, kKnownFields)); }
    Source source() const { return source_for(known_fields(), kVolume, mask != nullptr); }

    BlockIn in(size_t t) const {
        BlockIn b;
        for (int f = 0; f < known_fields(); ++f)
            b.row[f] = base + (t * bar_len + static_cast<size_t>(f)) * base_cols;
        b.mask = mask ? mask + t * base_cols : nullptr;
        b.n = static_cast<int64_t>(base_cols);
        return b;
    }
    BlockOut out_block(size_t t) const {
        BlockOut b;
        for (int f = 0; f < known_fields(); ++f)
            b.row[f] = out + (t * bar_len + static_cast<size_t>(f)) * out_cols;
        return b;
    }
    const double *extra_in(size_t t, size_t f) const { return base + (t * bar_len + f) * base_cols; }
    double *extra_out(size_t t, size_t f) const { return out + (t * bar_len + f) * out_cols; }
};

// Whole bars: output column k combines base columns begin[k]..end[k].
void combine_blocks_ranges(const Blocks &b, const Ranges &r) {
    dispatch_block(b.known_fields(), b.source(), [&](auto k, auto s) {
        for (size_t t = 0; t < b.targets; ++t)
            combine_block_ranges<decltype(k)::value, decltype(s)::value>(
                b.in(t), r.begin.data(), r.end.data(), b.out_cols, b.out_block(t));
    });
    for (size_t t = 0; t < b.targets; ++t)
        for (size_t f = kKnownFields; f < b.bar_len; ++f)
            last_of_ranges(b.extra_in(t, f), r.begin.data(), r.end.data(), b.out_cols,
                           b.extra_out(t, f));
}

// Forming bars: output column i holds the bar formed up to base column i.
void combine_blocks_running(const Blocks &b, const std::vector<Run> &runs) {
    dispatch_block(b.known_fields(), b.source(), [&](auto k, auto s) {
        for (size_t t = 0; t < b.targets; ++t)
            combine_block_running<decltype(k)::value, decltype(s)::value>(b.in(t), runs,
                                                                         b.out_block(t));
    });
    for (size_t t = 0; t < b.targets; ++t)
        for (size_t f = kKnownFields; f < b.bar_len; ++f)
            last_running(b.extra_in(t, f), runs, b.extra_out(t, f));
}

// An optional traded mask: one row of flags per target, one column per
// column of the matrix it belongs to. Any numeric or bool array; non-zero
// is traded.
ArrayView<uint8_t> mask_arg(nb::handle obj, size_t targets, size_t cols) {
    ArrayView<uint8_t> mask(numeric_array(obj, "traded"), "traded", 2);
    if (mask.rows() != targets || mask.cols() != cols)
        raise_value_error("traded has shape (" + std::to_string(mask.rows()) + ", " +
                          std::to_string(mask.cols()) + "), expected (" + std::to_string(targets) +
                          ", " + std::to_string(cols) + "): one row per target, one column per bar");
    return mask;
}

// tvCalcCombineMatrixHtoL(base_matrix, matrix, begin_pos, end_pos, bar_len,
//                         offset=0, head_len=4, traded=None)
// A matrix with the head rows of `matrix` and the target rows of
// base_matrix's shape, holding for each column k the base bars
// begin_pos[k]..end_pos[k] combined. `matrix` may be the head rows alone.
nb::object tvCalcCombineMatrixHtoL(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("tvCalcCombineMatrixHtoL",
                               {"base_matrix", "matrix", "begin_pos", "end_pos", "bar_len",
                                "offset", "head_len", "traded"},
                               5);
    auto v = sig.bind(args, kwargs);
    ArrayView<double> base = input_view<double>(v[0], "base_matrix", 2);
    ArrayView<double> target = input_view<double>(v[1], "matrix", 2);
    const int64_t bar_len = integer_arg(v[4], "bar_len");
    const int64_t offset = v[5].is_valid() ? non_negative_arg(v[5], "offset") : 0;
    const int64_t head_len = v[6].is_valid() ? integer_arg(v[6], "head_len") : kHeadLen;
    Layout layout = layout_from_head(base.rows(), head_len, bar_len, "base_matrix");
    if (target.rows() != base.rows() && target.rows() != layout.head)
        raise_value_error("matrix has " + std::to_string(target.rows()) +
                          " rows, base_matrix has " + std::to_string(base.rows()) + " (or give its " +
                          std::to_string(layout.head) + " head rows alone)");
    const size_t cols = target.cols();
    Ranges r = ranges_arg(v[2], v[3], cols, base.cols(), offset);
    ArrayView<uint8_t> mask;
    if (v[7].is_valid() && !v[7].is_none())
        mask = mask_arg(v[7], layout.targets, base.cols());
    ArrayView<double> out = new_matrix(base.rows(), cols);
    {
        // Everything the loop touches is a raw buffer from here on.
        nb::gil_scoped_release release;
        std::copy(target.data(), target.data() + layout.head * cols, out.data());
        Blocks b{base.data() + layout.head * base.cols(), base.cols(), out.data() + layout.head * cols,
                 cols, layout.targets, layout.bar_len, mask.data()};
        combine_blocks_ranges(b, r);
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
        Blocks b{base.data() + layout.head * cols, cols, out.data() + layout.head * cols, cols,
                 layout.targets, layout.bar_len, nullptr};
        combine_blocks_running(b, running_runs(r.begin, r.end));
    }
    return out.object();
}

// Forming bars of every target into `out` (out_cols = kept.size() wide),
// keeping only the base columns `kept`. When every column is kept the walk
// writes straight into `out`; otherwise each target's rows are formed in a
// scratch block of one target's size and their kept columns copied out.
void forming_blocks(Blocks b, const std::vector<Run> &runs, const std::vector<size_t> &kept,
                    std::vector<double> &scratch) {
    if (kept.size() == b.base_cols) {
        combine_blocks_running(b, runs);
        return;
    }
    double *const out = b.out;
    const size_t out_cols = b.out_cols, targets = b.targets;
    b.out = scratch.data();
    b.out_cols = b.base_cols;
    b.targets = 1;
    const double *const base = b.base;
    const uint8_t *const mask = b.mask;
    for (size_t t = 0; t < targets; ++t) {
        b.base = base + t * b.bar_len * b.base_cols;
        b.mask = mask ? mask + t * b.base_cols : nullptr;
        combine_blocks_running(b, runs);
        gather_columns(scratch.data(), b.base_cols, b.bar_len, kept, out + t * b.bar_len * out_cols);
    }
}

// The forming bars of every target at every kept base column, without head
// rows; with_time_row puts the base time row (row 0 of the matrix) on top.
// The adjusted form takes an optional traded mask. Both write into `out`
// when given (and return it), else into a new matrix.
nb::object forming_bars(const char *func, nb::args args, nb::kwargs kwargs, bool with_time_row) {
    const Signature sig = with_time_row
        ? Signature(func, {"matrix", "begin_pos", "end_pos", "bar_len", "targets_len", "offset",
                           "out", "keep"}, 5, 6)
        : Signature(func, {"matrix", "begin_pos", "end_pos", "bar_len", "targets_len", "offset",
                           "traded", "out", "keep"}, 5, 7);
    auto v = sig.bind(args, kwargs);
    const size_t out_arg_at = with_time_row ? 6 : 7;
    ArrayView<double> base = input_view<double>(v[0], "matrix", 2);
    const int64_t bar_len = integer_arg(v[3], "bar_len");
    const int64_t targets = integer_arg(v[4], "targets_len");
    const int64_t offset = v[5].is_valid() ? non_negative_arg(v[5], "offset") : 0;
    Layout layout = layout_from_targets(base.rows(), targets, bar_len, with_time_row ? 1 : 0,
                                        "matrix");
    const size_t cols = base.cols();
    Ranges r = ranges_arg(v[1], v[2], cols, cols, offset);
    ArrayView<uint8_t> mask;
    if (!with_time_row && v[6].is_valid() && !v[6].is_none())
        mask = mask_arg(v[6], layout.targets, cols);
    const std::vector<size_t> kept = kept_columns(v[out_arg_at + 1], cols);
    const size_t body_rows = layout.targets * layout.bar_len;
    bool with_top = with_time_row;
    ArrayView<double> out;
    if (v[out_arg_at].is_valid() && !v[out_arg_at].is_none())
        out = out_arg(v[out_arg_at], body_rows + (with_time_row ? 1 : 0), body_rows, kept.size(),
                      base.object(), with_top);
    else
        out = new_matrix(body_rows + (with_time_row ? 1 : 0), kept.size());
    const size_t top = with_top ? 1 : 0;
    std::vector<double> scratch(kept.size() == cols ? 0 : layout.bar_len * cols);
    {
        nb::gil_scoped_release release;
        if (with_top)
            gather_columns(base.data(), cols, 1, kept, out.data());
        Blocks b{base.data() + layout.head * cols, cols, out.data() + top * kept.size(),
                 kept.size(), layout.targets, layout.bar_len, mask.data()};
        forming_blocks(b, running_runs(r.begin, r.end), kept, scratch);
    }
    return out.object();
}

// tvCalcDataValueFresh(matrix, begin_pos, end_pos, bar_len, targets_len, offset=0,
//                      *, out=None, keep=None)
// Row 0 the base time row, then bar_len rows per target: the registered bar
// as formed up to each base column. The matrix's head rows are the rows
// above its targets_len blocks (at least one, the time row).
nb::object tvCalcDataValueFresh(nb::args args, nb::kwargs kwargs) {
    return forming_bars("tvCalcDataValueFresh", args, kwargs, true);
}

// tvCalcDataValueFresh_Adj(matrix, begin_pos, end_pos, bar_len, targets_len, offset=0,
//                          traded=None, *, out=None, keep=None)
// The same for an adjusted price matrix, which has no head rows: targets_len
// blocks of bar_len rows (open, high, low, close), and no time row out. An
// adjusted price block has no volume, and across a main-contract roll a
// filled bar's adjusted price is not the previous adjusted close, so which
// bars traded comes from the unadjusted bars: `traded`, as
// tvCalcTradedMask gives it for the base K matrix of the same columns.
nb::object tvCalcDataValueFresh_Adj(nb::args args, nb::kwargs kwargs) {
    return forming_bars("tvCalcDataValueFresh_Adj", args, kwargs, false);
}

// tvCalcTradedMask(matrix, head_len=4, bar_len=7) -> bool array (targets, columns)
nb::object tvCalcTradedMask(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("tvCalcTradedMask", {"matrix", "head_len", "bar_len"}, 1);
    auto v = sig.bind(args, kwargs);
    ArrayView<double> matrix = input_view<double>(v[0], "matrix", 2);
    const int64_t head_len = v[1].is_valid() ? integer_arg(v[1], "head_len") : kHeadLen;
    const int64_t bar_len = v[2].is_valid() ? integer_arg(v[2], "bar_len") : kKnownFields;
    Layout layout = layout_from_head(matrix.rows(), head_len, bar_len, "matrix");
    const size_t n = matrix.cols();
    ArrayView<uint8_t> out(new_array(nb::make_tuple(layout.targets, n), "bool"), "result", 2, true);
    {
        nb::gil_scoped_release release;
        const int known = static_cast<int>(std::min<size_t>(layout.bar_len, kKnownFields));
        dispatch_block(known, source_for(known, kVolume, false), [&](auto k, auto s) {
            for (size_t t = 0; t < layout.targets; ++t) {
                BlockIn in;
                for (int f = 0; f < known; ++f)
                    in.row[f] = matrix.data() + (layout.head + t * layout.bar_len + f) * n;
                in.n = static_cast<int64_t>(n);
                traded_flags<decltype(k)::value, decltype(s)::value>(in, out.data() + t * n);
            }
        });
    }
    return out.object();
}

} // namespace

void register_combine(nb::module_ &m) {
    m.def("tvCalcCombineMatrixHtoL", &tvCalcCombineMatrixHtoL,
          nb::sig("def tvCalcCombineMatrixHtoL(base_matrix: numpy.typing.ArrayLike, "
                  "matrix: numpy.typing.ArrayLike, begin_pos: numpy.typing.ArrayLike, "
                  "end_pos: numpy.typing.ArrayLike, bar_len: int, offset: int = 0, "
                  "head_len: int = 4, "
                  "traded: numpy.typing.ArrayLike | None = None) -> numpy.ndarray"),
          "The head rows of `matrix` (which may be those rows alone) over target rows that\n"
          "hold, for every column k, the base bars begin_pos[k]..end_pos[k] of `base_matrix`\n"
          "combined, NaN skipped: open first, high max and low min over the traded bars,\n"
          "close last, volume and turnover summed, open interest last. A bar without a\n"
          "traded base bar is a filled bar at its last close; an empty or all-NaN range\n"
          "gives NaN. A bar is filled when its volume is exactly 0 and its four prices\n"
          "equal the previous close (see tvCalcTradedMask); `traded` (targets x base\n"
          "columns) overrides that, for adjusted prices. Positions are absolute base\n"
          "columns; `offset` is the column of base_matrix's first column.\n"
          "bar_len: rows per target; head_len: head rows of both matrices; traded: see above.");
    m.def("tvCalcCombineMatrix1toN", &tvCalcCombineMatrix1toN,
          nb::sig("def tvCalcCombineMatrix1toN(matrix: numpy.typing.ArrayLike, "
                  "begin_pos: numpy.typing.ArrayLike, end_pos: numpy.typing.ArrayLike, "
                  "bar_len: int, offset: int = 0, head_len: int = 4) -> numpy.ndarray"),
          "A matrix shaped like `matrix`, head rows copied, whose target rows hold at every\n"
          "column i the bar formed from begin_pos[i] up to min(i, end_pos[i]) (the whole\n"
          "N-unit bar where i closes it), combined as tvCalcCombineMatrixHtoL does.\n"
          "Positions as tvCalcRegKDataBeginEndPos makes them.\n"
          "bar_len: rows per target; offset: the absolute column of matrix's first column;\n"
          "head_len: head rows.");
    m.def("tvCalcDataValueFresh", &tvCalcDataValueFresh,
          nb::sig("def tvCalcDataValueFresh(matrix: numpy.typing.ArrayLike, "
                  "begin_pos: numpy.typing.ArrayLike, end_pos: numpy.typing.ArrayLike, "
                  "bar_len: int, targets_len: int, offset: int = 0, "
                  "*, out: numpy.ndarray | None = None, "
                  "keep: numpy.typing.ArrayLike | None = None) -> numpy.ndarray"),
          "Row 0: the base time row; then bar_len rows per target (the matrix's last\n"
          "targets_len blocks): the bar formed from begin_pos[i] up to base column i,\n"
          "combined as tvCalcCombineMatrixHtoL does (filled bars lend no price).\n"
          "begin_pos, end_pos: base-column positions as tvCalcRegKDataBeginEndPos makes them;\n"
          "offset: the absolute column of matrix's first column.\n"
          "keep: one flag per base column; only the flagged columns are in the result.\n"
          "out: a writable C-contiguous float64 matrix of the result's shape (or without\n"
          "the time row, which is then not written), sharing no memory with matrix; the\n"
          "result is written into it and it is returned.");
    m.def("tvCalcDataValueFresh_Adj", &tvCalcDataValueFresh_Adj,
          nb::sig("def tvCalcDataValueFresh_Adj(matrix: numpy.typing.ArrayLike, "
                  "begin_pos: numpy.typing.ArrayLike, end_pos: numpy.typing.ArrayLike, "
                  "bar_len: int, targets_len: int, offset: int = 0, "
                  "traded: numpy.typing.ArrayLike | None = None, "
                  "*, out: numpy.ndarray | None = None, "
                  "keep: numpy.typing.ArrayLike | None = None) -> numpy.ndarray"),
          "Like tvCalcDataValueFresh for an adjusted price matrix (targets_len blocks of\n"
          "bar_len rows, no head rows); no time row in the result. Adjusted prices carry\n"
          "no volume: pass `traded`, tvCalcTradedMask of the unadjusted base K matrix, or\n"
          "every bar with a close counts as traded. matrix, begin_pos, end_pos, offset,\n"
          "keep as for tvCalcDataValueFresh; out: the result's shape, as there.");
    m.def("tvCalcTradedMask", &tvCalcTradedMask,
          nb::sig("def tvCalcTradedMask(matrix: numpy.typing.ArrayLike, head_len: int = 4, "
                  "bar_len: int = 7) -> numpy.ndarray"),
          "Which bars traded, one row per target (bool, targets x columns). A bar is\n"
          "filled when its volume is exactly 0 and its open, high, low and close all equal\n"
          "the close of the nearest earlier bar that has one (the first bar with a close in\n"
          "view: when its four prices are equal); every other bar with a close traded. So\n"
          "data without volumes (NaN, or 0 with moving prices) keeps its prices.\n"
          "matrix: a K matrix; head_len: its head rows; bar_len: rows per target.");
}

} // namespace numkern
} // namespace telvar
