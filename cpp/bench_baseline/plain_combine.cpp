// BENCHMARK ONLY: the lower bound bench/bench_kernels.py measures the bar
// combining kernels against. One plain fused pass over each target's rows:
// every bar is one loop over its base columns reading all fields together,
// with the kernels' arithmetic (open, high and low from the traded bars of
// common/traded_bar.hpp, close and open interest last, volume and turnover
// summed, NaN skipped, a bar without a traded bar filled at its last close).
// A forming bar adds its columns one by one; a whole bar in the kernels'
// order: four running sums (max, min) taking every fourth column, the
// columns after the last full four added to the first, joined as
// (0 + 1) + (2 + 3). Nothing else: the bars are consecutive groups of columns
// given by their last columns, no positions, no head rows, checks only where
// memory safety needs them.
#include "common/arrays.hpp"
#include "common/traded_bar.hpp"

#include <nanobind/nanobind.h>

#include <cstdint>
#include <limits>
#include <string>

namespace nb = nanobind;

namespace telvar {
namespace bench_baseline {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A block of `fields` rows: 7 (K matrix, judged by the rule) or 4 (adjusted
// prices, judged by a traded mask and their close).
struct Block {
    const double *in[7] = {};
    double *out[7] = {};
    const uint8_t *mask = nullptr;
};

// Bars of consecutive groups of columns; group g ends at column ends[g].
// Forming: the bar formed so far written at every column; otherwise each
// group's bar written at column g.
template <int fields, bool forming>
void plain_block(const Block &k, const int64_t *ends, size_t groups) {
    double last = kNaN; // the last close so far
    int64_t b = 0;
    for (size_t g = 0; g < groups; ++g) {
        const int64_t e = ends[g];
        const int64_t quads_end = forming ? b : b + (e - b + 1) / 4 * 4;
        double open = kNaN, oi = kNaN;
        double high[4] = {-kInf, -kInf, -kInf, -kInf}, low[4] = {kInf, kInf, kInf, kInf};
        double volume[4] = {}, turnover[4] = {};
        bool traded_any = false, high_seen = false, low_seen = false, close_seen = false;
        bool volume_seen = false, turnover_seen = false;
        auto emit = [&](int64_t col) {
            const double close = close_seen ? last : kNaN;
            const bool filled = !traded_any;
            double h = high[0], l = low[0], v = volume[0], t = turnover[0];
            if (!forming) {
                const double h01 = high[1] > high[0] ? high[1] : high[0];
                const double h23 = high[3] > high[2] ? high[3] : high[2];
                h = h23 > h01 ? h23 : h01;
                const double l01 = low[1] < low[0] ? low[1] : low[0];
                const double l23 = low[3] < low[2] ? low[3] : low[2];
                l = l23 < l01 ? l23 : l01;
                v = (volume[0] + volume[1]) + (volume[2] + volume[3]);
                t = (turnover[0] + turnover[1]) + (turnover[2] + turnover[3]);
            }
            k.out[0][col] = filled ? close : open;
            k.out[1][col] = filled ? close : (high_seen ? h : kNaN);
            k.out[2][col] = filled ? close : (low_seen ? l : kNaN);
            k.out[3][col] = close;
            if constexpr (fields == 7) {
                k.out[4][col] = volume_seen ? v : kNaN;
                k.out[5][col] = turnover_seen ? t : kNaN;
                k.out[6][col] = oi;
            }
        };
        auto take = [&](int lane, int64_t j) {
            const double o = k.in[0][j], h = k.in[1][j], l = k.in[2][j], c = k.in[3][j];
            const bool has_close = c == c;
            bool traded;
            if constexpr (fields == 7) {
                const double ref = last == last ? last : c;
                traded = has_close & !is_filled_after(o, h, l, c, k.in[4][j], ref);
            } else {
                traded = (k.mask[j] != 0) & has_close;
            }
            traded_any |= traded;
            open = (open == open) | !traded ? open : o;
            high[lane] = traded & (h > high[lane]) ? h : high[lane];
            high_seen |= traded & (h == h);
            low[lane] = traded & (l < low[lane]) ? l : low[lane];
            low_seen |= traded & (l == l);
            last = has_close ? c : last;
            close_seen |= has_close;
            if constexpr (fields == 7) {
                const double v = k.in[4][j], t = k.in[5][j], i = k.in[6][j];
                volume[lane] += v == v ? v : 0.0;
                volume_seen |= v == v;
                turnover[lane] += t == t ? t : 0.0;
                turnover_seen |= t == t;
                oi = i == i ? i : oi;
            }
            if constexpr (forming)
                emit(j);
        };
        int64_t j = b;
        for (; j < quads_end; j += 4)
            for (int lane = 0; lane < 4; ++lane)
                take(lane, j + lane);
        for (; j <= e; ++j)
            take(0, j);
        if constexpr (!forming)
            emit(static_cast<int64_t>(g));
        b = e + 1;
    }
}

nb::object run(nb::handle matrix_obj, nb::handle ends_obj, int64_t head_len, int64_t bar_len,
               nb::handle traded_obj, bool forming) {
    ArrayView<double> matrix(matrix_obj, "matrix", 2);
    ArrayView<int64_t> ends(ends_obj, "ends", 1);
    const bool masked = !traded_obj.is_none();
    const size_t rows = matrix.rows(), n = matrix.cols();
    if (!(masked ? bar_len == 4 : bar_len == 7) || head_len < 0 ||
        static_cast<size_t>(head_len) > rows ||
        (rows - static_cast<size_t>(head_len)) % static_cast<size_t>(bar_len) != 0)
        raise_value_error("bar_len must be 7 (4 with a traded mask), with whole blocks under "
                          "head_len rows");
    const size_t head = static_cast<size_t>(head_len), fields = static_cast<size_t>(bar_len);
    const size_t targets = (rows - head) / fields, groups = ends.size();
    for (size_t g = 0; g < groups; ++g)
        if (ends[g] < (g ? ends[g - 1] + 1 : 0) || ends[g] >= static_cast<int64_t>(n))
            raise_value_error("ends must rise strictly inside the matrix's columns");
    if (groups ? ends[groups - 1] != static_cast<int64_t>(n) - 1 : n != 0)
        raise_value_error("the last group must end at the last column");
    ArrayView<uint8_t> mask;
    if (masked) {
        mask = ArrayView<uint8_t>(traded_obj, "traded", 2);
        if (mask.rows() != targets || mask.cols() != n)
            raise_value_error("traded must have one row per target, one column per bar");
    }
    nb::module_ np = nb::module_::import_("numpy");
    const size_t out_cols = forming ? n : groups;
    ArrayView<double> out(np.attr("empty")(nb::make_tuple(targets * fields, out_cols)), "result", 2,
                          true);
    {
        nb::gil_scoped_release release; // raw buffers only from here on
        for (size_t t = 0; t < targets; ++t) {
            Block k;
            for (size_t f = 0; f < fields; ++f) {
                k.in[f] = matrix.data() + (head + t * fields + f) * n;
                k.out[f] = out.data() + (t * fields + f) * out_cols;
            }
            k.mask = masked ? mask.data() + t * n : nullptr;
            if (fields == 7)
                forming ? plain_block<7, true>(k, ends.data(), groups)
                        : plain_block<7, false>(k, ends.data(), groups);
            else
                forming ? plain_block<4, true>(k, ends.data(), groups)
                        : plain_block<4, false>(k, ends.data(), groups);
        }
    }
    return out.object();
}

} // namespace
} // namespace bench_baseline
} // namespace telvar

