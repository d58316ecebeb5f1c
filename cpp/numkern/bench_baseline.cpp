// BENCHMARK ONLY - not part of the kernel interface. The lower bound that
// bench/bench_kernels.py measures the combining kernels against: one plain
// pass over a K matrix's target rows in fixed groups of `width` columns, with
// the same NaN-skipping arithmetic primitives as the kernels (combine_ops.hpp)
// and nothing else: no positions, no checks beyond what keeps memory safe, no
// head rows.
#include "kernel_args.hpp"
#include "kernels.hpp"

#include "combine_ops.hpp"

#include <algorithm>

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
    if (width < 1 || bar_len < 1 || head_len < 0 ||
        static_cast<size_t>(head_len) > in.matrix.rows())
        raise_value_error("bad width, head_len or bar_len");
    in.width = static_cast<size_t>(width);
    in.head = static_cast<size_t>(head_len);
    in.bar_len = static_cast<size_t>(bar_len);
    in.rows = in.matrix.rows() - in.head;
    in.cols = in.matrix.cols();
    return in;
}

// _bench_plain_combine(matrix, width, head_len, bar_len) -> target rows of
// the width-column bars (the last one may be shorter).
nb::object _bench_plain_combine(nb::handle matrix, int64_t width, int64_t head_len,
                                int64_t bar_len) {
    PlainInput in = plain_input(matrix, width, head_len, bar_len);
    const int64_t w = width, n = static_cast<int64_t>(in.cols);
    const int64_t out_cols = (n + w - 1) / w;
    ArrayView<double> out = new_matrix(in.rows, static_cast<size_t>(out_cols));
    {
        nb::gil_scoped_release release;
        for (size_t r = 0; r < in.rows; ++r) {
            const double *src = in.matrix.data() + (in.head + r) * in.cols;
            double *dst = out.data() + r * out_cols;
            dispatch_op(op_for_field(r % in.bar_len), [&](auto op) {
                for (int64_t k = 0; k < out_cols; ++k)
                    dst[k] = reduce<decltype(op)::value>(src, k * w, std::min(n, (k + 1) * w) - 1);
            });
        }
    }
    return out.object();
}

// _bench_plain_forming(matrix, width, head_len, bar_len) -> target rows of
// the width-column bar formed so far at every column.
nb::object _bench_plain_forming(nb::handle matrix, int64_t width, int64_t head_len,
                                int64_t bar_len) {
    PlainInput in = plain_input(matrix, width, head_len, bar_len);
    const int64_t w = width, n = static_cast<int64_t>(in.cols);
    ArrayView<double> out = new_matrix(in.rows, in.cols);
    {
        nb::gil_scoped_release release;
        for (size_t r = 0; r < in.rows; ++r) {
            const double *src = in.matrix.data() + (in.head + r) * in.cols;
            double *dst = out.data() + r * in.cols;
            dispatch_op(op_for_field(r % in.bar_len), [&](auto op) {
                for (int64_t start = 0; start < n; start += w) {
                    Acc<decltype(op)::value> acc;
                    for (int64_t j = start; j < std::min(n, start + w); ++j) {
                        acc.push(src[j]);
                        dst[j] = acc.value();
                    }
                }
            });
        }
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
