#include "common/mat/element_parser.hpp"

#include "common/mat/errors.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <unordered_map>

#include <unistd.h>

namespace telvar {
namespace mat {

namespace {

uint64_t half_the_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0)
        return uint64_t(4) << 30;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page) / 2;
}

// Structs with more fields than this are refused: no writer makes them, and
// each field costs a Python object however few bytes its name takes.
constexpr size_t kMaxFields = size_t(1) << 16;
// What an element of a cell or struct costs beside its data: the value the
// reader builds and the Python object it becomes.
constexpr uint64_t kItemCost = sizeof(Value) + 96;

std::string type_text(uint32_t type) { return std::to_string(type); }

bool is_int32_type(uint32_t type) { return type == miINT32 || type == miUINT32; }

// A value of numeric type `s` at `p` (file byte order), as a double.
double load_as_double(const unsigned char *p, Scalar s, bool swapped) {
    unsigned char b[8];
    const size_t n = scalar_size(s);
    std::memcpy(b, p, n);
    if (swapped)
        swap_items(b, n, 1);
    switch (s) {
    case Scalar::i1: { int8_t v; std::memcpy(&v, b, 1); return v; }
    case Scalar::u1: return b[0];
    case Scalar::i2: { int16_t v; std::memcpy(&v, b, 2); return v; }
    case Scalar::u2: { uint16_t v; std::memcpy(&v, b, 2); return v; }
    case Scalar::i4: { int32_t v; std::memcpy(&v, b, 4); return v; }
    case Scalar::u4: { uint32_t v; std::memcpy(&v, b, 4); return v; }
    case Scalar::f4: { float v; std::memcpy(&v, b, 4); return v; }
    case Scalar::f8: { double v; std::memcpy(&v, b, 8); return v; }
    case Scalar::i8: { int64_t v; std::memcpy(&v, b, 8); return static_cast<double>(v); }
    default: { uint64_t v; std::memcpy(&v, b, 8); return static_cast<double>(v); }
    }
}

// A value of a 4-byte numeric type as a float, converted once (as numpy
// casts int32 to complex64), not through double.
float load_as_float(const unsigned char *p, Scalar s, bool swapped) {
    unsigned char b[4];
    std::memcpy(b, p, 4);
    if (swapped)
        swap_items(b, 4, 1);
    if (s == Scalar::i4) { int32_t v; std::memcpy(&v, b, 4); return static_cast<float>(v); }
    if (s == Scalar::u4) { uint32_t v; std::memcpy(&v, b, 4); return static_cast<float>(v); }
    float v;
    std::memcpy(&v, b, 4);
    return v;
}

float load_as_float_any(const unsigned char *p, Scalar s, bool swapped) {
    return scalar_size(s) == 4 ? load_as_float(p, s, swapped)
                               : static_cast<float>(load_as_double(p, s, swapped));
}

} // namespace

// ---- budget ----------------------------------------------------------------

Budget::Budget(const Limits &limits)
    : bytes_left_(limits.max_output_bytes ? limits.max_output_bytes : half_the_memory()),
      unbacked_left_(limits.max_unbacked_elements) {}

void Budget::take(uint64_t bytes) {
    if (bytes > bytes_left_)
        throw FormatError("the file asks for more memory than the reader's limit allows");
    bytes_left_ -= bytes;
}

void Budget::take_unbacked(uint64_t elements) {
    if (elements > unbacked_left_)
        throw FormatError("the file declares more elements without data than the reader allows (" +
                          std::to_string(elements) + ")");
    unbacked_left_ -= elements;
    take(elements * 8);
}

// ---- tags and payloads -----------------------------------------------------

void ElementParser::fail(uint64_t at, const std::string &what) const {
    throw FormatError(what + " (at byte " + std::to_string(at) + ")");
}

ElementParser::Tag ElementParser::tag(uint64_t end) {
    Tag t;
    t.at = s_.offset();
    if (t.at > end || end - t.at < kTagBytes)
        fail(t.at, "an element's tag runs past the end of the matrix that holds it");
    unsigned char raw[kTagBytes];
    s_.read(raw, kTagBytes);
    const uint32_t first = load_u32(raw, swapped_);
    if (first >> 16) { // a small data element: type, length and data in 8 bytes
        t.small = true;
        t.type = first & 0xffffu;
        t.bytes = first >> 16;
        if (t.bytes > 4)
            fail(t.at, "a small data element declares " + std::to_string(t.bytes) +
                           " bytes (at most 4 fit)");
        std::memcpy(t.data, raw + 4, 4);
        return t;
    }
    t.type = first;
    t.bytes = load_u32(raw + 4, swapped_);
    const uint64_t left = end - s_.offset();
    if (t.bytes > left)
        fail(t.at, "an element of data type " + type_text(t.type) + " declares " +
                       std::to_string(t.bytes) + " bytes but only " + std::to_string(left) +
                       " remain in the matrix that holds it");
    return t;
}

