// Where the writer's bytes go: a file written with ordinary buffered writes
// (large blocks go straight from the caller's memory to the kernel), or memory.
#pragma once

#include "common/mat/unique_fd.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace telvar {
namespace mat {

class Sink {
public:
    virtual ~Sink() = default;
    virtual void write(const void *data, size_t n) = 0;
    // Free room to fill in place: at least `at_least` bytes (asking for
    // more than 256 KiB is not honoured), `*room` tells how many; commit()
    // those filled.
    virtual std::byte *window(size_t at_least, size_t *room) = 0;
    virtual void commit(size_t n) = 0;

    void write_zeros(size_t n);
};

class FileSink : public Sink {
public:
    // Creates or truncates `path`.
    explicit FileSink(const std::string &path);

    void write(const void *data, size_t n) override;
    std::byte *window(size_t at_least, size_t *room) override;
    void commit(size_t n) override { used_ += n; }
    // Writes what is buffered, optionally waits for the disk, closes.
    void close(bool sync);

private:
    void flush();
    void write_all(const void *data, size_t n);

    std::string path_;
    UniqueFd fd_;
    std::vector<std::byte> buffer_;
    size_t used_ = 0;
};

class MemorySink : public Sink {
public:
    void write(const void *data, size_t n) override;
    std::byte *window(size_t at_least, size_t *room) override;
    void commit(size_t n) override { bytes_.resize(used_ + n); used_ += n; }
    const std::vector<std::byte> &bytes() const { return bytes_; }

private:
    std::vector<std::byte> bytes_;
    size_t used_ = 0;
};

} // namespace mat
} // namespace telvar
