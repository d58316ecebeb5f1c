#include "common/mat/source.hpp"

#include "common/mat/errors.hpp"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace telvar {
namespace mat {

namespace {
constexpr size_t kChunk = size_t(64) << 10;
} // namespace

// ---- file ------------------------------------------------------------------

FileSource::FileSource(const std::string &path) : path_(path), buffer_(kChunk) {
    // O_NONBLOCK: opening a FIFO put in the file's place must not hang; it is
    // refused below, and reads of regular files ignore the flag.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        throw IoError(errno, path, "cannot open");
    fd_ = UniqueFd(fd);
    struct stat st;
    if (::fstat(fd_.get(), &st) != 0)
        throw IoError(errno, path, "cannot stat");
    if (!S_ISREG(st.st_mode))
        throw IoError(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, path, "not a regular file");
    size_ = static_cast<uint64_t>(st.st_size);
}

void FileSource::pread_exactly(void *dst, size_t n, uint64_t at) {
    auto *out = static_cast<unsigned char *>(dst);
    while (n > 0) {
        const size_t want = std::min<size_t>(n, size_t(1) << 30);
        const ssize_t got = ::pread(fd_.get(), out, want, static_cast<off_t>(at));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw IoError(errno, path_, "cannot read");
        }
        if (got == 0)
            throw FormatError("the file was shortened to " + std::to_string(at) +
                              " bytes while it was read");
        out += got;
        at += static_cast<uint64_t>(got);
        n -= static_cast<size_t>(got);
    }
}

void FileSource::read(void *dst, size_t n) {
    if (offset_ > size_ || n > size_ - offset_)
        throw FormatError("the file ends at byte " + std::to_string(size_) +
                          ", inside the data that start at byte " + std::to_string(offset_));
    if (n == 0)
        return;
    auto *out = static_cast<unsigned char *>(dst);
    if (offset_ >= buffer_start_ && offset_ < buffer_start_ + buffer_len_) {
        const size_t have =
            std::min<size_t>(n, static_cast<size_t>(buffer_start_ + buffer_len_ - offset_));
        std::memcpy(out, buffer_.data() + (offset_ - buffer_start_), have);
        out += have;
        n -= have;
        offset_ += have;
    }
    if (n == 0)
        return;
    if (n >= buffer_.size()) { // large data go straight to their destination
        pread_exactly(out, n, offset_);
        offset_ += n;
        return;
    }
    const size_t fill = static_cast<size_t>(std::min<uint64_t>(buffer_.size(), size_ - offset_));
    buffer_len_ = 0;
    pread_exactly(buffer_.data(), fill, offset_);
    buffer_start_ = offset_;
    buffer_len_ = fill;
    std::memcpy(out, buffer_.data(), n);
    offset_ += n;
}

// ---- memory ----------------------------------------------------------------

void MemorySource::read(void *dst, size_t n) {
    if (offset_ > size_ || n > size_ - offset_)
        throw FormatError("the data end at byte " + std::to_string(size_) +
                          ", inside the data that start at byte " + std::to_string(offset_));
    if (n > 0)
        std::memcpy(dst, data_ + offset_, n);
    offset_ += n;
}

void MemorySource::skip(uint64_t n) {
    if (offset_ > size_ || n > size_ - offset_)
        throw FormatError("the data end at byte " + std::to_string(size_));
    offset_ += n;
}

// ---- zlib ------------------------------------------------------------------

struct InflateSource::Stream {
    z_stream z{};
    Stream() {
        const int rc = inflateInit(&z);
        if (rc == Z_MEM_ERROR)
            throw std::bad_alloc();
        if (rc != Z_OK)
            throw FormatError("cannot start zlib");
    }
    ~Stream() { inflateEnd(&z); }
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;
};

InflateSource::InflateSource(Source &input, uint64_t compressed)
    : z_(std::make_unique<Stream>()), input_(input), compressed_left_(compressed), in_(kChunk) {}

InflateSource::~InflateSource() = default;

size_t InflateSource::inflate_into(unsigned char *dst, size_t n) {
    z_stream &z = z_->z;
    size_t produced = 0;
    while (produced < n && !ended_) {
        if (z.avail_in == 0) {
            if (compressed_left_ == 0)
                break; // a stream cut short: what it gave is all there is
            const size_t take = static_cast<size_t>(std::min<uint64_t>(in_.size(), compressed_left_));
            input_.read(in_.data(), take);
            compressed_left_ -= take;
            z.next_in = in_.data();
            z.avail_in = static_cast<uInt>(take);
        }
        const size_t want = std::min<size_t>(n - produced, UINT_MAX / 2);
        z.next_out = dst + produced;
        z.avail_out = static_cast<uInt>(want);
        const int rc = inflate(&z, Z_NO_FLUSH);
        produced += want - z.avail_out;
        if (rc == Z_STREAM_END) {
            ended_ = true;
        } else if (rc == Z_MEM_ERROR) {
            throw std::bad_alloc();
        } else if (rc == Z_BUF_ERROR && z.avail_in == 0) {
            continue; // wants more input
        } else if (rc != Z_OK) {
            throw FormatError(std::string("the compressed data are damaged (") +
                              (z.msg ? z.msg : "zlib error " + std::to_string(rc)) + ")");
        }
    }
    return produced;
}

void InflateSource::read(void *dst, size_t n) {
    if (n == 0)
        return;
    if (inflate_into(static_cast<unsigned char *>(dst), n) != n)
        throw FormatError("the compressed data end after " + std::to_string(z_->z.total_out) +
                          " bytes, inside the variable they hold");
    offset_ += n;
}

void InflateSource::skip(uint64_t n) {
    unsigned char scratch[4096];
    while (n > 0) {
        const size_t step = static_cast<size_t>(std::min<uint64_t>(n, sizeof scratch));
        read(scratch, step);
        n -= step;
    }
}

bool InflateSource::at_end() {
    if (ended_)
        return true;
    unsigned char probe;
    return inflate_into(&probe, 1) == 0;
}

} // namespace mat
} // namespace telvar
