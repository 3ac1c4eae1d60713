// Readers of a table body for the table walker: one over MessagePack bytes,
// one over rows already decoded into Python lists (bodies sent as JSON).
//
// Both present the body the same way: its row count, then each row's length
// and values as MessagePack items.  A value that the walker does not use is
// skipped without being looked at.
#pragma once

#include <cstring>
#include <string>

#include "ref.h"
#include "types.h"

namespace vantrel::arrow {

class MsgpackSource {
public:
    MsgpackSource(const char* data, std::size_t size) noexcept
        : data_(reinterpret_cast<const unsigned char*>(data)), size_(size) {}

    // The body: an array of rows; a first body starts with its header row,
    // which `header` receives (nullptr: skip it).
    bool open(bool first, std::vector<std::string>* header, std::int64_t& rows, Failure& failure);

    // The encodings that make up nearly every table body (small ints, short
    // strings, doubles, booleans, nil, short rows) are read right here; every
    // other item, and every failure, goes through the shared reader.
    [[gnu::always_inline]] bool row(std::int64_t rowno, std::uint32_t& len, Failure& failure) {
        if (pos_ < size_) {
            const unsigned char c = data_[pos_];
            if ((c & 0xf0) == 0x90 && static_cast<std::size_t>(c & 0x0f) < size_ - pos_) {
                len = c & 0x0f;
                ++pos_;
                return true;
            }
        }
        return row_other(rowno, len, failure);
    }

    [[gnu::always_inline]] bool value(msgpack::Item& item, Failure& failure) {
        using msgpack::Kind;
        const std::size_t left = size_ - pos_;
        if (left != 0) {
            const unsigned char* p = data_ + pos_;
            const unsigned char c = *p;
            if (c <= 0x7f) {
                item.kind = Kind::UInt;
                item.u = c;
                pos_ += 1;
                return true;
            }
            if ((c & 0xe0) == 0xa0) {
                const std::uint32_t n = c & 0x1f;
                if (n < left) {
                    item.kind = Kind::Str;
                    item.len = n;
                    item.data = reinterpret_cast<const char*>(p + 1);
                    pos_ += 1 + n;
                    return true;
                }
            } else if (c >= 0xe0) {
                item.kind = Kind::Int;
                item.i = static_cast<std::int8_t>(c);
                pos_ += 1;
                return true;
            } else if (c >= 0xc0 && c <= 0xc3 && c != 0xc1) {
                item.kind = c == 0xc0 ? Kind::Nil : Kind::Bool;
                item.b = c == 0xc3;
                pos_ += 1;
                return true;
            } else if (c == 0xcb && left >= 9) {
                const std::uint64_t bits = be64(p + 1);
                std::memcpy(&item.f, &bits, sizeof bits);
                item.kind = Kind::Float;
                item.is_float32 = false;
                pos_ += 9;
                return true;
            } else if (c >= 0xcc && c <= 0xcf) {
                const std::size_t n = std::size_t{1} << (c - 0xcc);
                if (n < left) {
                    std::uint64_t v = 0;
                    for (std::size_t k = 1; k <= n; ++k) {
                        v = (v << 8) | p[k];
                    }
                    item.kind = Kind::UInt;
                    item.u = v;
                    pos_ += 1 + n;
                    return true;
                }
            }
        }
        return value_other(item, failure);
    }
    bool skip(Failure& failure);
    bool close(Failure& failure);

private:
    static constexpr int kMaxDepth = 64;
    static std::uint64_t be64(const unsigned char* p) noexcept {
        std::uint64_t v = 0;
        for (int k = 0; k < 8; ++k) {
            v = (v << 8) | p[k];
        }
        return v;
    }
    [[gnu::noinline]] bool value_other(msgpack::Item& item, Failure& failure);
    [[gnu::noinline]] bool row_other(std::int64_t rowno, std::uint32_t& len, Failure& failure);
    bool malformed(const msgpack::Reader& reader, Failure& failure);

    const unsigned char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Rows of a body decoded into Python objects (a list of lists).  Used with
// the interpreter lock held; every row is held by a reference of its own
// while its values are read.
class PythonSource {
public:
    explicit PythonSource(Borrowed body) noexcept : body_(body) {}

    bool open(bool first, std::vector<std::string>* header, std::int64_t& rows, Failure& failure);
    bool row(std::int64_t rowno, std::uint32_t& len, Failure& failure);
    bool value(msgpack::Item& item, Failure& failure);
    bool skip(Failure&) {
        ++pos_;
        return true;
    }
    bool close(Failure&) { return true; }

private:
    Borrowed body_;
    Ref rows_;  // tuple of the body's elements
    Ref row_;   // tuple of the current row's values
    Py_ssize_t next_row_ = 0;
    Py_ssize_t pos_ = 0;
};

}  // namespace vantrel::arrow
