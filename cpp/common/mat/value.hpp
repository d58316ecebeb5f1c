// What the reader makes of a MAT file: a tree of values whose numeric data
// already sit in the buffers that become the numpy arrays.
#pragma once

#include "common/mat/buffer.hpp"
#include "common/mat/format.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace telvar {
namespace mat {

// How the bytes of a character array are to be decoded.
enum class TextCodec : uint8_t { Ascii, Utf8, Utf16LE, Utf16BE, Utf32LE, Utf32BE };

struct Value {
    enum class Kind : uint8_t {
        Empty,   // a matrix element without content (an empty double matrix)
        Numeric, // `data` holds the elements in column-major order
        Char,    // `text` holds the encoded characters
        Cell,    // `items`: one value per element, column-major
        Struct,  // `items`: per element (column-major), one value per field
    };
    Kind kind = Kind::Empty;
    std::vector<int64_t> dims; // as stored: dims[0] varies fastest

    // Numeric: the element type and the byte order of `data` (the file's,
    // except complex arrays, which are converted to native complex64/128).
    Scalar scalar = Scalar::f8;
    bool big_endian = false;
    bool complex = false;
    bool logical = false;
    Buffer data;

    // Char: the encoded text and how to decode it. An empty `text` with a
    // non-empty array means every character is a blank.
    TextCodec codec = TextCodec::Utf8;
    std::string text;

    // Struct: field names in file order, duplicates already renamed.
    std::vector<std::string> fields;
    std::vector<Value> items;

    // Number of elements (product of dims); the reader has checked it fits.
    uint64_t count() const {
        uint64_t n = 1;
        for (int64_t d : dims)
            n *= static_cast<uint64_t>(d);
        return n;
    }
};

struct Variable {
    std::string name; // raw bytes of the stored name
    bool global = false;
    Value value;
};

struct MatFile {
    std::string header_text; // the descriptive text, blanks and NULs stripped
    int version_major = 1;
    int version_minor = 0;
    bool big_endian = false;
    std::vector<Variable> variables;
};

// Bounds on what a file may make the reader build.
struct Limits {
    // Total bytes of all arrays built (numeric data, text, element slots).
    uint64_t max_output_bytes = 0; // 0: half the physical memory
    // Elements that no stored byte backs (blank character arrays, structs
    // without fields), over the whole file.
    uint64_t max_unbacked_elements = uint64_t(1) << 20;
    // Depth of cells and structs inside each other.
    int max_depth = 64;
};

} // namespace mat
} // namespace telvar
