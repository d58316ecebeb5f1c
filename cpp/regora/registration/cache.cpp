// The on-disk cache of synthesised matrices: one .mat file per key in the
// `<SYNTHETIC_MATRIX_DIR>` cache directory of the store the process is
// attached to (the file manager's `cache_dir`, scoped by store identity,
// data version and cache format). The key is made from everything else that
// decides a synthesised matrix: accounts, targets, the strategy's frequency
// and dates, the adjustment mode and the request. An entry that fails its
// reader's check (regora/content_checks.hpp) is warned about, removed and
// counts as absent.
#include "regora/content_checks.hpp"
#include "regora/support.hpp"

namespace telvar::regora {

bool cache_allowed() {
    return truthy(global("can_cache")(run_inputs().attr("EndDate")));
}

static nb::object cache_dir() {
    return global("cnt").attr("env").attr("fm").attr("cache_dir")(global("SYNTHETIC_MATRIX_DIR"));
}

static nb::dict one_entry(const char *key, nb::handle value) {
    nb::dict d;
    d[key] = value;
    return d;
}

nb::object cache_key(long long frequency_i, long long target_freq_num, const char *target_type,
                     const char *suffix) {
    nb::object inputs = run_inputs();
    nb::list parts;
    parts.append(one_entry("AccountNameList", to_str(inputs.attr("AccountNameList"))));
    parts.append(
        one_entry("TargetList", to_str(global("todotmc")(inputs.attr("TargetList")))));
    parts.append(one_entry("KFrequencyI", inputs.attr("KFrequencyI")));
    parts.append(one_entry("KFreqnum", inputs.attr("KFreNum")));
    parts.append(one_entry("BeginDate", inputs.attr("BeginDate")));
    parts.append(one_entry("EndDate", inputs.attr("EndDate")));
    parts.append(one_entry("FQ", inputs.attr("FQ")));
    parts.append(one_entry("TargetFre", py_int(frequency_i)));
    parts.append(one_entry("TargetFreNum", py_int(target_freq_num)));
    parts.append(one_entry("TargetType", nb::str(target_type)));
    return global("calc_hash_value")(parts, nb::arg("suffix") = suffix);
}

nb::object cache_load(nb::handle key, const std::function<void(nb::handle entry)> &check) {
    nb::object directory = cache_dir();
    nb::object value = global("load_mat_cache")(directory, key);
    if (!value.is_valid() || value.is_none() || !truthy(value))
        return nb::none();
    try {
        check(value);
    } catch (const checks::ContentProblem &problem) {
        global("reject_mat_cache")(directory, key, nb::str(problem.variable().c_str()),
                                   problem.reason(global("text")));
        return nb::none();
    }
    return value;
}

void cache_save(nb::handle key, nb::handle value) {
    global("save_mat_cache")(cache_dir(), key, value);
}

nb::object per_target_arrays(nb::handle value) {
    nb::object items = nb::borrow(value);
    if (nb::hasattr(items, "dtype") && std::string(to_str(items.attr("dtype")).c_str()) == "object")
        items = items.attr("ravel")().attr("ravel")().attr("tolist")();
    nb::list out;
    for (nb::handle item : items)
        out.append(native_array(global("np").attr("asarray")(item).attr("ravel")()));
    return out;
}

} // namespace telvar::regora
