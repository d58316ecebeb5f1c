#pragma once

#include <nanobind/nanobind.h>

namespace telvar {
namespace mkt {

// Adds the eight queries, each wrapped by its argument rules, to the module.
void define_queries(nanobind::module_ &m);

} // namespace mkt
} // namespace telvar
