// Growing the fresh-bar store by the rows of one registration.
#pragma once

#include <nanobind/nanobind.h>

namespace telvar::regora {
namespace nb = nanobind;

// `store` (2-D) with `block_rows` more rows below it, as a new C-contiguous
// float64 array whose last `block_rows` rows the caller fills (until then
// they hold garbage); `store` itself is left as it was. `buffer` is the array
// the grown store is the leading rows of; its `spare_rows` rows below the
// grown store are the caller's scratch while it fills the new rows (they
// are not part of the store, and the next growth may overwrite them).
//
// With minute bars of many targets the store takes hundreds of MB: copying
// all of it at every registration took most of a registration's time, and
// while the copy is made both the old and the new store are alive. The
// grown store is therefore the leading rows of a larger buffer: while the
// store is still the latest such view of its buffer, the new rows are the
// room below it; otherwise (the first registration, a store the run state
// replaced, a buffer without room) a new buffer is made, with room for the
// blocks of many more registrations. Rows never written cost no memory, so
// the room is reserved generously. Views handed out earlier end above the
// rows written later, so they never see them change.
struct GrownStore {
    nb::object store, buffer;
};
GrownStore grow_store_rows(nb::handle store, long long block_rows, long long spare_rows = 0);

// Moves rows 1.. of `rows` (a writable C-contiguous float64 matrix) up by
// one row, in place; the last row keeps its values.
void shift_rows_up(nb::handle rows);

// grow_store_rows, with the new rows set to `block`.
nb::object append_store_rows(nb::handle store, nb::handle block);

// Writes rows `first_row`.. of forming bars computed over the refresh base
// (one column per base bar) into `out`, keeping the columns of strategy bars
// (`mask`, one flag per column) in order. `out` is a writable C-contiguous
// float64 matrix of exactly that shape (a block of the fresh-bar store's rows).
void write_strategy_columns(nb::handle matrix, nb::handle mask, long long first_row,
                            nb::handle out);

// The same as a new float64 array, or, when every base bar is a strategy bar
// (strategy bars of the base's frequency), a view of `matrix` in its own order.
nb::object strategy_columns(nb::handle matrix, nb::handle mask, long long first_row);

} // namespace telvar::regora
