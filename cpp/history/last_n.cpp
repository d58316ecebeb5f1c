// Last-N-bars K-data: the host counts back the bars of every target; each
// target's record becomes a dictionary of field arrays in ascending time,
// cached per target.
#include "history/per_target.hpp"

#include "history/content_checks.hpp"

namespace telvar::history {
namespace {

// Field order of a dictionary built from the host's file.
const char *const kFileOrder[9] = {"Time",   "Open",     "High",         "Low",     "Close",
                                   "Volume", "TurnOver", "OpenInterest", "BeginBar"};
// Field order of a dictionary read back from the cache.
const char *const kCacheOrder[9] = {"Volume",   "Open", "High", "TurnOver", "OpenInterest",
                                    "BeginBar", "Low",  "Time", "Close"};

nb::dict empty_bar_dict() {
    nb::dict bars;
    for (const char *name : kFileOrder)
        bars[name] = empty_array();
    return bars;
}

// A bar dictionary whose arrays are copies, for a repeated target.
nb::object copy_bar_dict(nb::handle bars) {
    nb::dict copy;
    for (auto [name, values] : nb::borrow<nb::dict>(bars))
        copy[name] = values.attr("copy")();
    return std::move(copy);
}

// One host record (an element of the struct array) as a bar dictionary
// sorted by time. A time that occurs more than once keeps its first bar, in
// every field alike.
nb::dict record_to_bars(nb::handle fields, nb::handle target_key) {
    nb::dict bars = empty_bar_dict();
    nb::object times = getitem(fields, "Time").attr("ravel")();
    const size_t n = nb::cast<size_t>(times.attr("size"));
    if (n == 0)
        return bars;
    nb::object unique = global("np").attr("unique")(times, nb::arg("return_index") = true);
    nb::object first_index = getitem(unique, 1);
    for (const char *name : kFileOrder) {
        nb::object values = getitem(fields, name).attr("ravel")();
        const size_t size = nb::cast<size_t>(values.attr("size"));
        if (size != n)
            raise_field_length_error(target_key, nb::str(name), size, n);
        bars[name] = getitem(values, first_index);
    }
    return bars;
}

} // namespace

// def get_k_data_n(targets, frequency, fre_num, n_count, end_date, filled_up, fq) -> list
nb::object get_k_data_n(nb::args args, nb::kwargs kwargs) {
    static const Signature sig(
        "get_k_data_n", {"targets", "frequency", "fre_num", "n_count", "end_date", "filled_up", "fq"}, 7);
    auto a = sig.bind(args, kwargs);
    nb::object &targets = a[0], &frequency = a[1], &fre_num = a[2], &n_count = a[3], &end_date = a[4],
               &filled_up = a[5], &fq = a[6];

    TargetGroups groups = group_targets(targets);
    nb::list results = empty_results(groups.n_targets);
    if (groups.n_targets == 0)
        return std::move(results);

    auto check_cached = [](nb::handle entry) { checks::last_n_entry(entry); };
    auto place_cached = [&](size_t g, nb::handle entry) {
        nb::dict bars;
        for (const char *name : kCacheOrder)
            bars[name] = entry.attr("get")(name, empty_array()).attr("ravel")();
        place_result(results, groups.positions[g], bars, copy_bar_dict);
    };
    const TargetCache cache(groups, end_date,
                            {{"KFrequency", frequency},
                             {"KFreqNum", fre_num},
                             {"NCount", n_count},
                             {"EndDate", end_date},
                             {"FilledUp", filled_up},
                             {"FQ", fq}},
                            "get_k_data_n", "_n_kdata", check_cached, place_cached);
    if (cache.all_cached())
        return std::move(results);

    nb::object file_path = global("tvcmd").attr("tvSendCmdGetNKDataMulti")(
        cache.uncached_records(), frequency, fre_num, n_count, end_date, filled_up, fq);
    nb::object mat_dict =
        global("load_mat")(file_path, nb::arg("error") = "raise", nb::arg("rm_if_error") = true);
    // The host's file is read once: cleaned as soon as it is in memory.
    global("clear_mat_include_cur_trade_date")(file_path, end_date);
    nb::object records = checks::check_host_file(
        file_path, [&] { return checks::last_n_file(mat_dict, cache.uncached_count()); });

    cache.for_each_answer(records, [&](size_t g, nb::handle record) {
        nb::dict bars = record_to_bars(record, groups.keys[g]);
        place_result(results, groups.positions[g], bars, copy_bar_dict);
        if (nb::cast<size_t>(bars["Time"].attr("size")) != 0)
            cache.save(g, bars);
    });
    return std::move(results);
}

} // namespace telvar::history
