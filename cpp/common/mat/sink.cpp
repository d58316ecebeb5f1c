#include "common/mat/sink.hpp"

#include "common/mat/errors.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace telvar {
namespace mat {

namespace {
constexpr size_t kFileBuffer = size_t(1) << 20;
constexpr size_t kMemoryWindow = size_t(64) << 10;
} // namespace

void Sink::write_zeros(size_t n) {
    static const std::byte zeros[8] = {};
    while (n > 0) {
        const size_t step = std::min(n, sizeof zeros);
        write(zeros, step);
        n -= step;
    }
}

// ---- file ------------------------------------------------------------------

FileSink::FileSink(const std::string &path) : path_(path), buffer_(kFileBuffer) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        throw IoError(errno, path, "cannot open for writing");
    fd_ = UniqueFd(fd);
}

void FileSink::write_all(const void *data, size_t n) {
    const auto *p = static_cast<const char *>(data);
    while (n > 0) {
        const ssize_t done = ::write(fd_.get(), p, std::min<size_t>(n, size_t(1) << 30));
        if (done < 0) {
            if (errno == EINTR)
                continue;
            throw IoError(errno, path_, "cannot write");
        }
        if (done == 0)
            throw IoError(EIO, path_, "cannot write");
        p += done;
        n -= static_cast<size_t>(done);
    }
}

void FileSink::flush() {
    if (used_ == 0)
        return;
    const size_t n = used_;
    used_ = 0;
    write_all(buffer_.data(), n);
}

void FileSink::write(const void *data, size_t n) {
    if (n == 0)
        return;
    if (n >= buffer_.size() / 2) { // a large block goes from the caller's memory to the kernel
        flush();
        write_all(data, n);
        return;
    }
    if (buffer_.size() - used_ < n)
        flush();
    std::memcpy(buffer_.data() + used_, data, n);
    used_ += n;
}

std::byte *FileSink::window(size_t at_least, size_t *room) {
    if (buffer_.size() - used_ < at_least)
        flush();
    *room = buffer_.size() - used_;
    return buffer_.data() + used_;
}

void FileSink::close(bool sync) {
    flush();
    if (sync && ::fsync(fd_.get()) != 0)
        throw IoError(errno, path_, "cannot sync");
    // a failed close can be the first word of a failed write (NFS, quotas)
    if (::close(fd_.release()) != 0 && errno != EINTR)
        throw IoError(errno, path_, "cannot close");
}

// ---- memory ----------------------------------------------------------------

void MemorySink::write(const void *data, size_t n) {
    if (n == 0)
        return;
    bytes_.resize(used_ + n);
    std::memcpy(bytes_.data() + used_, data, n);
    used_ += n;
}

std::byte *MemorySink::window(size_t at_least, size_t *room) {
    const size_t size = std::max(at_least, kMemoryWindow);
    bytes_.resize(used_ + size);
    *room = size;
    return bytes_.data() + used_;
}

} // namespace mat
} // namespace telvar
