#include "common/mat/reader.hpp"

#include "common/mat/element_parser.hpp"
#include "common/mat/errors.hpp"
#include "common/mat/source.hpp"

#include <algorithm>

namespace telvar {
namespace mat {

namespace {

// Deflate cannot expand input more than 1032-fold (a 258-byte match coded in
// two bits), so a compressed variable declaring more than this is damaged;
// refusing it before allocating keeps a small file from asking for gigabytes.
uint64_t inflated_bound(uint64_t compressed) { return compressed * 1100 + 4096; }

[[noreturn]] void fail(uint64_t at, const std::string &what) {
    throw FormatError(what + " (at byte " + std::to_string(at) + ")");
}

std::string strip_header_text(const unsigned char *text) {
    const auto blank = [](unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\0'; };
    size_t begin = 0, end = kHeaderTextBytes;
    while (begin < end && blank(text[begin]))
        ++begin;
    while (end > begin && blank(text[end - 1]))
        --end;
    return std::string(reinterpret_cast<const char *>(text) + begin, end - begin);
}

// The 128-byte header: text, version, byte-order mark.
void read_header(Source &s, uint64_t size, MatFile &file) {
    if (size < kHeaderBytes)
        throw FormatError("the file has " + std::to_string(size) +
                          " bytes, fewer than a MAT file header's 128");
    unsigned char h[kHeaderBytes];
    s.read(h, kHeaderBytes);
    if (std::all_of(h, h + kHeaderBytes, [](unsigned char c) { return c == 0; }))
        throw FormatError("the file header is all zero bytes");
    if (h[0] == 0 || h[1] == 0 || h[2] == 0 || h[3] == 0)
        throw FormatError("the file is a MAT v4 file or its header is damaged; "
                          "only MAT v5 files are read");
    // the writer stores the characters "MI" as a native uint16
    bool little;
    if (h[126] == 'I' && h[127] == 'M')
        little = true;
    else if (h[126] == 'M' && h[127] == 'I')
        little = false;
    else
        throw FormatError("the file header has no byte-order mark ('IM' or 'MI' at byte 126)");
    file.big_endian = !little;
    const bool swapped = little != kHostLittleEndian;
    const uint16_t version = load_u16(h + 124, swapped);
    file.version_major = version >> 8;
    file.version_minor = version & 0xff;
    if (file.version_major == 2)
        throw FormatError("MAT v7.3 (HDF5) files are not read");
    if (file.version_major != 1)
        throw FormatError("unknown MAT file version " + std::to_string(file.version_major) + "." +
                          std::to_string(file.version_minor));
    file.header_text = strip_header_text(h);
}

Variable compressed_variable(Source &s, uint64_t compressed, bool swapped, Budget &budget,
                             const Limits &limits) {
    const uint64_t start = s.offset();
    InflateSource z(s, compressed);
    Variable var;
    try {
        unsigned char raw[kTagBytes];
        z.read(raw, kTagBytes);
        const uint32_t type = load_u32(raw, swapped);
        const uint32_t bytes = load_u32(raw + 4, swapped);
        if (type != miMATRIX)
            fail(0, "the compressed data hold an element of data type " + std::to_string(type) +
                        ", not a matrix");
        if (bytes == 0)
            fail(0, "the compressed matrix is empty");
        if (bytes > inflated_bound(compressed))
            fail(0, "the compressed matrix declares " + std::to_string(bytes) + " bytes, more than " +
                        std::to_string(compressed) + " compressed bytes can hold");
        const uint64_t end = kTagBytes + uint64_t(bytes);
        ElementParser parser(z, swapped, budget, limits.max_depth);
        var.value = parser.matrix_body(end, 0, &var.name, &var.global);
        z.skip(end - z.offset());
        if (!z.at_end())
            fail(end, "the compressed data hold more bytes than the matrix they hold");
    } catch (const FormatError &e) {
        throw FormatError("in the compressed variable at byte " + std::to_string(start - kTagBytes) +
                          ": " + e.what() + " [offsets inside the decompressed data]");
    }
    s.skip(start + compressed - s.offset());
    return var;
}

MatFile read_source(Source &s, uint64_t size, const Limits &limits) {
    MatFile file;
    read_header(s, size, file);
    const bool swapped = file.big_endian == kHostLittleEndian;
    Budget budget(limits);
    while (s.offset() < size) {
        const uint64_t at = s.offset();
        if (size - at < kTagBytes)
            fail(at, std::to_string(size - at) + " stray bytes at the end of the file");
        unsigned char raw[kTagBytes];
        s.read(raw, kTagBytes);
        const uint32_t type = load_u32(raw, swapped);
        const uint32_t bytes = load_u32(raw + 4, swapped);
        if (type != miMATRIX && type != miCOMPRESSED)
            fail(at, "a variable has data type " + std::to_string(type) +
                         "; a matrix (14) or compressed data (15) were expected");
        if (bytes == 0)
            fail(at, "a variable declares no bytes");
        if (bytes > size - s.offset())
            fail(at, "a variable declares " + std::to_string(bytes) + " bytes but only " +
                         std::to_string(size - s.offset()) + " remain in the file");
        if (type == miCOMPRESSED) {
            file.variables.push_back(compressed_variable(s, bytes, swapped, budget, limits));
            continue;
        }
        const uint64_t end = s.offset() + bytes;
        Variable var;
        ElementParser parser(s, swapped, budget, limits.max_depth);
        var.value = parser.matrix_body(end, 0, &var.name, &var.global);
        s.skip(end - s.offset());
        file.variables.push_back(std::move(var));
    }
    return file;
}

} // namespace

MatFile read_file(const std::string &path, const Limits &limits) {
    FileSource source(path);
    return read_source(source, source.size(), limits);
}

MatFile read_bytes(const unsigned char *data, size_t size, const Limits &limits) {
    MemorySource source(data, size);
    return read_source(source, size, limits);
}

} // namespace mat
} // namespace telvar
