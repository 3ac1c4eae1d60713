// A pull reader of the MessagePack format over a byte buffer.
//
// It knows nothing of Python: each call to next() reads the head of one item
// and reports its kind and value.  A string, binary or extension item is read
// whole (its payload is a view into the buffer); an array or a map gives only
// its element count, and its elements follow as the next items (a map's as
// key, value, key, value, ...).  Builders of Python objects, of table rows
// and of Arrow columns all walk a body with it, so there is one reading of the
// format in the project.
//
// Every read is bounds-checked.  A truncated item, the unused byte 0xc1, or a
// container that announces more elements than bytes remain (every element
// takes at least one byte) fails with a message and the offset of the item,
// before anything is allocated for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vantrel::msgpack {

// The deepest nesting of containers accepted anywhere in the package: in a
// body decoded into objects, read into columns or skipped, and in a value
// packed.  It is msgpack-python's, for its packer and its unpacker alike;
// vantrel.share._codecbase.MAX_NESTING is the same number for the Python
// side (the tests hold the two equal).
inline constexpr int kMaxDepth = 1024;

enum class Kind : std::uint8_t {
    Nil,
    Bool,
    UInt,   // positive fixint, uint 8/16/32/64: value in `u`
    Int,    // negative fixint, int 8/16/32/64: value in `i`
    Float,  // float 32 (widened, `is_float32` set) or float 64: value in `f`
    Str,    // `data`, `len` (UTF-8 is not checked here)
    Bin,    // `data`, `len`
    Ext,    // `ext_type`, `data`, `len`
    Array,  // `len` elements follow
    Map,    // `len` key/value pairs follow
};

struct Item {
    Kind kind = Kind::Nil;
    bool b = false;
    bool is_float32 = false;
    std::int8_t ext_type = 0;
    std::uint32_t len = 0;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double f = 0.0;
    const char* data = nullptr;
};

// The class of an item's first byte: one for each fixed-size form, and
// head(c) for each byte c from 0xc0 to 0xdf.
inline constexpr std::uint8_t kFixUInt = 0, kFixInt = 1, kFixMap = 2, kFixArray = 3, kFixStr = 4, kFirstHead = 5;
constexpr std::uint8_t head(unsigned c) noexcept { return static_cast<std::uint8_t>(c - 0xc0 + kFirstHead); }

struct HeadTable {
    std::uint8_t of[256];
};
constexpr HeadTable make_heads() noexcept {
    HeadTable t{};
    for (unsigned c = 0; c < 256; ++c) {
        t.of[c] = c <= 0x7f   ? kFixUInt
                  : c <= 0x8f ? kFixMap
                  : c <= 0x9f ? kFixArray
                  : c <= 0xbf ? kFixStr
                  : c >= 0xe0 ? kFixInt
                              : head(c);
    }
    return t;
}
inline constexpr HeadTable kHeads = make_heads();

class Reader {
public:
    Reader(const char* data, std::size_t size) noexcept
        : start_(reinterpret_cast<const unsigned char*>(data)), p_(start_), end_(start_ + size) {}

    // Reads the next item.  False on malformed input: error() says what,
    // error_offset() where the failing item starts; the reader is then spent.
    // (inlined: it is the step of every decoding loop, and inlined the
    // kind it sets is known to the code that looks at it next)
#if defined(__GNUC__)
    [[gnu::always_inline]]
#endif
    inline bool next(Item& item) noexcept;

    // Skips one whole item, nested containers included, at most `depth`
    // levels deep.
    bool skip(int depth) noexcept;

    bool at_end() const noexcept { return p_ == end_; }
    std::size_t offset() const noexcept { return static_cast<std::size_t>(p_ - start_); }
    std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - p_); }
    const char* error() const noexcept { return error_; }
    std::size_t error_offset() const noexcept { return error_offset_; }

    // Marks the reader as failed with a message of the caller's (a builder's
    // own limit, for instance), at the offset of the item just read.
    bool fail(const char* message) noexcept {
        error_ = message;
        error_offset_ = item_start_;
        p_ = end_;
        return false;
    }

private:
    bool need(std::size_t n) noexcept {
        if (static_cast<std::size_t>(end_ - p_) < n) {
            return fail("truncated data");
        }
        return true;
    }
    template <typename T>
    T be() noexcept {  // big-endian unsigned of sizeof(T) bytes; need() checked first
        T v = 0;
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        std::memcpy(&v, p_, sizeof(T));
        if constexpr (sizeof(T) == 2) {
            v = __builtin_bswap16(v);
        } else if constexpr (sizeof(T) == 4) {
            v = __builtin_bswap32(v);
        } else if constexpr (sizeof(T) == 8) {
            v = __builtin_bswap64(v);
        }
#else
        for (std::size_t k = 0; k < sizeof(T); ++k) {
            v = static_cast<T>((v << 8) | p_[k]);
        }
#endif
        p_ += sizeof(T);
        return v;
    }
    bool payload(Item& item, Kind kind, std::uint32_t len) noexcept {
        if (!need(len)) {
            return false;
        }
        item.kind = kind;
        item.len = len;
        item.data = reinterpret_cast<const char*>(p_);
        p_ += len;
        return true;
    }
    bool container(Item& item, Kind kind, std::uint32_t n) noexcept {
        // Each element takes at least one byte, each map entry two.
        std::uint64_t least = kind == Kind::Map ? 2ull * n : n;
        if (least > remaining()) {
            return fail(kind == Kind::Map ? "map length exceeds the data" : "array length exceeds the data");
        }
        item.kind = kind;
        item.len = n;
        return true;
    }
    bool ext(Item& item, std::uint32_t len) noexcept {
        if (!need(1)) {
            return false;
        }
        item.ext_type = static_cast<std::int8_t>(*p_++);
        return payload(item, Kind::Ext, len);
    }

    const unsigned char* start_;
    const unsigned char* p_;
    const unsigned char* end_;
    std::size_t item_start_ = 0;
    const char* error_ = nullptr;
    std::size_t error_offset_ = 0;
};

