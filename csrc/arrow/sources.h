// Readers of a table body for the table walker: one over MessagePack bytes,
// one over rows already decoded into Python lists (bodies sent as JSON).
//
// Both present the body the same way: its row count, then each row's length
// and values as MessagePack items.  A value that the walker does not use is
// skipped without being looked at.
#pragma once

#include <cstring>
#include <string>

#include "column.h"
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

    // A row's head: its length.
    [[gnu::always_inline]] bool row(std::int64_t rowno, std::uint32_t& len, Failure& failure) {
        const unsigned char* p = at();
        if (usual_row(p, end(), len)) {
            seek(p);
            return true;
        }
        msgpack::Item item;
        if (!value(item, failure)) {
            return false;
        }
        if (item.kind != msgpack::Kind::Array) {
            return not_a_row(rowno, item, failure);
        }
        len = item.len;
        return true;
    }

    // The next value, read by the shared reader (inlined here).  (An int
    // read here never has `data`: see huge_int().)
    [[gnu::always_inline]] bool value(msgpack::Item& item, Failure& failure) {
        msgpack::Reader reader(reinterpret_cast<const char*>(data_) + pos_, size_ - pos_);
        item.data = nullptr;
        if (!reader.next(item)) {
            return malformed(reader, failure);
        }
        pos_ += reader.offset();
        return true;
    }

    // Reads the next value straight into `column` when it has the column's
    // own type in a common encoding, with `ok` false on a failure.  Nothing
    // read for every other value (which then goes through value() and the
    // column's append()).  This is the one place
    // that reads MessagePack bytes besides the shared reader, and it earns
    // its keep: without it a 200,000-row x 8-column body set takes about
    // 16 ms to build instead of 10 ms (benchmarks/results_scenarios.py,
    // arrow_200k); so does the head of the usual row (usual_row()).
    //
    // The position is the caller's (`p`, within the body that ends at
    // `end`, with `limit` its limit()): kept in a register by the loop over
    // the values, it is not reloaded after each store into a column.
    // Returns the position after the value, or nullptr.
    [[gnu::always_inline]] static const unsigned char* direct(const unsigned char* p, const unsigned char* limit,
                                                              const unsigned char* end, ColumnBuilder& column,
                                                              bool& ok, Failure& failure) {
        if (p >= limit) {  // the last bytes of a body: the general reading (so no value below reads past them)
            return nullptr;
        }
        const unsigned char c = *p;
        switch (column.type()) {
            case ColType::Int64:
                if (c <= 0x7f || c >= 0xe0) {
                    ok = column.push_int(c <= 0x7f ? c : static_cast<std::int8_t>(c));
                    return p + 1;
                }
                if (c >= 0xcc && c <= 0xce) {  // uint 8/16/32
                    const std::size_t n = std::size_t{1} << (c - 0xcc);
                    ok = column.push_int(static_cast<std::int64_t>(be(p + 1, n)));
                    return p + 1 + n;
                }
                if (c >= 0xd0 && c <= 0xd3) {  // int 8/16/32/64
                    const std::size_t n = std::size_t{1} << (c - 0xd0);
                    const std::uint64_t raw = be(p + 1, n);
                    const unsigned shift = static_cast<unsigned>(64 - 8 * n);
                    // sign-extend the n-byte value
                    ok = column.push_int(static_cast<std::int64_t>(raw << shift) >> shift);
                    return p + 1 + n;
                }
                return nullptr;
            case ColType::Float64:
                if (c == 0xcb) {
                    const std::uint64_t bits = be(p + 1, 8);
                    double v;
                    std::memcpy(&v, &bits, sizeof v);
                    ok = column.push_double(v);
                    return p + 9;
                }
                return nullptr;
            case ColType::Bool:
                if (c == 0xc2 || c == 0xc3) {
                    ok = column.push_bool(c == 0xc3);
                    return p + 1;
                }
                return nullptr;
            case ColType::Utf8:
            case ColType::Binary: {
                // fixstr and str 8 for a string column, bin 8 for a binary one
                const bool utf8 = column.type() == ColType::Utf8;
                std::size_t head = 0, n = 0;
                if (utf8 && (c & 0xe0) == 0xa0) {
                    head = 1;
                    n = c & 0x1f;
                } else if (c == (utf8 ? 0xd9 : 0xc4)) {
                    head = 2;
                    n = p[1];
                } else {
                    return nullptr;
                }
                if (n > static_cast<std::size_t>(end - p) - head) {
                    return nullptr;
                }
                const auto* text = reinterpret_cast<const char*>(p + head);
                if (utf8) {
                    return column.push_text(text, static_cast<std::uint32_t>(n)) ? p + head + n : nullptr;
                }
                ok = column.push_bytes(text, static_cast<std::uint32_t>(n), failure);
                return p + head + n;
            }
            case ColType::Timestamp:
                // fixext 8 and fixext 4 of type -1
                if ((c == 0xd7 || c == 0xd6) && p[1] == 0xff && end - p >= 10) {
                    std::int64_t seconds;
                    std::uint32_t nanos = 0;
                    if (c == 0xd7) {
                        const std::uint64_t v = be(p + 2, 8);
                        nanos = static_cast<std::uint32_t>(v >> 34);
                        seconds = static_cast<std::int64_t>(v & 0x3ffffffffull);
                    } else {
                        seconds = static_cast<std::int64_t>(be(p + 2, 4));
                    }
                    if (nanos < 1000000000u && column.push_timestamp(seconds, nanos)) {
                        return p + (c == 0xd7 ? 10 : 6);
                    }
                }
                return nullptr;
            default:
                break;
        }
        return nullptr;
    }

    // The usual row's head at `p` (up to 15 values): its length, and `p`
    // moved past it.
    [[gnu::always_inline]] static bool usual_row(const unsigned char*& p, const unsigned char* end,
                                                 std::uint32_t& len) noexcept {
        if (p < end && (*p & 0xf0) == 0x90) {
            len = *p++ & 0x0f;
            return true;
        }
        return false;
    }

    // The position as a pointer, for direct(), and back.
    const unsigned char* at() const noexcept { return data_ + pos_; }
    const unsigned char* end() const noexcept { return data_ + size_; }
    // Where direct() stops: fewer than 9 bytes are left past it.
    const unsigned char* limit() const noexcept { return data_ + size_ - (size_ < 8 ? size_ : 8); }
    void seek(const unsigned char* p) noexcept { pos_ = static_cast<std::size_t>(p - data_); }

    // Type inference: passes over the next value when it leaves a column of
    // type `t` as it is (None, or a value of that type in a common encoding;
    // an int in a double column).  False, with nothing read, for every other
    // value, which then goes through value() and the full inference.
    [[gnu::always_inline]] bool pass_if_same(ColType t) noexcept {
        const std::size_t left = size_ - pos_;
        if (left == 0) {
            return false;
        }
        const unsigned char* p = data_ + pos_;
        const unsigned char c = *p;
        std::size_t n = 0;
        if (c == 0xc0) {  // None fits every column
            n = 1;
        } else {
            switch (t) {
                case ColType::Float64:
                    if (c == 0xcb || c == 0xca) {
                        n = 9 - (c == 0xca) * 4;
                    } else if (c <= 0x7f || c >= 0xe0) {
                        n = 1;
                    } else if (c >= 0xcc && c <= 0xce) {  // uint 8/16/32: exact doubles
                        n = 1 + (std::size_t{1} << (c - 0xcc));
                    } else if (c >= 0xd0 && c <= 0xd2) {  // int 8/16/32
                        n = 1 + (std::size_t{1} << (c - 0xd0));
                    }
                    break;
                case ColType::Int64:
                    if (c <= 0x7f || c >= 0xe0) {
                        n = 1;
                    } else if (c >= 0xcc && c <= 0xce) {  // uint 8/16/32: within int64
                        n = 1 + (std::size_t{1} << (c - 0xcc));
                    } else if (c >= 0xd0 && c <= 0xd3) {  // int 8/16/32/64
                        n = 1 + (std::size_t{1} << (c - 0xd0));
                    }
                    break;
                case ColType::UInt64:
                    if (c <= 0x7f) {
                        n = 1;
                    } else if (c >= 0xcc && c <= 0xcf) {  // uint 8/16/32/64
                        n = 1 + (std::size_t{1} << (c - 0xcc));
                    }
                    break;
                case ColType::Timestamp:
                    if ((c == 0xd7 || c == 0xd6) && left >= 2 && p[1] == 0xff) {
                        n = c == 0xd7 ? 10 : 6;
                    }
                    break;
                case ColType::Bool:
                    n = c == 0xc2 || c == 0xc3 ? 1 : 0;
                    break;
                case ColType::Utf8:
                    if ((c & 0xe0) == 0xa0) {
                        n = 1 + (c & 0x1f);
                    } else if (c == 0xd9 && left >= 2) {
                        n = 2 + std::size_t{p[1]};
                    }
                    break;
                case ColType::Binary:
                    if (c == 0xc4 && left >= 2) {
                        n = 2 + std::size_t{p[1]};
                    }
                    break;
                default:
                    break;
            }
        }
        if (n == 0 || n > left) {
            return false;
        }
        pos_ += n;
        return true;
    }

    // Skips a value of a row, as deeply nested as the body may be.
    bool skip(Failure& failure) { return skip_item(msgpack::kMaxDepth - 2, failure); }
    bool close(Failure& failure);
    // Back to the body's start, for another walk over it.
    void restart() noexcept { pos_ = 0; }

