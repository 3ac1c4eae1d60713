// Growable byte buffers and validity bitmaps for column builders.
//
// The memory is plain malloc memory: a finished column hands its buffers to
// an exported Arrow array, whose release callback frees them with free().
// Nothing here touches Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace vantrel::arrow {

class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~Buffer() { std::free(data_); }

    // Makes room for `extra` more bytes; false when memory runs out.
    bool reserve(std::size_t extra) noexcept {
        if (extra <= capacity_ - size_) {
            return true;
        }
        std::size_t want = size_ + extra;
        std::size_t grown = capacity_ < 64 ? 64 : capacity_ * 2;
        std::size_t cap = grown > want ? grown : want;
        void* p = std::realloc(data_, cap);
        if (p == nullptr) {
            return false;
        }
        data_ = static_cast<std::uint8_t*>(p);
        capacity_ = cap;
        return true;
    }
    // Appends bytes already reserved.
    void put(const void* src, std::size_t n) noexcept {
        if (n != 0) {
            std::memcpy(data_ + size_, src, n);
            size_ += n;
        }
    }
    // put() for short strings: fixed-size copies the compiler inlines.
    void put_short(const void* src, std::size_t n) noexcept {
        auto* d = data_ + size_;
        const auto* s = static_cast<const std::uint8_t*>(src);
        if (n >= 8 && n <= 16) {
            std::memcpy(d, s, 8);
            std::memcpy(d + n - 8, s + n - 8, 8);
        } else if (n >= 4 && n < 8) {
            std::memcpy(d, s, 4);
            std::memcpy(d + n - 4, s + n - 4, 4);
        } else if (n < 4) {
            for (std::size_t k = 0; k < n; ++k) {
                d[k] = s[k];
            }
        } else {
            std::memcpy(d, s, n);
        }
        size_ += n;
    }
    // put_short() of an ASCII string of at most 16 bytes, checked by the
    // loads that copy it: false, with nothing appended, for any other.
    bool put_ascii(const void* src, std::size_t n) noexcept {
        auto* d = data_ + size_;
        const auto* s = static_cast<const std::uint8_t*>(src);
        if (n >= 8 && n <= 16) {
            std::uint64_t a, b;
            std::memcpy(&a, s, 8);
            std::memcpy(&b, s + n - 8, 8);
            if ((a | b) & 0x8080808080808080ull) {
                return false;
            }
            std::memcpy(d, &a, 8);
            std::memcpy(d + n - 8, &b, 8);
        } else if (n >= 4 && n < 8) {
            std::uint32_t a, b;
            std::memcpy(&a, s, 4);
            std::memcpy(&b, s + n - 4, 4);
            if ((a | b) & 0x80808080u) {
                return false;
            }
            std::memcpy(d, &a, 4);
            std::memcpy(d + n - 4, &b, 4);
        } else if (n > 0 && n < 4) {  // bytes 0, n/2 and n-1 are all of them
            const std::uint8_t a = s[0], b = s[n >> 1], c = s[n - 1];
            if ((a | b | c) & 0x80) {
                return false;
            }
            d[0] = a;
            d[n >> 1] = b;
            d[n - 1] = c;
        } else if (n != 0) {
            return false;
        }
        size_ += n;
        return true;
    }
    template <typename T>
    void put_value(T v) noexcept {
        std::memcpy(data_ + size_, &v, sizeof v);
        size_ += sizeof v;
    }
    // Zero-filled growth to `n` bytes in all.
    bool grow_zeroed(std::size_t n) noexcept {
        if (n <= size_) {
            return true;
        }
        if (!reserve(n - size_)) {
            return false;
        }
        std::memset(data_ + size_, 0, n - size_);
        size_ = n;
        return true;
    }
    void truncate(std::size_t n) noexcept { size_ = n < size_ ? n : size_; }

    std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    // Hands the memory over (to be freed with free()); the buffer is empty after.
    [[nodiscard]] void* release() noexcept {
        size_ = capacity_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

inline void set_bit(std::uint8_t* bits, std::int64_t i) noexcept {
    bits[i >> 3] = static_cast<std::uint8_t>(bits[i >> 3] | (1u << (i & 7)));
}

inline void clear_bit(std::uint8_t* bits, std::int64_t i) noexcept {
    bits[i >> 3] = static_cast<std::uint8_t>(bits[i >> 3] & ~(1u << (i & 7)));
}

}  // namespace vantrel::arrow