NB_MODULE(_kernel_baseline, m) {
    using telvar::bench_baseline::run;
    m.doc() = "Benchmark only: the plain fused loops bench/bench_kernels.py measures the bar "
              "combining kernels against.";
    m.def(
        "combine",
        [](nb::handle matrix, nb::handle ends, int64_t head_len, int64_t bar_len,
           nb::handle traded) { return run(matrix, ends, head_len, bar_len, traded, false); },
        nb::arg("matrix"), nb::arg("ends"), nb::arg("head_len"), nb::arg("bar_len"),
        nb::arg("traded") = nb::none(),
        "The target rows of the bars of consecutive column groups (group g ends at\n"
        "column ends[g]); matrix: head_len head rows over blocks of bar_len rows (7, or 4\n"
        "with traded, a targets x columns mask).");
    m.def(
        "forming",
        [](nb::handle matrix, nb::handle ends, int64_t head_len, int64_t bar_len,
           nb::handle traded) { return run(matrix, ends, head_len, bar_len, traded, true); },
        nb::arg("matrix"), nb::arg("ends"), nb::arg("head_len"), nb::arg("bar_len"),
        nb::arg("traded") = nb::none(),
        "The target rows of the bar formed so far at every column, groups and arguments\n"
        "as for combine.");
}
