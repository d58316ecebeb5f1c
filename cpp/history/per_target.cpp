// Helpers of the per-target requests: grouping targets by key, cache keys
// and the cache directory, column selections.
#include "history_extra.hpp"

namespace telvar::history {

TargetGroups group_targets(nb::handle targets) {
    TargetGroups groups;
    groups.n_targets = nb::len(targets);
    if (groups.n_targets == 0)
        return groups;
    nb::object keys = global("todotmc")(targets);
    if (nb::len(keys) != groups.n_targets)
        raise_value_error("todotmc returned " + std::to_string(nb::len(keys)) + " keys for " +
                          std::to_string(groups.n_targets) + " targets");
    nb::dict slot_of_key;
    for (size_t i = 0; i < groups.n_targets; ++i) {
        nb::object key = item_at(keys, static_cast<Py_ssize_t>(i));
        if (slot_of_key.contains(key)) {
            groups.positions[nb::cast<size_t>(slot_of_key[key])].push_back(i);
            continue;
        }
        slot_of_key[key] = groups.records.size();
        groups.records.push_back(item_at(targets, static_cast<Py_ssize_t>(i)));
        groups.keys.push_back(key);
        groups.positions.push_back({i});
    }
    return groups;
}

nb::object cache_key(std::initializer_list<std::pair<const char *, nb::handle>> parts,
                     const char *suffix) {
    nb::list entries;
    for (const auto &part : parts) {
        nb::dict entry;
        entry[part.first] = part.second;
        entries.append(entry);
    }
    return global("calc_hash_value")(entries, nb::arg("suffix") = suffix);
}

nb::object history_cache_dir() {
    return global("cnt").attr("env").attr("fm").attr("get_sub_dir")("mat", global("HISTORY_DATA_CACHE"));
}

nb::list empty_results(size_t n) {
    nb::list results;
    for (size_t i = 0; i < n; ++i)
        results.append(empty_array());
    return results;
}

void raise_data_error(nb::handle message) {
    nb::object error_type = nb::module_::import_("telvar.kestrum.utils.exceptions").attr("TvDataError");
    PyErr_SetObject(error_type.ptr(), message.ptr());
    throw nb::python_error();
}

std::vector<uint8_t> selection_mask(nb::handle selection, size_t n, const char *argname) {
    nb::object np = global("np");
    nb::object array = np.attr("asarray")(selection);
    std::vector<uint8_t> mask(n, 0);
    if (equals(array.attr("dtype").attr("kind"), nb::str("b"))) {
        ArrayView<uint8_t> flags(array.attr("ravel")(), argname, 1);
        if (flags.size() != n)
            raise_index_error(std::string(argname) + ": boolean selection of length " +
                              std::to_string(flags.size()) + " for " + std::to_string(n) +
                              " columns");
        for (size_t j = 0; j < n; ++j)
            mask[j] = flags[j] != 0;
        return mask;
    }
    ArrayView<int64_t> positions(array.attr("ravel")(), argname, 1);
    const int64_t count = static_cast<int64_t>(n);
    for (size_t i = 0; i < positions.size(); ++i) {
        int64_t p = positions[i];
        if (p < -count || p >= count)
            raise_index_error(std::string(argname) + ": position " + std::to_string(p) +
                              " outside " + std::to_string(n) + " columns");
        mask[static_cast<size_t>(p < 0 ? p + count : p)] = 1;
    }
    return mask;
}

} // namespace telvar::history
