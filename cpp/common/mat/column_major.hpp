// Walking an array's elements in column-major order (MAT files store arrays
// that way) straight from the caller's memory: contiguous data are written
// as they lie, other layouts are gathered by strided loops into the sink's
// buffer a chunk at a time; no transposed copy of the array is made.
#pragma once

#include "common/mat/plan.hpp"
#include "common/mat/sink.hpp"

#include <string>

namespace telvar {
namespace mat {

// Writes the items of `a` (1, 2, 4 or 8 bytes each) in column-major order,
// in the host's byte order.
void write_column_major(Sink &sink, const StridedData &a);

// Calls fn(pointer to item) for each item of `a` in column-major order.
template <typename Fn> void for_each_column_major(const StridedData &a, Fn fn) {
    const size_t nd = a.shape.size();
    for (int64_t d : a.shape)
        if (d == 0)
            return;
    std::vector<int64_t> index(nd, 0);
    const std::byte *p = a.data;
    while (true) {
        fn(p);
        size_t k = 0;
        for (; k < nd; ++k) {
            if (++index[k] < a.shape[k]) {
                p += a.strides[k];
                break;
            }
            p -= a.strides[k] * (a.shape[k] - 1);
            index[k] = 0;
        }
        if (k == nd)
            return;
    }
}

// The characters of a numpy string array (UCS4 items of `width` characters,
// or bytes when `ucs4` is false), in the order a MAT char matrix stores them:
// every string's first character, then every second one, and so on. NUL
// characters (numpy's padding) become blanks, as scipy stores them. UCS4 text
// is UTF-8 encoded; a code point that is no character is a FormatError.
std::string char_matrix_text(const StridedData &strings, size_t width, bool ucs4);

} // namespace mat
} // namespace telvar
