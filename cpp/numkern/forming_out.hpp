// Where the forming-bar kernels write: a new matrix, or rows the caller
// hands over (`out`, e.g. the rows of the fresh-bar store a registration
// fills), and which base columns they keep (`keep`, e.g. the strategy
// bars'). Writing straight into the caller's rows, and only the kept
// columns, saves a registration a full-size result and a copy of it.
#pragma once

#include "kernel_args.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace telvar {
namespace numkern {

// The base columns to keep, in order: every column when `obj` is None or
// absent, else those whose flag in `obj` (one per base column) is non-zero.
// Copied out, so `keep` may be anything, even memory `out` covers.
inline std::vector<size_t> kept_columns(nb::handle obj, size_t cols) {
    std::vector<size_t> kept;
    if (!obj.is_valid() || obj.is_none()) {
        kept.resize(cols);
        for (size_t c = 0; c < cols; ++c)
            kept[c] = c;
        return kept;
    }
    ArrayView<uint8_t> flags(numeric_array(obj, "keep"), "keep", 1);
    if (flags.cols() != cols)
        raise_value_error("keep has " + std::to_string(flags.cols()) +
                          " flags, expected one per base column (" + std::to_string(cols) + ")");
    for (size_t c = 0; c < cols; ++c)
        if (flags[c])
            kept.push_back(c);
    return kept;
}

// The caller's output: a writable C-contiguous float64 matrix of `rows` (or,
// when `rows_without_top` differs from it, of that many: the result without
// its time row) x `cols`, sharing no memory with `input`. Sets `with_top`
// to whether it has room for a time row (never when the result has none:
// rows == rows_without_top).
inline ArrayView<double> out_arg(nb::handle obj, size_t rows, size_t rows_without_top, size_t cols,
                                 nb::handle input, bool &with_top) {
    ArrayView<double> out(obj, "out", 2, true);
    if (out.cols() != cols || (out.rows() != rows && out.rows() != rows_without_top)) {
        std::string expected = "(" + std::to_string(rows) + ", " + std::to_string(cols) + ")";
        if (rows_without_top != rows)
            expected += " or, without the time row, (" + std::to_string(rows_without_top) + ", " +
                        std::to_string(cols) + ")";
        raise_value_error("out has shape (" + std::to_string(out.rows()) + ", " +
                          std::to_string(out.cols()) + "), expected " + expected);
    }
    with_top = rows != rows_without_top && out.rows() == rows;
    nb::module_ np = nb::module_::import_("numpy");
    if (nb::cast<bool>(np.attr("may_share_memory")(out.object(), input)))
        raise_value_error("out must not share memory with the matrix it is computed from");
    return out;
}

// Rows of `in` (in_cols wide) at the kept columns, into rows of `out`.
inline void gather_columns(const double *in, size_t in_cols, size_t rows,
                           const std::vector<size_t> &kept, double *out) {
    const size_t out_cols = kept.size();
    for (size_t r = 0; r < rows; ++r) {
        const double *src = in + r * in_cols;
        double *dst = out + r * out_cols;
        for (size_t k = 0; k < out_cols; ++k)
            dst[k] = src[kept[k]];
    }
}

} // namespace numkern
} // namespace telvar
