// BENCHMARK ONLY - not part of the kernel interface. The lower bound that
// bench/bench_kernels.py measures the combining kernels against: one plain
// pass over a K matrix's target rows in fixed groups of `width` columns, with
// the same NaN-skipping arithmetic and nothing else (no positions, no checks
// beyond what keeps memory safe, no head rows).
#include "kernel_args.hpp"
#include "kernels.hpp"

#include <cmath>

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

// field: 0 first, 1 max, 2 min, 4/5 sum, others last.
inline double step(int field, double acc, double x) {
    if (std::isnan(x))
        return acc;
    if (std::isnan(acc))
        return x;
    switch (field) {
    case 0: return acc;
    case 1: return x > acc ? x : acc;
    case 2: return x < acc ? x : acc;
    case 4:
    case 5: return acc + x;
    default: return x;
    }
}

// _bench_plain_combine(matrix, width, head_len, bar_len) -> target rows of
// the width-column bars (the last one may be shorter).
nb::object _bench_plain_combine(nb::handle matrix, int64_t width, int64_t head_len,
                                int64_t bar_len) {
    PlainInput in = plain_input(matrix, width, head_len, bar_len);
    const size_t out_cols = (in.cols + in.width - 1) / in.width;
    ArrayView<double> out = new_matrix(in.rows, out_cols);
    {
        nb::gil_scoped_release release;
        for (size_t r = 0; r < in.rows; ++r) {
            const int field = static_cast<int>(r % in.bar_len);
            const double *src = in.matrix.data() + (in.head + r) * in.cols;
            double *dst = out.data() + r * out_cols;
            for (size_t k = 0; k < out_cols; ++k) {
                double acc = NAN;
                const size_t stop = std::min(in.cols, (k + 1) * in.width);
                for (size_t j = k * in.width; j < stop; ++j)
                    acc = step(field, acc, src[j]);
                dst[k] = acc;
            }
        }
    }
    return out.object();
}

// _bench_plain_forming(matrix, width, head_len, bar_len) -> target rows of
// the width-column bar formed so far at every column.
nb::object _bench_plain_forming(nb::handle matrix, int64_t width, int64_t head_len,
                                int64_t bar_len) {
    PlainInput in = plain_input(matrix, width, head_len, bar_len);
    ArrayView<double> out = new_matrix(in.rows, in.cols);
    {
        nb::gil_scoped_release release;
        for (size_t r = 0; r < in.rows; ++r) {
            const int field = static_cast<int>(r % in.bar_len);
            const double *src = in.matrix.data() + (in.head + r) * in.cols;
            double *dst = out.data() + r * in.cols;
            double acc = NAN;
            for (size_t j = 0; j < in.cols; ++j) {
                if (j % in.width == 0)
                    acc = NAN;
                acc = step(field, acc, src[j]);
                dst[j] = acc;
            }
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