void ElementParser::payload(const Tag &t, void *dst, uint64_t end) {
    if (t.small) {
        if (t.bytes)
            std::memcpy(dst, t.data, t.bytes);
        return;
    }
    s_.read(dst, t.bytes);
    // data are padded to 8 bytes; a last element without its padding is accepted
    const uint64_t pad = padded8(t.bytes) - t.bytes;
    s_.skip(std::min<uint64_t>(pad, end - s_.offset()));
}

std::string ElementParser::payload_string(const Tag &t, uint64_t end) {
    budget_.take(t.bytes);
    std::string out(t.bytes, '\0');
    payload(t, out.data(), end);
    return out;
}

// Names (of variables, fields) are int8 text; some writers mark them UTF-8,
// which is accepted when it is plain ASCII.
std::string ElementParser::int8_text(uint64_t end, const char *what) {
    const Tag t = tag(end);
    if (t.type != miINT8 && t.type != miUTF8)
        fail(t.at, std::string("the ") + what + " element has data type " + type_text(t.type) +
                       ", not int8 text");
    std::string text = payload_string(t, end);
    if (t.type == miUTF8 &&
        std::any_of(text.begin(), text.end(), [](char c) { return (c & 0x80) != 0; }))
        fail(t.at, std::string("the ") + what + " element holds non-ASCII UTF-8");
    return text;
}

uint32_t ElementParser::array_flags(uint64_t end) {
    const Tag t = tag(end);
    if (t.small || !is_int32_type(t.type) || t.bytes != 8)
        fail(t.at, "the array flags element is malformed (data type " + type_text(t.type) + ", " +
                       std::to_string(t.bytes) + " bytes; expected uint32 and 8 bytes)");
    unsigned char raw[8];
    payload(t, raw, end);
    return load_u32(raw, swapped_);
}

void ElementParser::dimensions(uint64_t end, Value &v) {
    const Tag t = tag(end);
    if (!is_int32_type(t.type))
        fail(t.at, "the dimensions element has data type " + type_text(t.type) + ", not int32");
    if (t.bytes % 4 != 0 || t.bytes / 4 > kMaxDims)
        fail(t.at, "the dimensions element has " + std::to_string(t.bytes) +
                       " bytes (a multiple of 4, at most " + std::to_string(kMaxDims) +
                       " dimensions)");
    unsigned char raw[4 * kMaxDims];
    payload(t, raw, end);
    v.dims.resize(t.bytes / 4);
    for (size_t i = 0; i < v.dims.size(); ++i) {
        const uint32_t d = load_u32(raw + 4 * i, swapped_);
        if (d > static_cast<uint32_t>(INT32_MAX))
            fail(t.at, "dimension " + std::to_string(i) + " is negative or too large (" +
                           std::to_string(d) + ")");
        v.dims[i] = d;
    }
}

uint64_t ElementParser::element_count(const Value &v, uint64_t at) const {
    uint64_t n = 1;
    for (int64_t d : v.dims)
        if (__builtin_mul_overflow(n, static_cast<uint64_t>(d), &n) || n > (uint64_t(1) << 56))
            fail(at, "the dimensions give more elements than any file can hold");
    return n;
}

// ---- matrices --------------------------------------------------------------

Value ElementParser::matrix_body(uint64_t end, int depth, std::string *name, bool *global) {
    const uint64_t at = s_.offset();
    const uint32_t flags = array_flags(end);
    const uint32_t cls = flags & 0xffu;
    const bool supported = cls == mxCELL || cls == mxSTRUCT || cls == mxCHAR || is_numeric_class(cls);
    if (!supported)
        fail(at, std::string("arrays of class ") + std::to_string(cls) + " (" + class_name(cls) +
                     ") are not read");
    Value v;
    dimensions(end, v);
    std::string stored_name = int8_text(end, "name");
    if (name)
        *name = std::move(stored_name);
    if (global)
        *global = (flags & kFlagGlobal) != 0;
    if (is_numeric_class(cls))
        numeric(end, flags, v);
    else if (cls == mxCHAR)
        char_array(end, v);
    else if (cls == mxCELL)
        cells(end, depth, v);
    else
        structure(end, depth, v);
    return v;
}

