// BENCHMARK ONLY - not part of the kernel interface. The lower bound that
// bench/bench_kernels.py measures the combining kernels against: one plain
// pass over a K matrix's targets in fixed groups of `width` columns, with the
// same arithmetic as the kernels (combine_blocks.hpp: traded bars, NaN
// skipping) and nothing else: no positions, no runs, no checks beyond what
// keeps memory safe, no head rows.
#include "kernel_args.hpp"
#include "kernels.hpp"

#include "combine_blocks.hpp"

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

// A K matrix's targets in fixed groups of `width` columns, with the kernels'
// arithmetic (combine_blocks.hpp): per target, spans of whole groups are
// marked for their traded bars, and `emit(block, span, g0, g1, out)`
// combines the span's groups g0..g1-1.
template <typename Emit>
void plain_pass(const PlainInput &in, double *out, size_t out_cols, Emit &&emit) {
    const int64_t w = static_cast<int64_t>(in.width), n = static_cast<int64_t>(in.cols);
    const int64_t per_span = std::max<int64_t>(1, kSpanColumns / w);
    TradedSpan span;
    for (size_t t = 0; t < in.rows / kKnownFields; ++t) {
        BlockIn block;
        BlockOut dst;
        for (int f = 0; f < kKnownFields; ++f) {
            block.row[f] = in.matrix.data() + (in.head + t * kKnownFields + f) * in.cols;
            dst.row[f] = out + (t * kKnownFields + f) * out_cols;
        }
        block.n = n;
        double prev = kNaN;
        for (int64_t g = 0; g * w < n; g += per_span) {
            const int64_t lo = g * w, hi = std::min(n, (g + per_span) * w);
            prev = traded_span<kKnownFields, Source::Rule>(block, lo, hi, prev, span);
            emit(block, span, static_cast<size_t>(g), static_cast<size_t>((hi + w - 1) / w), dst);
        }
    }
}

// Group k: columns k*width .. min(n, (k+1)*width) - 1.
struct Groups {
    std::vector<int64_t> begin, end, at;
    std::vector<Run> runs;
    Groups(int64_t n, int64_t w) {
        for (int64_t k = 0; k * w < n; ++k) {
            begin.push_back(k * w);
            end.push_back(std::min(n, (k + 1) * w) - 1);
            at.push_back(k);
            runs.push_back(Run{k * w, end.back() + 1, k * w, -2});
        }
    }
};

// _bench_plain_combine(matrix, width, head_len, bar_len) -> target rows of
// the width-column bars (the last one may be shorter). bar_len must be 7.
nb::object _bench_plain_combine(nb::handle matrix, int64_t width, int64_t head_len,
                                int64_t bar_len) {
    PlainInput in = plain_input(matrix, width, head_len, bar_len);
    const Groups groups(static_cast<int64_t>(in.cols), width);
    const size_t out_cols = groups.begin.size();
    ArrayView<double> out = new_matrix(in.rows, out_cols);
    {
        nb::gil_scoped_release release;
        plain_pass(in, out.data(), out_cols,
                   [&](const BlockIn &block, const TradedSpan &span, size_t g0, size_t g1,
                       const BlockOut &dst) {
                       write_ranges<kKnownFields>(block, span, groups.begin.data(), groups.end.data(),
                                                  g0, g1, groups.at.data(), dst);
                   });
    }
    return out.object();
}

// _bench_plain_forming(matrix, width, head_len, bar_len) -> target rows of
// the width-column bar formed so far at every column. bar_len must be 7.
nb::object _bench_plain_forming(nb::handle matrix, int64_t width, int64_t head_len,
                                int64_t bar_len) {
    PlainInput in = plain_input(matrix, width, head_len, bar_len);
    const Groups groups(static_cast<int64_t>(in.cols), width);
    ArrayView<double> out = new_matrix(in.rows, in.cols);
    {
        nb::gil_scoped_release release;
        plain_pass(in, out.data(), in.cols,
                   [&](const BlockIn &block, const TradedSpan &span, size_t g0, size_t g1,
                       const BlockOut &dst) {
                       write_runs<kKnownFields>(block, span, groups.runs.data(), g0, g1, dst);
                   });
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
