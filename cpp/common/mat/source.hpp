// Byte sources the reader parses from: a file read with ordinary reads (no
// memory map: another process may truncate the file under us), bytes in
// memory (for fuzzing), and a zlib stream inside either, inflated straight
// into the caller's buffer.
#pragma once

#include "common/mat/unique_fd.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace telvar {
namespace mat {

class Source {
public:
    virtual ~Source() = default;
    // Exactly `n` bytes into `dst`; FormatError when the data end first.
    virtual void read(void *dst, size_t n) = 0;
    virtual void skip(uint64_t n) = 0;
    // Bytes consumed so far.
    uint64_t offset() const { return offset_; }

protected:
    uint64_t offset_ = 0;
};

class FileSource : public Source {
public:
    explicit FileSource(const std::string &path);

    void read(void *dst, size_t n) override;
    void skip(uint64_t n) override { offset_ += n; }
    uint64_t size() const { return size_; }

private:
    void pread_exactly(void *dst, size_t n, uint64_t at);

    std::string path_;
    UniqueFd fd_;
    uint64_t size_ = 0;
    std::vector<unsigned char> buffer_;
    uint64_t buffer_start_ = 0; // file offset of buffer_[0]
    size_t buffer_len_ = 0;
};

class MemorySource : public Source {
public:
    MemorySource(const unsigned char *data, size_t size) : data_(data), size_(size) {}
    void read(void *dst, size_t n) override;
    void skip(uint64_t n) override;

private:
    const unsigned char *data_;
    size_t size_;
};

// The inflated bytes of the next `compressed` bytes of `input`.
class InflateSource : public Source {
public:
    InflateSource(Source &input, uint64_t compressed);
    ~InflateSource() override;
    InflateSource(const InflateSource &) = delete;
    InflateSource &operator=(const InflateSource &) = delete;

    void read(void *dst, size_t n) override;
    void skip(uint64_t n) override;
    // True when the stream holds no bytes beyond those read (a stream cut
    // short after the last byte read counts as ended).
    bool at_end();

private:
    size_t inflate_into(unsigned char *dst, size_t n);

    struct Stream;
    std::unique_ptr<Stream> z_;
    Source &input_;
    uint64_t compressed_left_;
    std::vector<unsigned char> in_;
    bool ended_ = false;
};

} // namespace mat
} // namespace telvar
