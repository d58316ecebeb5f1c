#include "common/mat/writer.hpp"

#include "common/mat/column_major.hpp"
#include "common/mat/errors.hpp"

#include <zlib.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <new>

namespace telvar {
namespace mat {

namespace {

constexpr uint64_t kMaxElementBytes = UINT32_MAX;

// Bytes a data element of `n` payload bytes takes: small elements (up to 4
// bytes) share their tag's 8 bytes, others are padded to 8.
uint64_t element_bytes(uint64_t n) { return n <= 4 ? kTagBytes : kTagBytes + padded8(n); }

uint64_t measure_node(Node &node, size_t name_bytes) {
    for (uint64_t d : node.dims)
        if (d > static_cast<uint64_t>(INT32_MAX))
            throw FormatError("a dimension of " + std::to_string(d) +
                              " is too large for a MAT v5 file (at most 2^31 - 1)");
    uint64_t body = 16 + element_bytes(4 * node.dims.size()) + element_bytes(name_bytes);
    switch (node.kind) {
    case Node::Kind::Numeric: {
        const uint64_t part = node.real.count() * node.real.itemsize;
        body += element_bytes(part) * (node.complex ? 2 : 1);
        break;
    }
    case Node::Kind::Char:
        body += element_bytes(node.text.size());
        break;
    case Node::Kind::Struct:
        body += kTagBytes + element_bytes(uint64_t(node.fields.size()) * node.name_slot);
        [[fallthrough]];
    case Node::Kind::Cell:
        for (Node &item : node.items)
            body += kTagBytes + measure_node(item, 0);
        break;
    }
    if (body > kMaxElementBytes)
        throw FormatError("a matrix of " + std::to_string(body) +
                          " bytes is too large for a MAT v5 file (at most 4 GiB each)");
    node.body_bytes = body;
    return body;
}

void put_u32(Sink &sink, uint32_t v) { sink.write(&v, 4); }

void put_tag(Sink &sink, uint32_t type, uint64_t bytes) {
    put_u32(sink, type);
    put_u32(sink, static_cast<uint32_t>(bytes));
}

void put_element(Sink &sink, uint32_t type, const void *data, size_t n) {
    if (n <= 4) {
        unsigned char small[4] = {0, 0, 0, 0};
        if (n)
            std::memcpy(small, data, n);
        put_u32(sink, static_cast<uint32_t>(n << 16) | type);
        sink.write(small, 4);
        return;
    }
    put_tag(sink, type, n);
    sink.write(data, n);
    sink.write_zeros(padded8(n) - n);
}

void put_numeric_part(Sink &sink, DataType type, const StridedData &part) {
    const uint64_t n = part.count() * part.itemsize;
    if (n <= 4) {
        MemorySink small;
        write_column_major(small, part);
        put_element(sink, type, small.bytes().data(), small.bytes().size());
        return;
    }
    put_tag(sink, type, n);
    write_column_major(sink, part);
    sink.write_zeros(padded8(n) - n);
}

uint32_t class_word(const Node &node) {
    switch (node.kind) {
    case Node::Kind::Char: return mxCHAR;
    case Node::Kind::Cell: return mxCELL;
    case Node::Kind::Struct: return mxSTRUCT;
    default:
        return class_of(node.scalar) | (node.complex ? kFlagComplex : 0) |
               (node.logical ? kFlagLogical : 0);
    }
}

void put_matrix(Sink &sink, const Node &node, const std::string &name) {
    put_tag(sink, miMATRIX, node.body_bytes);
    put_tag(sink, miUINT32, 8);
    put_u32(sink, class_word(node));
    put_u32(sink, 0);
    std::vector<int32_t> dims(node.dims.begin(), node.dims.end());
    put_element(sink, miINT32, dims.data(), 4 * dims.size());
    put_element(sink, miINT8, name.data(), name.size());
    switch (node.kind) {
    case Node::Kind::Numeric:
        put_numeric_part(sink, data_type_of(node.scalar), node.real);
        if (node.complex)
            put_numeric_part(sink, data_type_of(node.scalar), node.imag);
        break;
    case Node::Kind::Char:
        put_element(sink, miUTF8, node.text.data(), node.text.size());
        break;
    case Node::Kind::Struct: {
        const int32_t slot = static_cast<int32_t>(node.name_slot);
        put_element(sink, miINT32, &slot, 4);
        std::string names(node.fields.size() * node.name_slot, '\0');
        for (size_t i = 0; i < node.fields.size(); ++i)
            names.replace(i * node.name_slot, node.fields[i].size(), node.fields[i]);
        put_element(sink, miINT8, names.data(), names.size());
        [[fallthrough]];
    }
    case Node::Kind::Cell:
        for (const Node &item : node.items)
            put_matrix(sink, item, std::string());
        break;
    }
}

void put_compressed(Sink &sink, const NamedNode &var) {
    MemorySink plain;
    put_matrix(plain, var.node, var.name);
    const auto &in = plain.bytes();
    uLongf size = compressBound(static_cast<uLong>(in.size()));
    std::vector<Bytef> out(size);
    const int rc = compress2(out.data(), &size, reinterpret_cast<const Bytef *>(in.data()),
                             static_cast<uLong>(in.size()), Z_DEFAULT_COMPRESSION);
    if (rc == Z_MEM_ERROR)
        throw std::bad_alloc();
    if (rc != Z_OK)
        throw FormatError("zlib could not compress variable " + var.name);
    if (size > kMaxElementBytes)
        throw FormatError("variable " + var.name + " is too large for a MAT v5 file");
    put_tag(sink, miCOMPRESSED, size);
    sink.write(out.data(), size); // compressed elements are not padded
}

std::string header_text() {
    char when[64] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local))
        std::strftime(when, sizeof when, "%a %b %e %H:%M:%S %Y", &local);
    return std::string("MATLAB 5.0 MAT-file Platform: posix, Created on: ") + when;
}

void put_header(Sink &sink) {
    unsigned char h[kHeaderBytes] = {};
    const std::string text = header_text();
    std::memcpy(h, text.data(), std::min(text.size(), kHeaderTextBytes));
    const uint16_t version = 0x0100, mark = ('M' << 8) | 'I';
    std::memcpy(h + 124, &version, 2);
    std::memcpy(h + 126, &mark, 2);
    sink.write(h, kHeaderBytes);
}

} // namespace

void measure(std::vector<NamedNode> &variables) {
    for (NamedNode &var : variables) {
        try {
            measure_node(var.node, var.name.size());
        } catch (const FormatError &e) {
            throw FormatError("variable " + var.name + ": " + e.what()); // nothing written yet
        }
    }
}

void write_to(Sink &sink, const std::vector<NamedNode> &variables, bool compress) {
    put_header(sink);
    for (const NamedNode &var : variables) {
        if (compress)
            put_compressed(sink, var);
        else
            put_matrix(sink, var.node, var.name);
    }
}

void write_file(const std::string &path, std::vector<NamedNode> &variables,
                const WriteOptions &options) {
    measure(variables);
    FileSink sink(path);
    write_to(sink, variables, options.compress);
    sink.close(options.sync);
}

} // namespace mat
} // namespace telvar
