// BENCHMARK ONLY - not part of the kernel interface. The lower bound that
// bench/bench_kernels.py measures the combining kernels against: one plain
// pass over a K matrix's targets in fixed groups of `width` columns, with the
// same accumulator as the kernels (combine_ops.hpp: traded bars, NaN
// skipping) and nothing else: no positions, no runs, no checks beyond what
// keeps memory safe, no head rows.
#include "kernel_args.hpp"
#include "kernels.hpp"

#include "combine_ops.hpp"

#include <algorithm>
#include <vector>

namespace nb = nanobind;

namespace telvar {
namespace numkern {
namespace {

struct PlainInput {
    ArrayView<double> matrix;
    size_t width, head, bar_len, rows, cols;
};

PlainInput plain_input(nb::handle matrix, int64_t width, int64_t head_len, int64_t bar_len) {
    PlainInput in{ArrayView<double>(matrix, "matrix", 2), 0, 0, 0, 0, 0};
    if (width < 1 || bar_len != kKnownFields || head_len < 0 ||
        static_cast<size_t>(head_len) > in.matrix.rows() ||
        (in.matrix.rows() - static_cast<size_t>(head_len)) % kKnownFields != 0)
        raise_value_error("bad width, head_len or bar_len");
    in.width = static_cast<size_t>(width);
    in.head = static_cast<size_t>(head_len);
    in.bar_len = static_cast<size_t>(bar_len);
    in.rows = in.matrix.rows() - in.head;
    in.cols = in.matrix.cols();
    return in;
}

// A K matrix's targets in fixed groups of `width` columns: one pass per
// target over its seven fields, each group folded with the kernels'
// accumulator (the carried close runs straight through, as the groups are
// consecutive); `emit` is called with the accumulator after each column.
template <typename Emit> void plain_pass(const PlainInput &in, Emit &&emit) {
    const int64_t w = static_cast<int64_t>(in.width), n = static_cast<int64_t>(in.cols);
    for (size_t t = 0; t < in.rows / in.bar_len; ++t) {
        BlockIn block;
        for (int f = 0; f < kKnownFields; ++f)
            block.row[f] = in.matrix.data() + (in.head + t * in.bar_len + f) * in.cols;
        block.n = n;
        double prev = kNaN;
        for (int64_t start = 0; start < n; start += w) {
            BarAcc<kKnownFields, Source::Rule> acc;
            for (int64_t j = start; j < std::min(n, start + w); ++j) {
                acc.push(block, j, prev);
                emit(t, acc, j, j + 1 == std::min(n, start + w));
            }
        }
    }
}

std::vector<BlockOut> out_blocks(double *out, size_t targets, size_t cols) {
    std::vector<BlockOut> blocks(targets);
    for (size_t t = 0; t < targets; ++t)
        for (int f = 0; f < kKnownFields; ++f)
            blocks[t].row[f] = out + (t * kKnownFields + f) * cols;
    return blocks;
}

// _bench_plain_combine(matrix, width, head_len, bar_len) -> target rows of
// the width-column bars (the last one may be shorter). bar_len must be 7.
nb::object _bench_plain_combine(nb::handle matrix, int64_t width, int64_t head_len,
                                int64_t bar_len) {
    PlainInput in = plain_input(matrix, width, head_len, bar_len);
    const int64_t w = width, n = static_cast<int64_t>(in.cols);
    const int64_t out_cols = (n + w - 1) / w;
    ArrayView<double> out = new_matrix(in.rows, static_cast<size_t>(out_cols));
    {
        nb::gil_scoped_release release;
        const auto blocks = out_blocks(out.data(), in.rows / kKnownFields, static_cast<size_t>(out_cols));
        plain_pass(in, [&](size_t t, const BarAcc<kKnownFields, Source::Rule> &acc, int64_t j,
                           bool closes) {
            if (closes)
                acc.write(blocks[t], j / w);
        });
    }
    return out.object();
}

// _bench_plain_forming(matrix, width, head_len, bar_len) -> target rows of
// the width-column bar formed so far at every column. bar_len must be 7.
nb::object _bench_plain_forming(nb::handle matrix, int64_t width, int64_t head_len,
                                int64_t bar_len) {
    PlainInput in = plain_input(matrix, width, head_len, bar_len);
    ArrayView<double> out = new_matrix(in.rows, in.cols);
    {
        nb::gil_scoped_release release;
        const auto blocks = out_blocks(out.data(), in.rows / kKnownFields, in.cols);
        plain_pass(in, [&](size_t t, const BarAcc<kKnownFields, Source::Rule> &acc, int64_t j,
                           bool) { acc.write(blocks[t], j); });
    }
    return out.object();
}

} // namespace

void register_bench_baseline(nb::module_ &m) {
    m.def("_bench_plain_combine", &_bench_plain_combine);
    m.def("_bench_plain_forming", &_bench_plain_forming);
}

} // namespace numkern
} // namespace telvar
