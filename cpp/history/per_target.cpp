// Helpers of the per-target requests: grouping targets by key, the
// per-target cache, column selections.
#include "history/per_target.hpp"

#include "history/content_checks.hpp"

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
        nb::object key = getitem(keys, static_cast<Py_ssize_t>(i));
        if (slot_of_key.contains(key)) {
            groups.positions[nb::cast<size_t>(slot_of_key[key])].push_back(i);
            continue;
        }
        slot_of_key[key] = groups.records.size();
        groups.records.push_back(getitem(targets, static_cast<Py_ssize_t>(i)));
        groups.keys.push_back(key);
        groups.positions.push_back({i});
    }
    return groups;
}

namespace {

// `calc_hash_value([{name: value}, ...], suffix=suffix)`
nb::object cache_key(const std::vector<std::pair<const char *, nb::handle>> &parts, const char *suffix) {
    nb::list entries;
    for (const auto &part : parts) {
        nb::dict entry;
        entry[part.first] = part.second;
        entries.append(entry);
    }
    return global("calc_hash_value")(entries, nb::arg("suffix") = suffix);
}

} // namespace

TargetCache::TargetCache(const TargetGroups &groups, nb::handle end_date, Ingredients ingredients,
                         const char *cat_type, const char *suffix,
                         const std::function<void(nb::handle entry)> &check,
                         const std::function<void(size_t g, nb::handle entry)> &place)
    : groups_(groups), cacheable_(truthy(global("can_cache")(end_date))), keys_(groups.records.size()) {
    const size_t n_groups = groups.records.size();
    if (!cacheable_) {
        for (size_t g = 0; g < n_groups; ++g)
            uncached_.push_back(g);
        return;
    }
    dir_ = global("cnt").attr("env").attr("fm").attr("cache_dir")(global("HISTORY_DATA_CACHE"));
    nb::object accounts = to_str(global("cnt").attr("vr").attr("g_TelvarInputInfo").attr("AccountNameList"));
    nb::object category = nb::str(cat_type);
    nb::object load_mat_cache = global("load_mat_cache");
    // These keys are on users' disks: the ingredients, their names and their
    // order stay as they are.
    std::vector<std::pair<const char *, nb::handle>> parts;
    parts.emplace_back("AccountNameList", accounts);
    parts.emplace_back("Target", nb::handle());
    parts.insert(parts.end(), ingredients.begin(), ingredients.end());
    parts.emplace_back("CatType", category);
    for (size_t g = 0; g < n_groups; ++g) {
        parts[1].second = groups.keys[g];
        keys_[g] = cache_key(parts, suffix);
        nb::object entry = load_mat_cache(dir_, keys_[g]);
        if (!entry.is_none()) {
            try {
                check(entry);
            } catch (const checks::ContentProblem &problem) {
                global("reject_mat_cache")(dir_, keys_[g], nb::str(problem.variable().c_str()),
                                           problem.reason(global("text")));
                entry = nb::none();
            }
        }
        if (entry.is_none())
            uncached_.push_back(g);
        else
            place(g, entry);
    }
}

nb::list TargetCache::uncached_records() const {
    nb::list records;
    for (size_t g : uncached_)
        records.append(groups_.records[g]);
    return records;
}

void TargetCache::save(size_t g, nb::handle entry) const {
    if (cacheable_)
        global("save_mat_cache")(dir_, keys_[g], entry);
}

nb::list empty_results(size_t n) {
    nb::list results;
    for (size_t i = 0; i < n; ++i)
        results.append(empty_array());
    return results;
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
