// telvar.kestrum._matio: the MAT v5 reader and writer of cpp/common/mat
// exposed to Python. Reading gives what scipy.io.loadmat gives with its
// default options; writing stores what scipy.io.savemat stores.
#pragma once

#include "common/mat/plan.hpp"
#include "common/mat/value.hpp"

#include <nanobind/nanobind.h>

#include <vector>

namespace telvar::matio {
namespace nb = nanobind;

// The variables of a file read, as a dict with scipy's "__header__",
// "__version__" and "__globals__" entries first.
nb::dict to_python(mat::MatFile &file);

// The plan for writing `mdict` (variable name -> value). `keep` holds every
// object the plan points into; it must outlive the plan's use.
struct PlanOptions {
    bool oned_as_row = true;
    size_t max_field_name = 31;
};
std::vector<mat::NamedNode> plan_variables(nb::handle mdict, const PlanOptions &options,
                                           std::vector<nb::object> &keep);

} // namespace telvar::matio
