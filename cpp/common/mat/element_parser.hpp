// Parsing of one matrix element (and the elements inside it) from a source,
// within a byte bound. Internal to the reader.
#pragma once

#include "common/mat/source.hpp"
#include "common/mat/value.hpp"

#include <cstdint>
#include <string>

namespace telvar {
namespace mat {

// Keeps count of what a file has made the reader build, against the limits.
class Budget {
public:
    explicit Budget(const Limits &limits);
    void take(uint64_t bytes);
    void take_unbacked(uint64_t elements);

private:
    uint64_t bytes_left_;
    uint64_t unbacked_left_;
};

class ElementParser {
public:
    ElementParser(Source &source, bool swapped, Budget &budget, int max_depth)
        : s_(source), swapped_(swapped), budget_(budget), max_depth_(max_depth) {}

    // The content of a matrix element whose tag has been read; it ends at
    // `end`. Sets the stored name and the global flag when asked for them.
    Value matrix_body(uint64_t end, int depth, std::string *name, bool *global);

private:
    struct Tag {
        uint32_t type = 0;
        uint32_t bytes = 0;
        bool small = false;
        unsigned char data[4] = {0, 0, 0, 0};
        uint64_t at = 0; // offset of the tag
    };

    [[noreturn]] void fail(uint64_t at, const std::string &what) const;
    Tag tag(uint64_t end);
    void payload(const Tag &t, void *dst, uint64_t end);
    std::string payload_string(const Tag &t, uint64_t end);
    std::string int8_text(uint64_t end, const char *what);
    uint32_t array_flags(uint64_t end);
    void dimensions(uint64_t end, Value &v);
    uint64_t element_count(const Value &v, uint64_t at) const;

    Value sub_matrix(uint64_t end, int depth);
    void numeric(uint64_t end, uint32_t flags, Value &v);
    Buffer numeric_part(uint64_t end, uint64_t count, Scalar *scalar);
    void char_array(uint64_t end, Value &v);
    // A cell array's or struct's element count, once its depth is allowed.
    uint64_t nested(uint64_t at, int depth, Value::Kind kind, Value &v);
    void cells(uint64_t end, int depth, Value &v);
    void structure(uint64_t end, int depth, Value &v);
    void field_names(uint64_t end, Value &v);

    Source &s_;
    bool swapped_;
    Budget &budget_;
    int max_depth_;
};

} // namespace mat
} // namespace telvar
