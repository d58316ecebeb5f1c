// Owned, aligned bytes that can be handed over to another owner (a numpy
// array) without a copy.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace telvar {
namespace mat {

class Buffer {
public:
    Buffer() = default;
    // `size` bytes, uninitialised; std::bad_alloc when there is no memory.
    static Buffer allocate(size_t size);

    std::byte *data() const { return bytes_.get(); }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Gives up ownership; the caller frees the bytes with Buffer::free.
    std::byte *release() {
        size_ = 0;
        return bytes_.release();
    }
    static void free(void *bytes) noexcept { std::free(bytes); }

private:
    struct Free {
        void operator()(std::byte *p) const noexcept { std::free(p); }
    };
    std::unique_ptr<std::byte, Free> bytes_;
    size_t size_ = 0;
};

} // namespace mat
} // namespace telvar
