// What the writer is asked to store: a tree of nodes that point into the
// caller's arrays (nothing is copied before it is written).
#pragma once

#include "common/mat/format.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace telvar {
namespace mat {

// An array's elements where they lie: numpy shape and byte strides. The
// writer walks them in column-major order (the first axis fastest).
struct StridedData {
    const std::byte *data = nullptr;
    size_t itemsize = 0;
    std::vector<int64_t> shape;
    std::vector<int64_t> strides;
    bool swap = false; // the items are not in the host's byte order

    uint64_t count() const {
        uint64_t n = 1;
        for (int64_t d : shape)
            n *= static_cast<uint64_t>(d);
        return n;
    }
};

struct Node {
    enum class Kind : uint8_t { Numeric, Char, Cell, Struct };
    Kind kind = Kind::Numeric;
    std::vector<uint64_t> dims; // MATLAB dimensions

    // Numeric: `real` (and `imag` for complex arrays) hold the elements.
    Scalar scalar = Scalar::f8;
    bool logical = false;
    bool complex = false;
    StridedData real, imag;

    // Char: the characters, column-major, UTF-8 encoded.
    std::string text;

    // Struct: field names and the length of their slots (longest name + 1).
    std::vector<std::string> fields;
    uint32_t name_slot = 0;

    // Cell: one node per element, column-major; Struct: per element, per field.
    std::vector<Node> items;

    // Set by the writer: bytes of the matrix element after its tag.
    uint64_t body_bytes = 0;
};

struct NamedNode {
    std::string name; // stored as given (the caller has encoded it)
    Node node;
};

} // namespace mat
} // namespace telvar
