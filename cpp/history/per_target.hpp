// Helpers of the per-target requests (independent_target.cpp, last_n.cpp):
// targets grouped by key, the per-target cache, placing results, column
// selections.
#pragma once

#include "history/history.hpp"

#include "common/arrays.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <utility>
#include <vector>

namespace telvar::history {

// The targets of a request grouped by their textual key. A target listed
// more than once is looked up and fetched once; its result is then placed at
// every position it holds.
struct TargetGroups {
    std::vector<nb::object> records;            // first record of each key
    std::vector<nb::object> keys;               // its `todotmc` key
    std::vector<std::vector<size_t>> positions; // where the key occurs
    size_t n_targets = 0;
};

TargetGroups group_targets(nb::handle targets);

// The per-target cache of one request. When the period is closed
// (`can_cache(end_date)`) every group is looked up under the key
// [AccountNameList, Target, <the request's ingredients>, CatType] + suffix;
// `place(g, entry)` puts a cached entry into the results. The groups not
// found are left for the host, in group order; save() keeps a fetched result
// and does nothing when the period is open. Entries live in the
// HISTORY_DATA_CACHE directory of the attached store's cache scope
// (`cnt.env.fm.cache_dir`); a result fetched after the process attached to
// another store or data version is not saved (save_mat_cache refuses a
// folder of another scope). `check(entry)` throws mat_content::ContentProblem
// for an entry the request cannot use: it is warned about, removed and
// fetched again like an absent one.
class TargetCache {
public:
    using Ingredients = std::initializer_list<std::pair<const char *, nb::handle>>;

    TargetCache(const TargetGroups &groups, nb::handle end_date, Ingredients ingredients,
                const char *cat_type, const char *suffix,
                const std::function<void(nb::handle entry)> &check,
                const std::function<void(size_t g, nb::handle entry)> &place);

    bool all_cached() const { return uncached_.empty(); }
    size_t uncached_count() const { return uncached_.size(); }

    // The records of the groups left for the host, in the order they are asked.
    nb::list uncached_records() const;

    // fn(g, answer) for each of the host's answers, matched in order with the
    // groups asked for; answers beyond those are ignored.
    template <typename Fn> void for_each_answer(nb::handle answers, Fn fn) const {
        size_t i = 0;
        for (nb::handle answer : answers) {
            if (i >= uncached_.size())
                break;
            fn(uncached_[i++], answer);
        }
    }

    void save(size_t g, nb::handle entry) const;

private:
    const TargetGroups &groups_;
    bool cacheable_;
    nb::object dir_;
    std::vector<nb::object> keys_;
    std::vector<size_t> uncached_;
};

// A list of `n` separate empty arrays.
nb::list empty_results(size_t n);

// results[p] = value for the first position, a copy made by `copy_of` for
// each further one, so no two positions share storage.
template <typename CopyFn>
void place_result(nb::list &results, const std::vector<size_t> &positions, nb::handle value,
                  CopyFn copy_of) {
    for (size_t i = 0; i < positions.size(); ++i)
        results[positions[i]] = i == 0 ? nb::borrow(value) : copy_of(value);
}

// A selection over `n` columns, given as a boolean mask or as integer
// positions (what numpy indexing accepts), as one flag per column.
std::vector<uint8_t> selection_mask(nb::handle selection, size_t n, const char *argname);

} // namespace telvar::history
