// Writing MAT v5 files (little- or big-endian as the host is) from a plan of
// nodes that point into the caller's arrays. Sizes are worked out first, so
// anything that cannot be stored (a matrix over 4 GiB, a dimension over
// 2^31 - 1) is a FormatError before the first byte is written.
#pragma once

#include "common/mat/plan.hpp"
#include "common/mat/sink.hpp"

#include <string>
#include <vector>

namespace telvar {
namespace mat {

struct WriteOptions {
    bool compress = false; // each variable as a zlib-compressed element
    bool sync = false;     // wait until the file is on disk before returning
};

// Works out every node's size (Node::body_bytes).
void measure(std::vector<NamedNode> &variables);

// Header and variables to `sink`; `variables` must have been measured.
void write_to(Sink &sink, const std::vector<NamedNode> &variables, bool compress);

// Creates or truncates `path` and writes the file. On failure the partly
// written file is left for the caller to remove.
void write_file(const std::string &path, std::vector<NamedNode> &variables,
                const WriteOptions &options);

} // namespace mat
} // namespace telvar
