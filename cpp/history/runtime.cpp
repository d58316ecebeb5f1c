// Queries of the running strategy: the bar at the current position, the
// strategy id and the back-test performance.
#include "history/history.hpp"

#include "common/arrays.hpp"
#include "common/kmatrix_layout.hpp"
#include "common/read_limit.hpp"

#include <cmath>

namespace telvar::history {
namespace {

struct BarField {
    const char *key;
    int64_t offset; // the field's row within a target's block
};
const BarField kBarFields[kmatrix::kFieldCount] = {
    {"open", kmatrix::kOpen},          {"high", kmatrix::kHigh},     {"low", kmatrix::kLow},
    {"close", kmatrix::kClose},        {"volume", kmatrix::kVolume}, {"amount", kmatrix::kTurnover},
    {"open_interest", kmatrix::kOpenInterest}};

} // namespace

// def get_bar(target_idx, offset=0) -> dict or None
nb::object get_bar(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_bar", {"target_idx", "offset"}, 1);
    auto a = sig.bind(args, kwargs);
    nb::object target_idx = a[0];
    nb::object offset = or_default(a[1], nb::int_(0));

    nb::object vr = global("cnt").attr("vr");
    nb::object input_info = vr.attr("g_TelvarInputInfo");
    nb::object pos = vr.attr("g_TelvarSimCurBarFresh") + offset;
    // During a run, no bar after the current one.
    require_not_ahead(pos, read_limit(vr), [] { return global("text"); });
    // A position before the first bar has no bar; Python's negative indexing
    // would read one from the end of the run instead.
    if (pos < nb::int_(0))
        return nb::none();
    nb::object k_data = getitem(vr.attr("g_TelvarKDataList"), input_info.attr("RefreshKDataIdx"));
    nb::object fresh_bar_pos = getitem(k_data.attr("CurrentBar"), pos);
    ArrayView<double> matrix(k_data.attr("Matrix"), "Matrix", 2);
    const double column_value = nb::cast<double>(global("np").attr("float64")(fresh_bar_pos));
    if (std::isnan(column_value) || column_value < 0.0 ||
        column_value >= static_cast<double>(matrix.cols()))
        return nb::none();
    const size_t column = static_cast<size_t>(checked_integer(column_value, "CurrentBar entry"));

    ArrayView<int64_t> targets(target_idx, "target_idx", 1);
    nb::object target_list = input_info.attr("TargetList");
    const int64_t n_targets = static_cast<int64_t>(nb::len(target_list));
    if (kmatrix::kTimeLine >= static_cast<int64_t>(matrix.rows()))
        raise_value_error("the K matrix has no time row");

    const size_t k = targets.size();
    nb::object np = global("np");
    nb::object todotmc = global("todotmc");
    nb::list codes;
    for (size_t i = 0; i < k; ++i) {
        const int64_t t = targets[i];
        if (t < 0 || t >= n_targets || kmatrix::block_row(t + 1) > static_cast<int64_t>(matrix.rows()))
            raise_index_error("target index " + std::to_string(t) + " is out of range");
        codes.append(todotmc(getitem(target_list, static_cast<Py_ssize_t>(t))));
    }

    nb::dict bar;
    bar["code"] = np.attr("array")(codes);
    bar["number_bar"] = np.attr("full")(k, column, nb::arg("dtype") = np.attr("int64"));
    bar["time_bar"] = np.attr("full")(k, matrix(static_cast<size_t>(kmatrix::kTimeLine), column),
                                      nb::arg("dtype") = np.attr("float64"));
    for (int f = 0; f < kmatrix::kFieldCount; ++f) {
        nb::object values = np.attr("empty")(k);
        ArrayView<double> out(values, kBarFields[f].key, 1, true);
        for (size_t i = 0; i < k; ++i)
            out[i] = matrix(static_cast<size_t>(kmatrix::block_row(targets[i]) + kBarFields[f].offset), column);
        bar[kBarFields[f].key] = values;
    }
    return std::move(bar);
}

// def get_strategy_id()
nb::object get_strategy_id(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_strategy_id", {}, 0);
    sig.bind(args, kwargs);
    return global("tvcmd").attr("tvSendCmdGetStrategyID")();
}

// def get_performance(strategy_id)
nb::object get_performance(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_performance", {"strategy_id"}, 1);
    auto a = sig.bind(args, kwargs);
    return global("tvcmd").attr("tvSendCmdGetBackTestPerformance")(a[0]);
}

} // namespace telvar::history
