#pragma once

#include <nanobind/nanobind.h>

namespace telvar::mkt {

// Adds the eight queries, each wrapped by its argument rules, to the module.
void define_queries(nanobind::module_ &m);

} // namespace telvar::mkt
