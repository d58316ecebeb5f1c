#include "common/mat/column_major.hpp"

#include "common/mat/errors.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace telvar {
namespace mat {

namespace {

template <typename T> T byte_swapped(T v) {
    if constexpr (sizeof(T) == 2)
        return swap16(v);
    else if constexpr (sizeof(T) == 4)
        return swap32(v);
    else if constexpr (sizeof(T) == 8)
        return swap64(v);
    else
        return v;
}

// n items from src (stride in bytes) to consecutive items at dst.
template <typename T, bool Swap>
void copy_run(std::byte *dst, const std::byte *src, int64_t stride, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        T v;
        std::memcpy(&v, src + static_cast<int64_t>(i) * stride, sizeof(T));
        if constexpr (Swap)
            v = byte_swapped(v);
        std::memcpy(dst + i * sizeof(T), &v, sizeof(T));
    }
}

// The array with its length-1 axes dropped (they change neither the order
// nor the addresses).
StridedData squeezed(const StridedData &a) {
    StridedData s;
    s.data = a.data;
    s.itemsize = a.itemsize;
    s.swap = a.swap;
    for (size_t k = 0; k < a.shape.size(); ++k) {
        if (a.shape[k] != 1) {
            s.shape.push_back(a.shape[k]);
            s.strides.push_back(a.strides[k]);
        }
    }
    return s;
}

bool column_contiguous(const StridedData &a) {
    int64_t expected = static_cast<int64_t>(a.itemsize);
    for (size_t k = 0; k < a.shape.size(); ++k) {
        if (a.strides[k] != expected)
            return false;
        expected *= a.shape[k];
    }
    return true;
}

template <typename T, bool Swap> class Gatherer {
public:
    Gatherer(Sink &sink, const StridedData &a) : sink_(sink), a_(a) {}

    void run() {
        const size_t nd = a_.shape.size();
        if (nd == 0) {
            column(a_.data, 0, 1);
            return;
        }
        if (nd == 2 && std::llabs(a_.strides[0]) > std::llabs(a_.strides[1])) {
            rows_then_columns();
            return;
        }
        // every run along the first axis, the other axes walked column-major
        StridedData outer = a_;
        outer.shape.erase(outer.shape.begin());
        outer.strides.erase(outer.strides.begin());
        const size_t len = static_cast<size_t>(a_.shape[0]);
        const int64_t stride = a_.strides[0];
        for_each_column_major(outer, [&](const std::byte *p) { column(p, stride, len); });
    }

private:
    // `n` items from `src` along `stride`, in pieces that fit the sink's window.
    void column(const std::byte *src, int64_t stride, size_t n) {
        while (n > 0) {
            size_t room;
            std::byte *dst = sink_.window(sizeof(T), &room);
            const size_t step = std::min(n, room / sizeof(T));
            copy_run<T, Swap>(dst, src, stride, step);
            sink_.commit(step * sizeof(T));
            n -= step;
            if (n > 0) // never point past the array
                src += static_cast<int64_t>(step) * stride;
        }
    }

    // A 2-D array whose rows are closer in memory than its columns (a
    // C-ordered matrix): blocks of whole columns are filled row by row, so
    // the reads run along memory and the scattered writes stay in the buffer.
    void rows_then_columns() {
        const size_t rows = static_cast<size_t>(a_.shape[0]);
        const size_t cols = static_cast<size_t>(a_.shape[1]);
        const int64_t s0 = a_.strides[0], s1 = a_.strides[1];
        const size_t column_bytes = rows * sizeof(T);
        size_t c = 0;
        while (c < cols) {
            size_t room;
            std::byte *dst = sink_.window(std::min<size_t>(column_bytes, size_t(256) << 10), &room);
            if (room < column_bytes) { // a column longer than the buffer
                column(a_.data + static_cast<int64_t>(c) * s1, s0, rows);
                ++c;
                continue;
            }
            const size_t block = std::min(cols - c, room / column_bytes);
            const std::byte *base = a_.data + static_cast<int64_t>(c) * s1;
            for (size_t r = 0; r < rows; ++r) {
                const std::byte *src = base + static_cast<int64_t>(r) * s0;
                std::byte *out = dst + r * sizeof(T);
                for (size_t j = 0; j < block; ++j) {
                    T v;
                    std::memcpy(&v, src + static_cast<int64_t>(j) * s1, sizeof(T));
                    if constexpr (Swap)
                        v = byte_swapped(v);
                    std::memcpy(out + j * column_bytes, &v, sizeof(T));
                }
            }
            sink_.commit(block * column_bytes);
            c += block;
        }
    }

    Sink &sink_;
    const StridedData &a_;
};

template <typename T> void gather(Sink &sink, const StridedData &a) {
    if (a.swap)
        Gatherer<T, true>(sink, a).run();
    else
        Gatherer<T, false>(sink, a).run();
}

void append_utf8(std::string &out, uint32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        if (c >= 0xD800 && c <= 0xDFFF)
            throw FormatError("text holds a lone surrogate (U+" + std::to_string(c) +
                              "), which UTF-8 cannot encode");
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c <= 0x10FFFF) {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        throw FormatError("text holds the value " + std::to_string(c) + ", which is no character");
    }
}

} // namespace

void write_column_major(Sink &sink, const StridedData &a) {
    const StridedData s = squeezed(a);
    if (a.count() == 0)
        return;
    if (!s.swap && column_contiguous(s)) {
        sink.write(s.data, a.count() * s.itemsize);
        return;
    }
    switch (s.itemsize) {
    case 1: gather<uint8_t>(sink, s); break;
    case 2: gather<uint16_t>(sink, s); break;
    case 4: gather<uint32_t>(sink, s); break;
    case 8: gather<uint64_t>(sink, s); break;
    default: throw FormatError("items of " + std::to_string(s.itemsize) + " bytes are not written");
    }
}

std::string char_matrix_text(const StridedData &strings, size_t width, bool ucs4) {
    std::string out;
    out.reserve(static_cast<size_t>(strings.count()) * width);
    for (size_t k = 0; k < width; ++k) {
        for_each_column_major(strings, [&](const std::byte *item) {
            if (!ucs4) {
                const char c = static_cast<char>(item[k]);
                out.push_back(c == '\0' ? ' ' : c);
                return;
            }
            uint32_t c;
            std::memcpy(&c, item + 4 * k, 4);
            if (strings.swap)
                c = swap32(c);
            append_utf8(out, c == 0 ? uint32_t(' ') : c);
        });
    }
    return out;
}

} // namespace mat
} // namespace telvar
