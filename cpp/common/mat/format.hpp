// The MAT v5 file format: data types, array classes, flag bits, and the
// numeric element types numpy sees. Plain C++, shared by the reader and the
// writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace telvar {
namespace mat {

// Data types of data elements (the first word of a tag).
enum DataType : uint32_t {
    miINT8 = 1,
    miUINT8 = 2,
    miINT16 = 3,
    miUINT16 = 4,
    miINT32 = 5,
    miUINT32 = 6,
    miSINGLE = 7,
    miDOUBLE = 9,
    miINT64 = 12,
    miUINT64 = 13,
    miMATRIX = 14,
    miCOMPRESSED = 15,
    miUTF8 = 16,
    miUTF16 = 17,
    miUTF32 = 18,
};

// Array classes (the low byte of the array flags).
enum ArrayClass : uint32_t {
    mxCELL = 1,
    mxSTRUCT = 2,
    mxOBJECT = 3,
    mxCHAR = 4,
    mxSPARSE = 5,
    mxDOUBLE = 6,
    mxSINGLE = 7,
    mxINT8 = 8,
    mxUINT8 = 9,
    mxINT16 = 10,
    mxUINT16 = 11,
    mxINT32 = 12,
    mxUINT32 = 13,
    mxINT64 = 14,
    mxUINT64 = 15,
    mxFUNCTION = 16,
    mxOPAQUE = 17,
};

constexpr uint32_t kFlagLogical = 1u << 9;
constexpr uint32_t kFlagGlobal = 1u << 10;
constexpr uint32_t kFlagComplex = 1u << 11;

constexpr size_t kHeaderBytes = 128;
constexpr size_t kHeaderTextBytes = 116;
constexpr size_t kTagBytes = 8;
constexpr size_t kMaxDims = 32;

// Element types of numeric arrays, as numpy names them.
enum class Scalar : uint8_t { i1, u1, i2, u2, i4, u4, f4, f8, i8, u8 };

inline size_t scalar_size(Scalar s) {
    switch (s) {
    case Scalar::i1:
    case Scalar::u1:
        return 1;
    case Scalar::i2:
    case Scalar::u2:
        return 2;
    case Scalar::i4:
    case Scalar::u4:
    case Scalar::f4:
        return 4;
    default:
        return 8;
    }
}

// The numeric type a data element of this data type is read as; nothing for
// data types that do not hold numbers (and for values that are no data type).
// Text types hold unsigned integers of their code-unit width.
inline std::optional<Scalar> scalar_of(uint32_t type) {
    switch (type) {
    case miINT8: return Scalar::i1;
    case miUINT8: return Scalar::u1;
    case miINT16: return Scalar::i2;
    case miUINT16: return Scalar::u2;
    case miINT32: return Scalar::i4;
    case miUINT32: return Scalar::u4;
    case miSINGLE: return Scalar::f4;
    case miDOUBLE: return Scalar::f8;
    case miINT64: return Scalar::i8;
    case miUINT64: return Scalar::u8;
    case miUTF8: return Scalar::u1;
    case miUTF16: return Scalar::u2;
    case miUTF32: return Scalar::u4;
    default: return std::nullopt;
    }
}

// The data type and array class a numeric array of this type is written as.
inline DataType data_type_of(Scalar s) {
    switch (s) {
    case Scalar::i1: return miINT8;
    case Scalar::u1: return miUINT8;
    case Scalar::i2: return miINT16;
    case Scalar::u2: return miUINT16;
    case Scalar::i4: return miINT32;
    case Scalar::u4: return miUINT32;
    case Scalar::f4: return miSINGLE;
    case Scalar::f8: return miDOUBLE;
    case Scalar::i8: return miINT64;
    default: return miUINT64;
    }
}

inline ArrayClass class_of(Scalar s) {
    switch (s) {
    case Scalar::i1: return mxINT8;
    case Scalar::u1: return mxUINT8;
    case Scalar::i2: return mxINT16;
    case Scalar::u2: return mxUINT16;
    case Scalar::i4: return mxINT32;
    case Scalar::u4: return mxUINT32;
    case Scalar::f4: return mxSINGLE;
    case Scalar::f8: return mxDOUBLE;
    case Scalar::i8: return mxINT64;
    default: return mxUINT64;
    }
}

inline bool is_numeric_class(uint32_t cls) { return cls >= mxDOUBLE && cls <= mxUINT64; }

inline const char *class_name(uint32_t cls) {
    switch (cls) {
    case mxOBJECT: return "object";
    case mxSPARSE: return "sparse";
    case mxFUNCTION: return "function handle";
    case mxOPAQUE: return "opaque object";
    default: return "unknown";
    }
}

constexpr bool kHostLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

inline uint16_t swap16(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }
inline uint32_t swap32(uint32_t v) { return __builtin_bswap32(v); }
inline uint64_t swap64(uint64_t v) { return __builtin_bswap64(v); }

// Reverses the bytes of each of `count` items of `size` bytes in place.
inline void swap_items(void *data, size_t size, size_t count) {
    auto *p = static_cast<unsigned char *>(data);
    for (size_t i = 0; i < count; ++i, p += size) {
        for (size_t a = 0, b = size - 1; a < b; ++a, --b) {
            const unsigned char t = p[a];
            p[a] = p[b];
            p[b] = t;
        }
    }
}

// A uint32 read from unaligned bytes, in the file's byte order.
inline uint32_t load_u32(const unsigned char *p, bool swapped) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return swapped ? swap32(v) : v;
}

inline uint16_t load_u16(const unsigned char *p, bool swapped) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return swapped ? swap16(v) : v;
}

inline size_t padded8(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }

} // namespace mat
} // namespace telvar
