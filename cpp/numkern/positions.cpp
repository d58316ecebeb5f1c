// Position kernels: where the bars of one time line lie in another, which
// bars close an N-unit bar, and which column holds a strategy bar. A bar is
// labelled by its end time, so bar k of a time line covers the times in
// (time[k-1], time[k]]; its first bar takes everything up to its time.
#include "kernel_args.hpp"
#include "kernels.hpp"

#include "common/args.hpp"

#include <algorithm>

namespace nb = nanobind;

namespace telvar {
namespace numkern {
namespace {

constexpr int64_t kFreqTick = 0, kFreqDay = 2, kFreqYear = 5;

// Number of base times <= t (an upper bound), moving `pos` forward only.
inline int64_t advance_past(const double *base, int64_t n, int64_t pos, double t) {
    while (pos < n && base[pos] <= t)
        ++pos;
    return pos;
}

// tvCalcKDataBeginEndPos(base_time_line, time_line) -> (begin_pos, end_pos)
// For every bar k of time_line, the first and last base column inside it.
// A bar with no base bar has begin_pos = end_pos + 1.
nb::object tvCalcKDataBeginEndPos(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("tvCalcKDataBeginEndPos", {"base_time_line", "time_line"}, 2);
    auto v = sig.bind(args, kwargs);
    ArrayView<double> base = time_line_arg(v[0], "base_time_line");
    ArrayView<double> tl = time_line_arg(v[1], "time_line");
    const size_t m = tl.size();
    ArrayView<int64_t> begin = new_vector<int64_t>(m), end = new_vector<int64_t>(m);
    {
        nb::gil_scoped_release release;
        const int64_t n = static_cast<int64_t>(base.size());
        int64_t pos = 0;
        for (size_t k = 0; k < m; ++k) {
            begin[k] = pos;
            pos = advance_past(base.data(), n, pos, tl[k]);
            end[k] = pos - 1;
        }
    }
    return nb::make_tuple(begin.object(), end.object());
}

// tvCalcRegKDataBeginEndPos(base_time_line, time_line, offset=0) -> (begin_pos, end_pos)
// One entry per BASE column: the first and last base column of the bar of
// time_line that the column belongs to. Base columns after the last bar of
// time_line form one trailing, still open bar that ends at the last base
// column. Positions are absolute: offset is added to each.
nb::object tvCalcRegKDataBeginEndPos(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("tvCalcRegKDataBeginEndPos",
                               {"base_time_line", "time_line", "offset"}, 2);
    auto v = sig.bind(args, kwargs);
    ArrayView<double> base = time_line_arg(v[0], "base_time_line");
    ArrayView<double> tl = time_line_arg(v[1], "time_line");
    const int64_t offset = v[2].is_valid() ? non_negative_arg(v[2], "offset") : 0;
    const size_t n = base.size();
    ArrayView<int64_t> begin = new_vector<int64_t>(n), end = new_vector<int64_t>(n);
    {
        nb::gil_scoped_release release;
        const int64_t nn = static_cast<int64_t>(n);
        const size_t m = tl.size();
        int64_t bar_begin = 0;
        size_t k = 0;
        int64_t i = 0;
        while (i < nn) {
            while (k < m && tl[k] < base[i]) // bars that hold no base column
                bar_begin = advance_past(base.data(), nn, bar_begin, tl[k++]);
            const int64_t bar_end = k < m ? advance_past(base.data(), nn, i, tl[k]) - 1 : nn - 1;
            for (; i <= bar_end; ++i) {
                begin[i] = bar_begin + offset;
                end[i] = bar_end + offset;
            }
            bar_begin = bar_end + 1;
            ++k;
        }
    }
    return nb::make_tuple(begin.object(), end.object());
}

// tvCalcKDataCurrentBar(time_line, fresh_time_line) -> int64 array
// For every strategy bar time, the column of the bar containing it: the first
// column whose time is at or after it (len(time_line) when none is).
nb::object tvCalcKDataCurrentBar(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("tvCalcKDataCurrentBar", {"time_line", "fresh_time_line"}, 2);
    auto v = sig.bind(args, kwargs);
    ArrayView<double> tl = time_line_arg(v[0], "time_line");
    ArrayView<double> fresh = input_view<double>(v[1], "fresh_time_line", 1);
    for (size_t i = 0; i < fresh.size(); ++i)
        if (fresh[i] != fresh[i])
            raise_value_error("fresh_time_line holds NaN at position " + std::to_string(i));
    ArrayView<int64_t> out = new_vector<int64_t>(fresh.size());
    {
        nb::gil_scoped_release release;
        const double *first = tl.data(), *last = tl.data() + tl.size();
        for (size_t i = 0; i < fresh.size(); ++i)
            out[i] = std::lower_bound(first, last, fresh[i]) - first;
    }
    return out.object();
}

// tvCalculateFreshMask(day_pos, frequency_i, freq_num) -> bool array
// True at the bars that close an N-unit bar. Intraday frequencies count per
// trading day from the day position (1 = the day's first bar): a bar closes
// when its position is a multiple of N or when the next bar starts a new day.
// The series' last bar closes only on a multiple of N: nothing says its day
// is over, so a trailing short bar stays open (the forming-bar kernels still
// cover it). Bars with a day position below 1 lie before the first day start
// and close only where that day starts. Day and coarser frequencies count N
// bars over the whole series, from its first bar.
nb::object tvCalculateFreshMask(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("tvCalculateFreshMask", {"day_pos", "frequency_i", "freq_num"}, 3);
    auto v = sig.bind(args, kwargs);
    ArrayView<double> day_pos = input_view<double>(v[0], "day_pos", 1);
    const int64_t freq = integer_arg(v[1], "frequency_i");
    const int64_t freq_num = integer_arg(v[2], "freq_num");
    if (freq < kFreqTick || freq > kFreqYear)
        raise_value_error("frequency_i " + std::to_string(freq) + " is not a frequency code");
    if (freq_num < 1)
        raise_value_error("freq_num must be at least 1, got " + std::to_string(freq_num));
    const size_t n = day_pos.size();
    std::vector<int64_t> pos(freq < kFreqDay ? n : 0);
    for (size_t i = 0; i < pos.size(); ++i)
        pos[i] = checked_integer(day_pos[i], "day_pos");
    ArrayView<uint8_t> out = new_vector<uint8_t>(n);
    {
        nb::gil_scoped_release release;
        for (size_t i = 0; i < n; ++i) {
            if (freq >= kFreqDay)
                out[i] = (static_cast<int64_t>(i) + 1) % freq_num == 0;
            else
                out[i] = (pos[i] >= 1 && pos[i] % freq_num == 0) ||
                         (i + 1 < n && pos[i + 1] == 1);
        }
    }
    return out.object();
}

} // namespace

void register_positions(nb::module_ &m) {
    m.def("tvCalcKDataBeginEndPos", &tvCalcKDataBeginEndPos,
          nb::sig("def tvCalcKDataBeginEndPos(base_time_line: numpy.typing.ArrayLike, "
                  "time_line: numpy.typing.ArrayLike) -> tuple[numpy.ndarray, numpy.ndarray]"),
          "(begin_pos, end_pos): for every bar k of time_line, the first and last column of\n"
          "base_time_line in (time_line[k-1], time_line[k]] (the first bar takes all\n"
          "earlier columns); a bar with no base column has begin_pos = end_pos + 1.");
    m.def("tvCalcRegKDataBeginEndPos", &tvCalcRegKDataBeginEndPos,
          nb::sig("def tvCalcRegKDataBeginEndPos(base_time_line: numpy.typing.ArrayLike, "
                  "time_line: numpy.typing.ArrayLike, offset: int = 0) -> tuple[numpy.ndarray, "
                  "numpy.ndarray]"),
          "(begin_pos, end_pos), one entry per base column: the first and last base column\n"
          "of the bar of time_line it belongs to. Columns after the last bar form an open\n"
          "trailing bar ending at the last column. `offset` is added to every position.\n"
          "base_time_line, time_line: ascending bar end times (serial days).");
    m.def("tvCalcKDataCurrentBar", &tvCalcKDataCurrentBar,
          nb::sig("def tvCalcKDataCurrentBar(time_line: numpy.typing.ArrayLike, "
                  "fresh_time_line: numpy.typing.ArrayLike) -> numpy.ndarray"),
          "For every strategy bar time, the column of time_line whose bar contains it (the\n"
          "first at or after it; len(time_line) when there is none), int64.\n"
          "time_line: the item's bar times; fresh_time_line: the strategy's bar times.");
    m.def("tvCalculateFreshMask", &tvCalculateFreshMask,
          nb::sig("def tvCalculateFreshMask(day_pos: numpy.typing.ArrayLike, frequency_i: int, "
                  "freq_num: int) -> numpy.ndarray"),
          "Boolean mask, true at the bars that close an N-unit bar. Intraday frequencies\n"
          "count per trading day from day_pos (a day's last bar always closes a bar; the\n"
          "series' last bar only on a multiple of N); day and coarser count over the series.\n"
          "frequency_i: frequency code (min 1, day 2, ...); freq_num: N, units per bar.");
}

} // namespace numkern
} // namespace telvar
