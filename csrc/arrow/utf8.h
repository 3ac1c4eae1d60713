// UTF-8 validation of string values before they enter a utf8 column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vantrel::arrow {

// True when s[0:n] is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
inline bool valid_utf8(const char* data, std::size_t n) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(data);
    if (n <= 16) {  // short strings, most of them ASCII: two overlapping loads, no loop
        std::uint64_t any = 0;
        if (n >= 8) {
            std::uint64_t a, b;
            std::memcpy(&a, s, 8);
            std::memcpy(&b, s + n - 8, 8);
            any = a | b;
        } else if (n >= 4) {
            std::uint32_t a, b;
            std::memcpy(&a, s, 4);
            std::memcpy(&b, s + n - 4, 4);
            any = a | b;
        } else if (n > 0) {
            any = s[0] | s[n >> 1] | s[n - 1];
        }
        if ((any & 0x8080808080808080ull) == 0) {
            return true;
        }
    }
    std::size_t i = 0;
    while (i < n) {
        // ASCII runs eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, s + i, 8);
            if (w & 0x8080808080808080ull) {
                break;
            }
            i += 8;
        }
        if (i >= n) {
            break;
        }
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xbf;  // bounds of the second byte
        if (c >= 0xc2 && c <= 0xdf) {
            len = 2;
        } else if (c >= 0xe0 && c <= 0xef) {
            len = 3;
            if (c == 0xe0) lo = 0xa0;
            if (c == 0xed) hi = 0x9f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            len = 4;
            if (c == 0xf0) lo = 0x90;
            if (c == 0xf4) hi = 0x8f;
        } else {
            return false;
        }
        if (n - i < len || s[i + 1] < lo || s[i + 1] > hi) {
            return false;
        }
        for (std::size_t k = 2; k < len; ++k) {
            if ((s[i + k] & 0xc0) != 0x80) {
                return false;
            }
        }
        i += len;
    }
    return true;
}

}  // namespace vantrel::arrow