private:
    // Skips the next item, which may hold `depth` levels of containers.
    bool skip_item(int depth, Failure& failure);
    // Big-endian unsigned of n bytes (n is 1, 2, 4 or 8, all present).
    static std::uint64_t be(const unsigned char* p, std::size_t n) noexcept {
        switch (n) {
            case 1:
                return p[0];
            case 2: {
                std::uint16_t v;
                std::memcpy(&v, p, 2);
                return __builtin_bswap16(v);
            }
            case 4: {
                std::uint32_t v;
                std::memcpy(&v, p, 4);
                return __builtin_bswap32(v);
            }
            default: {
                std::uint64_t v;
                std::memcpy(&v, p, 8);
                return __builtin_bswap64(v);
            }
        }
    }
    [[gnu::noinline, gnu::cold]] bool not_a_row(std::int64_t rowno, const msgpack::Item& item, Failure& failure);
    [[gnu::noinline, gnu::cold]] bool malformed(const msgpack::Reader& reader, Failure& failure);

    const unsigned char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Rows of a body decoded into Python objects (a list of lists).  Used with
// the interpreter lock held; every row is held by a reference of its own
// while its values are read.
class PythonSource {
public:
    explicit PythonSource(PyObject* body) noexcept : body_(body) {}

    bool open(bool first, std::vector<std::string>* header, std::int64_t& rows, Failure& failure);
    bool row(std::int64_t rowno, std::uint32_t& len, Failure& failure);
    bool value(msgpack::Item& item, Failure& failure);
    bool skip(Failure&) {
        ++pos_;
        return true;
    }
    bool close(Failure&) { return true; }

private:
    PyObject* body_;
    Ref rows_;  // tuple of the body's elements
    Ref row_;   // tuple of the current row's values
    std::string digits_;  // the digits of the last int beyond 64 bits
    Py_ssize_t next_row_ = 0;
    Py_ssize_t pos_ = 0;
};

}  // namespace vantrel::arrow
