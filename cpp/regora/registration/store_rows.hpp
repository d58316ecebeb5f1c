// Growing the fresh-bar store by the rows of one registration.
#pragma once

#include <nanobind/nanobind.h>

namespace telvar::regora {
namespace nb = nanobind;

// `store` (2-D) with the rows of `block` below it, as a new C-contiguous
// float64 array; `store` itself is left as it was.
//
// With minute bars of many targets the store takes hundreds of MB, and
// copying all of it into a new array at every registration took most of a
// registration's time. The result is therefore the leading rows of a larger
// buffer: while the store is still the latest such view of its buffer, the
// next block is written into the room below it (rows never written cost no
// memory); otherwise (the first registration, a store the run state replaced,
// a buffer without room) a new buffer is made with room for as many rows
// again. Views handed out earlier end above the rows written later, so they
// never see them change.
nb::object append_store_rows(nb::handle store, nb::handle block);

// Rows `first_row`.. of forming bars computed over the refresh base (one
// column per base bar), keeping the columns of strategy bars (`mask`, one
// flag per column), as a float64 array: a C-contiguous copy, or, when every
// base bar is a strategy bar (strategy bars of the base's frequency), a view
// of `matrix` in its own order. The block is copied into the store anyway,
// and with minute bars of many targets each further copy costs ~60 MB of new
// memory per registration.
nb::object strategy_columns(nb::handle matrix, nb::handle mask, long long first_row);

} // namespace telvar::regora
