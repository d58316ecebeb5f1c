// Bookkeeping kernels: where each target really traded in a filled K matrix,
// and MATLAB-style membership of one array's values in another.
#include "kernel_args.hpp"
#include "traded_span.hpp"
#include "kernels.hpp"

#include "common/args.hpp"

#include <algorithm>
#include <numeric>

namespace nb = nanobind;

namespace telvar {
namespace numkern {
namespace {

// tvMatrixUnfillComplete(matrix, head_len, bar_len, volume_offset)
//     -> (UnfilledBarRef, UnfilledIdx), each a list with one array per target.
// UnfilledIdx[t]: the columns where target t traded (common/traded_bar.hpp: every bar
// with a close except filled ones), ascending, int64. The prices are the
// block's first four fields, its volume the field at volume_offset.
// UnfilledBarRef[t][c]: the index into UnfilledIdx[t] of t's last real bar at
// or before column c, NaN while t has had none (float64).
nb::object tvMatrixUnfillComplete(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("tvMatrixUnfillComplete",
                               {"matrix", "head_len", "bar_len", "volume_offset"}, 4);
    auto v = sig.bind(args, kwargs);
    ArrayView<double> matrix = input_view<double>(v[0], "matrix", 2);
    const int64_t head_len = integer_arg(v[1], "head_len");
    const int64_t bar_len = integer_arg(v[2], "bar_len");
    const int64_t volume_offset = integer_arg(v[3], "volume_offset");
    Layout layout = layout_from_head(matrix.rows(), head_len, bar_len, "matrix");
    if (volume_offset <= kClose || volume_offset >= bar_len)
        raise_value_error("volume_offset must lie after the four prices, in " +
                          std::to_string(kClose + 1) + ".." + std::to_string(bar_len - 1) +
                          ", got " + std::to_string(volume_offset));
    const size_t n = matrix.cols();
    std::vector<uint8_t> flags(layout.targets * n);
    std::vector<size_t> counts(layout.targets);
    {
        nb::gil_scoped_release release;
        for (size_t t = 0; t < layout.targets; ++t) {
            const double *block = matrix.data() + (layout.head + t * layout.bar_len) * n;
            BlockIn in;
            for (int f = kOpen; f <= kClose; ++f)
                in.row[f] = block + static_cast<size_t>(f) * n;
            in.row[kVolume] = block + static_cast<size_t>(volume_offset) * n;
            in.n = static_cast<int64_t>(n);
            uint8_t *traded = flags.data() + t * n;
            traded_flags<kVolume + 1, Source::Rule>(in, traded);
            counts[t] = static_cast<size_t>(std::count(traded, traded + n, uint8_t{1}));
        }
    }
    nb::list bar_ref, idx;
    for (size_t t = 0; t < layout.targets; ++t) {
        ArrayView<int64_t> idx_t = new_vector<int64_t>(counts[t]);
        ArrayView<double> ref_t = new_vector<double>(n);
        {
            nb::gil_scoped_release release;
            const uint8_t *traded = flags.data() + t * n;
            size_t seen = 0; // real bars at or before column c
            for (size_t c = 0; c < n; ++c) {
                if (traded[c])
                    idx_t[seen++] = static_cast<int64_t>(c);
                ref_t[c] = seen == 0 ? kNaN : static_cast<double>(seen - 1);
            }
        }
        bar_ref.append(ref_t.object());
        idx.append(idx_t.object());
    }
    return nb::make_tuple(bar_ref, idx);
}

// Membership by binary search over b's values sorted with their first index.
template <typename T, typename Equal>
void member_loop(const T *a, size_t na, const T *b, size_t nb_, Equal usable, uint8_t *found,
                 int64_t *loc) {
    std::vector<size_t> order(nb_);
    std::iota(order.begin(), order.end(), size_t{0});
    order.erase(std::remove_if(order.begin(), order.end(), [&](size_t i) { return !usable(b[i]); }),
                order.end());
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t x, size_t y) { return b[x] < b[y]; });
    for (size_t i = 0; i < na; ++i) {
        auto it = std::lower_bound(order.begin(), order.end(), a[i],
                                   [&](size_t j, const T &value) { return b[j] < value; });
        const bool hit = usable(a[i]) && it != order.end() && b[*it] == a[i];
        found[i] = hit;
        loc[i] = hit ? static_cast<int64_t>(*it) : -1;
    }
}

bool integer_kind(const nb::object &arr) {
    std::string kind = nb::cast<std::string>(arr.attr("dtype").attr("kind"));
    size_t size = nb::cast<size_t>(arr.attr("dtype").attr("itemsize"));
    return kind == "b" || kind == "i" || (kind == "u" && size < 8);
}

// ismember(a, b) -> (found, loc), both shaped like a.
// found: whether each element of a occurs in b; loc: the lowest index in b
// (b flattened) of that value, -1 where it does not occur (0-based, unlike
// MATLAB's 0 for absent). NaN is never a member. Integer arrays are compared
// exactly, anything else as float64.
nb::object ismember(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("ismember", {"a", "b"}, 2);
    auto v = sig.bind(args, kwargs);
    nb::object a_arr = numeric_array(v[0], "a");
    nb::object b_arr = numeric_array(v[1], "b");
    nb::object shape = a_arr.attr("shape");
    nb::object a_flat = a_arr.attr("ravel")(), b_flat = b_arr.attr("ravel")();
    const size_t na = nb::len(a_flat);
    ArrayView<uint8_t> found = new_vector<uint8_t>(na);
    ArrayView<int64_t> loc = new_vector<int64_t>(na);
    if (integer_kind(a_arr) && integer_kind(b_arr)) {
        ArrayView<int64_t> a(a_flat, "a", 1), b(b_flat, "b", 1);
        nb::gil_scoped_release release;
        member_loop(a.data(), a.size(), b.data(), b.size(), [](int64_t) { return true; },
                    found.data(), loc.data());
    } else {
        ArrayView<double> a(a_flat, "a", 1), b(b_flat, "b", 1);
        nb::gil_scoped_release release;
        member_loop(a.data(), a.size(), b.data(), b.size(), [](double x) { return x == x; },
                    found.data(), loc.data());
    }
    return nb::make_tuple(found.object().attr("reshape")(shape),
                          loc.object().attr("reshape")(shape));
}

} // namespace

void register_bookkeeping(nb::module_ &m) {
    m.def("tvMatrixUnfillComplete", &tvMatrixUnfillComplete,
          nb::sig("def tvMatrixUnfillComplete(matrix: numpy.typing.ArrayLike, head_len: int, "
                  "bar_len: int, volume_offset: int) -> tuple[list[numpy.ndarray], "
                  "list[numpy.ndarray]]"),
          "(UnfilledBarRef, UnfilledIdx), one array per target: UnfilledIdx[t] the columns\n"
          "where target t traded (see tvCalcTradedMask; prices are the block's first four\n"
          "fields, the volume at volume_offset); UnfilledBarRef[t][c] the index into\n"
          "UnfilledIdx[t] of its last real bar at or before column c, NaN before the first.\n"
          "matrix: a filled K matrix; head_len: its head rows; bar_len: rows per target;\n"
          "volume_offset: the volume row within a target's block.");
    m.def("ismember", &ismember,
          nb::sig("def ismember(a: numpy.typing.ArrayLike, "
                  "b: numpy.typing.ArrayLike) -> tuple[numpy.ndarray, numpy.ndarray]"),
          "(found, loc), shaped like a: whether each element of a occurs in b, and its\n"
          "lowest index in b (flattened), -1 where absent. NaN is never a member.");
}

} // namespace numkern
} // namespace telvar
