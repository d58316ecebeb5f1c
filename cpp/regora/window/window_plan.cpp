// The plan of a plain K-data window (see window_plan.hpp).
#include "regora/window/window_plan.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace telvar::regora {

FormingBars::FormingBars(const ArrayView<double> &reg_idx, const ArrayView<double> &store,
                         long long store_rows, long long bar_pos)
    : reg_idx_(reg_idx), values_(reg_idx.rows() * kmatrix::kBarLen), rows_(reg_idx.rows()),
      gathered_(reg_idx.rows(), 0) {
    const long long targets = static_cast<long long>(reg_idx.rows());
    for (long long i = 0; i < targets; ++i) {
        const double first = reg_idx(i, 2);
        if (!(first >= 0 && first + static_cast<double>(kmatrix::kBarLen) <=
                                static_cast<double>(store_rows)))
            continue; // NaN (no forming bar) or not a row: left for has()
        const long long row = static_cast<long long>(first);
        if (static_cast<double>(row) != first)
            continue;
        double *values = &values_[static_cast<size_t>(i * kmatrix::kBarLen)];
        for (long long f = 0; f < kmatrix::kBarLen; ++f)
            values[f] = store(row + f, bar_pos);
        rows_[static_cast<size_t>(i)] = static_cast<size_t>(row);
        gathered_[static_cast<size_t>(i)] = 1;
    }
}

bool FormingBars::has(long long i) const {
    if (gathered_[static_cast<size_t>(i)])
        return true;
    const double first = reg_idx_(i, 2);
    if (std::isnan(first))
        return false;
    const long long row = index_of(first, "reg_idx fresh-bar row");
    raise_index_error("fresh-bar rows " + std::to_string(row) + ".." +
                      std::to_string(row + kmatrix::kBarLen) + " are outside the store");
}

RuleBar FormingBars::rule_bar(long long i) const {
    const double *v = values(i);
    return {v[kmatrix::kOpen], v[kmatrix::kHigh], v[kmatrix::kLow], v[kmatrix::kClose],
            v[kmatrix::kVolume]};
}

bool RealPlan::newest_of(const RealRow &a, const RealRow &b) const {
    const auto mine = newest_first(a);
    return std::equal(mine, mine + static_cast<std::ptrdiff_t>(a.completed), newest_first(b));
}

RealGroups group_real_rows(const RealPlan &plan) {
    constexpr size_t kMaxGroups = 8;
    RealGroups out;
    out.groups.reserve(kMaxGroups);
    for (const RealRow &row : plan.rows) {
        // a group of the row's item and newest bar whose bars it shares
        auto group = std::find_if(out.groups.begin(), out.groups.end(), [&](const RealGroup &g) {
            if (g.lead->view != row.view || plan.newest_bar(*g.lead) != plan.newest_bar(row))
                return false;
            return row.completed > g.lead->completed ? plan.newest_of(*g.lead, row)
                                                     : plan.newest_of(row, *g.lead);
        });
        if (group != out.groups.end()) {
            if (row.completed > group->lead->completed)
                group->lead = &row;
            group->rows.push_back(&row);
        } else if (out.groups.size() < kMaxGroups) {
            out.groups.push_back({&row, {}});
            out.groups.back().rows.reserve(plan.rows.size());
            out.groups.back().rows.push_back(&row);
        } else {
            out.others.push_back(&row);
        }
    }
    return out;
}

} // namespace telvar::regora