inline bool Reader::next(Item& item) noexcept {
    item_start_ = offset();
    if (!need(1)) {
        return false;
    }
    const unsigned char c = *p_++;
    // One jump on the byte's class: the fixed-size forms share one class
    // each, the other bytes have one of their own.
    switch (kHeads.of[c]) {
        case kFixUInt:
            item.kind = Kind::UInt;
            item.u = c;
            return true;
        case kFixInt:
            item.kind = Kind::Int;
            item.i = static_cast<std::int8_t>(c);
            return true;
        case kFixMap:
            return container(item, Kind::Map, c & 0x0f);
        case kFixArray:
            return container(item, Kind::Array, c & 0x0f);
        case kFixStr:
            return payload(item, Kind::Str, c & 0x1f);
        case head(0xc0):
            item.kind = Kind::Nil;
            return true;
        case head(0xc2):
        case head(0xc3):
            item.kind = Kind::Bool;
            item.b = c == 0xc3;
            return true;
        case head(0xc4):
        case head(0xd9):
            return need(1) && payload(item, c == 0xc4 ? Kind::Bin : Kind::Str, be<std::uint8_t>());
        case head(0xc5):
        case head(0xda):
            return need(2) && payload(item, c == 0xc5 ? Kind::Bin : Kind::Str, be<std::uint16_t>());
        case head(0xc6):
        case head(0xdb):
            return need(4) && payload(item, c == 0xc6 ? Kind::Bin : Kind::Str, be<std::uint32_t>());
        case head(0xc7):
            return need(1) && ext(item, be<std::uint8_t>());
        case head(0xc8):
            return need(2) && ext(item, be<std::uint16_t>());
        case head(0xc9):
            return need(4) && ext(item, be<std::uint32_t>());
        case head(0xca): {
            if (!need(4)) {
                return false;
            }
            std::uint32_t bits = be<std::uint32_t>();
            float v;
            std::memcpy(&v, &bits, sizeof v);
            item.kind = Kind::Float;
            item.is_float32 = true;
            item.f = v;
            return true;
        }
        case head(0xcb): {
            if (!need(8)) {
                return false;
            }
            std::uint64_t bits = be<std::uint64_t>();
            double v;
            std::memcpy(&v, &bits, sizeof v);
            item.kind = Kind::Float;
            item.is_float32 = false;
            item.f = v;
            return true;
        }
        case head(0xcc):
            if (!need(1)) return false;
            item.kind = Kind::UInt;
            item.u = be<std::uint8_t>();
            return true;
        case head(0xcd):
            if (!need(2)) return false;
            item.kind = Kind::UInt;
            item.u = be<std::uint16_t>();
            return true;
        case head(0xce):
            if (!need(4)) return false;
            item.kind = Kind::UInt;
            item.u = be<std::uint32_t>();
            return true;
        case head(0xcf):
            if (!need(8)) return false;
            item.kind = Kind::UInt;
            item.u = be<std::uint64_t>();
            return true;
        case head(0xd0):
            if (!need(1)) return false;
            item.kind = Kind::Int;
            item.i = static_cast<std::int8_t>(be<std::uint8_t>());
            return true;
        case head(0xd1):
            if (!need(2)) return false;
            item.kind = Kind::Int;
            item.i = static_cast<std::int16_t>(be<std::uint16_t>());
            return true;
        case head(0xd2):
            if (!need(4)) return false;
            item.kind = Kind::Int;
            item.i = static_cast<std::int32_t>(be<std::uint32_t>());
            return true;
        case head(0xd3):
            if (!need(8)) return false;
            item.kind = Kind::Int;
            item.i = static_cast<std::int64_t>(be<std::uint64_t>());
            return true;
        case head(0xd4):
            return ext(item, 1);
        case head(0xd5):
            return ext(item, 2);
        case head(0xd6):
            return ext(item, 4);
        case head(0xd7):
            return ext(item, 8);
        case head(0xd8):
            return ext(item, 16);
        case head(0xdc):
            return need(2) && container(item, Kind::Array, be<std::uint16_t>());
        case head(0xdd):
            return need(4) && container(item, Kind::Array, be<std::uint32_t>());
        case head(0xde):
            return need(2) && container(item, Kind::Map, be<std::uint16_t>());
        case head(0xdf):
            return need(4) && container(item, Kind::Map, be<std::uint32_t>());
        default:  // 0xc1, never used
            return fail("invalid byte 0xc1");
    }
}

inline bool Reader::skip(int depth) noexcept {
    Item item;
    if (!next(item)) {
        return false;
    }
    if (item.kind != Kind::Array && item.kind != Kind::Map) {
        return true;
    }
    if (depth <= 0) {
        return fail("nesting too deep");
    }
    std::uint64_t n = item.kind == Kind::Map ? 2ull * item.len : item.len;
    for (std::uint64_t k = 0; k < n; ++k) {
        if (!skip(depth - 1)) {
            return false;
        }
    }
    return true;
}

}  // namespace vantrel::msgpack