Value ElementParser::sub_matrix(uint64_t end, int depth) {
    const uint64_t at = s_.offset();
    if (at > end || end - at < kTagBytes)
        fail(at, "a matrix element's tag runs past the end of the matrix that holds it");
    unsigned char raw[kTagBytes];
    s_.read(raw, kTagBytes);
    const uint32_t type = load_u32(raw, swapped_);
    const uint32_t bytes = load_u32(raw + 4, swapped_);
    if (type != miMATRIX)
        fail(at, "an element of data type " + type_text(type) + " stands where a matrix (14) belongs");
    if (bytes == 0)
        return Value(); // an empty double matrix
    if (bytes > end - s_.offset())
        fail(at, "a matrix declares " + std::to_string(bytes) + " bytes but only " +
                     std::to_string(end - s_.offset()) + " remain in the matrix that holds it");
    const uint64_t sub_end = s_.offset() + bytes;
    Value v = matrix_body(sub_end, depth, nullptr, nullptr);
    s_.skip(sub_end - s_.offset());
    return v;
}

// numpy makes complex64 of 4-byte parts and complex128 of all others.
void ElementParser::numeric(uint64_t end, uint32_t flags, Value &v) {
    const uint64_t count = element_count(v, s_.offset());
    v.kind = Value::Kind::Numeric;
    v.logical = (flags & kFlagLogical) != 0;
    v.big_endian = kHostLittleEndian ? swapped_ : !swapped_;
    if (!(flags & kFlagComplex)) {
        v.data = numeric_part(end, count, &v.scalar);
        return;
    }
    Scalar re_type, im_type;
    const Buffer re = numeric_part(end, count, &re_type);
    const Buffer im = numeric_part(end, count, &im_type);
    const bool single = scalar_size(re_type) == 4;
    const size_t re_size = scalar_size(re_type), im_size = scalar_size(im_type);
    budget_.take(count * (single ? 8 : 16));
    v.complex = true;
    v.big_endian = !kHostLittleEndian;
    v.scalar = single ? Scalar::f4 : Scalar::f8;
    v.data = Buffer::allocate(count * (single ? 8 : 16));
    const auto *pr = reinterpret_cast<const unsigned char *>(re.data());
    const auto *pi = reinterpret_cast<const unsigned char *>(im.data());
    for (uint64_t i = 0; i < count; ++i) {
        if (single) {
            const float pair[2] = {load_as_float(pr + i * re_size, re_type, swapped_),
                                   load_as_float_any(pi + i * im_size, im_type, swapped_)};
            std::memcpy(v.data.data() + i * 8, pair, 8);
        } else {
            const double pair[2] = {load_as_double(pr + i * re_size, re_type, swapped_),
                                    load_as_double(pi + i * im_size, im_type, swapped_)};
            std::memcpy(v.data.data() + i * 16, pair, 16);
        }
    }
}

Buffer ElementParser::numeric_part(uint64_t end, uint64_t count, Scalar *scalar) {
    const Tag t = tag(end);
    const auto s = scalar_of(t.type);
    if (!s)
        fail(t.at, "numeric data have data type " + type_text(t.type) +
                       ", which is not a numeric data type");
    const size_t size = scalar_size(*s);
    if (t.bytes % size != 0 || t.bytes / size != count)
        fail(t.at, "numeric data of " + std::to_string(t.bytes) + " bytes do not hold the " +
                       std::to_string(count) + " elements of " + std::to_string(size) +
                       " bytes its dimensions declare");
    *scalar = *s;
    budget_.take(t.bytes);
    Buffer buffer = Buffer::allocate(t.bytes);
    payload(t, buffer.data(), end);
    return buffer;
}

