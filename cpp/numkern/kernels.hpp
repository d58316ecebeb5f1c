// Each group of kernels registers its functions on the numkern module.
#pragma once

#include <nanobind/nanobind.h>

namespace telvar {
namespace numkern {

void register_positions(nanobind::module_ &m);
void register_combine(nanobind::module_ &m);
void register_bookkeeping(nanobind::module_ &m);

} // namespace numkern
} // namespace telvar
