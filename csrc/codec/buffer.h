// A growable byte buffer with room for small bodies inline, so that packing a
// small request allocates nothing but the final bytes object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ref.h"

namespace vantrel::codec {

class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (data_ != inline_) {
            PyMem_Free(data_);
        }
    }

    char* data() noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

    // Room for n more bytes; false with MemoryError set.
    bool reserve(std::size_t n) noexcept { return cap_ - size_ >= n || grow(n); }

    // The put_* functions write into room made by reserve().
    void put(std::uint8_t b) noexcept { data_[size_++] = static_cast<char>(b); }
    template <typename T>
    void put_be(T v) noexcept {  // big-endian, sizeof(T) bytes
        for (std::size_t k = sizeof(T); k-- > 0;) {
            data_[size_++] = static_cast<char>(static_cast<std::uint8_t>(v >> (8 * k)));
        }
    }
    void put_bytes(const void* p, std::size_t n) noexcept {
        if (n != 0) {
            std::memcpy(data_ + size_, p, n);
            size_ += n;
        }
    }
    bool append(const void* p, std::size_t n) noexcept {
        if (!reserve(n)) {
            return false;
        }
        put_bytes(p, n);
        return true;
    }
    // Leaves n bytes to be written later (a header in front of its body).
    bool skip(std::size_t n) noexcept {
        if (!reserve(n)) {
            return false;
        }
        size_ += n;
        return true;
    }

private:
    bool grow(std::size_t n) noexcept {
        if (n > PY_SSIZE_T_MAX - size_) {
            PyErr_NoMemory();
            return false;
        }
        std::size_t cap = cap_ * 2;
        if (cap < size_ + n) {
            cap = size_ + n;
        }
        char* p = static_cast<char*>(PyMem_Malloc(cap));
        if (p == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        std::memcpy(p, data_, size_);
        if (data_ != inline_) {
            PyMem_Free(data_);
        }
        data_ = p;
        cap_ = cap;
        return true;
    }

    char inline_[512];
    char* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t cap_ = sizeof inline_;
};

}  // namespace vantrel::codec