void ElementParser::char_array(uint64_t end, Value &v) {
    const uint64_t count = element_count(v, s_.offset());
    const Tag t = tag(end);
    v.kind = Value::Kind::Char;
    if (v.dims.empty())
        fail(t.at, "a character array without dimensions");
    const bool le = kHostLittleEndian ? !swapped_ : swapped_; // the file's byte order
    switch (t.type) {
    case miINT8:
    case miUINT8: v.codec = TextCodec::Ascii; break;
    case miUTF8:
    case miUINT16: v.codec = TextCodec::Utf8; break;
    case miUTF16: v.codec = le ? TextCodec::Utf16LE : TextCodec::Utf16BE; break;
    case miUTF32: v.codec = le ? TextCodec::Utf32LE : TextCodec::Utf32BE; break;
    default:
        fail(t.at, "character data have data type " + type_text(t.type) + ", not a text type");
    }
    if (t.bytes == 0) { // "there are files in the wild" with blanks stored as nothing
        budget_.take_unbacked(count);
        payload(t, nullptr, end);
        return;
    }
    budget_.take(count * 4); // the characters numpy will hold
    std::string raw = payload_string(t, end);
    if (t.type != miUINT16) {
        // each stored byte gives at most one character; the exact count is
        // known once the text is decoded
        if (count > raw.size())
            fail(t.at, "character data of " + std::to_string(raw.size()) +
                           " bytes cannot hold the " + std::to_string(count) +
                           " characters its dimensions declare");
        v.text = std::move(raw);
        return;
    }
    // uint16 characters: their low bytes, read as UTF-8 (how scipy decodes them)
    if (count > raw.size() / 2)
        fail(t.at, "uint16 character data of " + std::to_string(raw.size()) +
                       " bytes cannot hold the " + std::to_string(count) +
                       " characters its dimensions declare");
    v.text.resize(count);
    for (uint64_t i = 0; i < count; ++i)
        v.text[i] = static_cast<char>(
            load_u16(reinterpret_cast<const unsigned char *>(raw.data()) + 2 * i, swapped_) & 0xffu);
}

uint64_t ElementParser::nested(uint64_t at, int depth, Value::Kind kind, Value &v) {
    const uint64_t count = element_count(v, at);
    v.kind = kind;
    if (depth + 1 > max_depth_)
        fail(at, "cells and structs are nested more than " + std::to_string(max_depth_) +
                     " deep");
    return count;
}

void ElementParser::cells(uint64_t end, int depth, Value &v) {
    const uint64_t at = s_.offset();
    const uint64_t count = nested(at, depth, Value::Kind::Cell, v);
    if (count > (end - at) / kTagBytes)
        fail(at, "a cell array of " + std::to_string(count) + " elements cannot fit in the " +
                     std::to_string(end - at) + " bytes that remain");
    budget_.take(count * kItemCost);
    v.items.reserve(count);
    for (uint64_t i = 0; i < count; ++i)
        v.items.push_back(sub_matrix(end, depth + 1));
}

void ElementParser::structure(uint64_t end, int depth, Value &v) {
    const uint64_t at = s_.offset();
    const uint64_t count = nested(at, depth, Value::Kind::Struct, v);
    field_names(end, v);
    if (v.fields.empty()) {
        budget_.take_unbacked(count);
        return;
    }
    const uint64_t here = s_.offset();
    uint64_t slots;
    if (__builtin_mul_overflow(count, static_cast<uint64_t>(v.fields.size()), &slots) ||
        slots > (end - here) / kTagBytes)
        fail(here, "a struct array of " + std::to_string(count) + " elements and " +
                       std::to_string(v.fields.size()) + " fields cannot fit in the " +
                       std::to_string(end - here) + " bytes that remain");
    budget_.take(slots * kItemCost);
    v.items.reserve(slots);
    for (uint64_t i = 0; i < slots; ++i)
        v.items.push_back(sub_matrix(end, depth + 1));
}

// Field names sit in slots of a fixed length, each ended by a NUL (a name
// without one ends with its slot); a name repeated is renamed "_<n>_<name>"
// (its n-th repeat), as scipy does.
void ElementParser::field_names(uint64_t end, Value &v) {
    const Tag len_tag = tag(end);
    if (!is_int32_type(len_tag.type) || len_tag.bytes != 4)
        fail(len_tag.at, "the field name length element is malformed (data type " +
                             type_text(len_tag.type) + ", " + std::to_string(len_tag.bytes) +
                             " bytes)");
    unsigned char raw[4];
    payload(len_tag, raw, end);
    const uint32_t slot = load_u32(raw, swapped_);
    if (slot == 0 || slot > static_cast<uint32_t>(INT32_MAX))
        fail(len_tag.at, "the field name length is " + std::to_string(slot));
    const uint64_t at = s_.offset();
    const std::string names = int8_text(end, "field names");
    const size_t n = names.size() / slot;
    if (n > kMaxFields)
        fail(at, "a struct with " + std::to_string(n) + " fields (at most " +
                     std::to_string(kMaxFields) + " are read)");
    budget_.take(n * kItemCost);
    std::unordered_map<std::string, int> repeats; // by first spelling
    v.fields.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const char *from = names.data() + i * slot;
        const std::string name(from, strnlen(from, slot));
        const auto seen = repeats.find(name);
        if (seen == repeats.end()) {
            repeats.emplace(name, 0);
            v.fields.push_back(name);
        } else {
            v.fields.push_back("_" + std::to_string(++seen->second) + "_" + name);
        }
    }
}

} // namespace mat
} // namespace telvar
