// Reading MAT v5 files into a tree of values. Every tag, length, dimension
// and count is checked against the bytes that remain before anything is
// allocated; anything that cannot be read safely is a FormatError saying
// what and where (a byte offset), never a crash.
//
// What is read: numeric arrays of every class (also complex and logical),
// character arrays, cell arrays, structs and struct arrays, compressed
// variables, little- and big-endian files. Sparse arrays, objects and
// function handles are refused with a FormatError.
#pragma once

#include "common/mat/value.hpp"

#include <cstddef>
#include <string>

namespace telvar {
namespace mat {

MatFile read_file(const std::string &path, const Limits &limits = Limits());
MatFile read_bytes(const unsigned char *data, size_t size, const Limits &limits = Limits());

} // namespace mat
} // namespace telvar
