// Python objects from MessagePack: the decoding half of the MSGPACK serializer.
//
// Values are built as msgpack-python's unpackb(raw=False,
// strict_map_key=False) builds them: lists for arrays, dicts for maps (any
// hashable key), str (strict UTF-8), bytes, int, float, bool and None; an
// extension item of type -1 is passed to the context's `timestamp` callable
// (its data bytes), any other to `ext_type` (code, data).  At most
// kMaxDepth containers may be open at once; deeper nesting is refused with an
// error, and the builder keeps its own stack, so no input can exhaust the C
// stack.  A body that cannot be decoded raises the context's `error` class,
// naming what is wrong and the byte offset where; the exception that caused
// it (a UnicodeDecodeError, an unhashable key's TypeError, an extension
// factory's error) is kept as its __cause__.  No partial object ever escapes.
//
// Sharing: this header and msgpack_objects.cpp are compiled into every
// extension module that decodes MessagePack: vantrel.share._ccodec, and the
// connection module for its stream bodies (csrc/connection/bodies.cpp).
// There is no C API capsule.  Each module fills an ObjectContext from its own
// state at load: `error`, `ext_type` and `timestamp` are CodecError, ExtType
// and Timestamp.from_bytes of vantrel.share._codecbase (the classes both
// codecs use), `strings` a StrCache of its own, cleared with the state.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "msgpack_reader.h"
#include "ref.h"

namespace vantrel::msgpack {

// Bodies at least this long are decoded with the cyclic garbage collector
// paused.  A large body becomes many containers (a table packet is a list of
// thousands of row lists); the collections their allocation would trigger
// pass over young objects none of which can be garbage yet, and push them
// into the older generations, whose collections then come all the more
// often: together about as much time as the decoding itself.  Paused, the
// next collection sees the new objects once.  (Keeping the lists untracked
// until the value is whole was measured too: it leaves those collections
// as frequent, and is no faster than not pausing at all.)
inline constexpr std::size_t kGcPauseMin = 65536;

// Pauses the cyclic garbage collector for its lifetime (when it was enabled).
class GcPause {
public:
    GcPause() noexcept;
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;
    ~GcPause();

private:
    bool was_enabled_ = false;
};

// decode() run with the collector paused when the body is large.
template <typename Decode>
auto with_gc_paused(std::size_t size, Decode&& decode) {
    if (size >= kGcPauseMin) {
        GcPause pause;
        return decode();
    }
    return decode();
}

// Short ASCII strings recur in every answer and row: map keys ("id",
// "name", ...) and values (a symbol, a venue, a status).  A small
// set-associative cache turns them into the same str objects instead of
// decoding each afresh: less time, and one object instead of thousands in a
// large result.  Strings are immutable, so sharing them changes no value.
//
// A string of up to 16 bytes is its own key: its bytes as two words, padded
// with zeros, and its length.  A look-up compares words, not characters, and
// never reads the str objects.  A set holds kWays entries, the newest first;
// a new entry pushes the set's oldest out.  The table (128 KiB) is allocated
// at the first string; without it (no memory) strings are made afresh.
// Used with the GIL held.  It lives in a module state (zero-filled memory is
// an empty cache), whose clearing must call clear().
class StrCache {
public:
    static constexpr std::uint32_t kMaxLength = 16;

    // The str of UTF-8 data[0:len] (a new reference), or null with the error
    // set (UnicodeDecodeError for invalid UTF-8).  `hashed`: compute the
    // hash of a new entry now (a map key, about to be hashed anyway).
    // (inline: a hit is a few loads and compares)
#if defined(__GNUC__)
    [[gnu::always_inline]]
#endif
    PyObject* get(const char* data, std::uint32_t len, bool hashed) {
        if (len <= kMaxLength && entries_ != nullptr) {
            const Key key = key_of(data, len);
            Entry* set = set_of(key);
            for (std::size_t w = 0; w < kWays; ++w) {
                if (set[w].key == key) {
                    Py_INCREF(set[w].str);
                    return set[w].str;
                }
            }
            return add(data, len, hashed, key, set);
        }
        return add(data, len, hashed, Key{}, nullptr);
    }
    void clear() noexcept;

private:
    struct Key {
        std::uint64_t lo, hi;  // bytes 0-7 and 8-15, zero past the end
        std::uint64_t tag;     // the length + 1 (0: an empty entry)
        bool operator==(const Key& o) const noexcept { return lo == o.lo && hi == o.hi && tag == o.tag; }
    };
    struct Entry {
        Key key;
        PyObject* str;
    };
    static constexpr std::size_t kWays = 4;
    static constexpr unsigned kSetBits = 10;

#if defined(__GNUC__)
    [[gnu::always_inline]]
#endif
    static std::uint64_t load(const char* p, std::size_t n) noexcept {
        std::uint64_t v = 0;
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(&v, p, n);
        } else {
            for (std::size_t k = 0; k < n; ++k) {
                v |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[k])) << (8 * k);
            }
        }
        return v;
    }
    // Byte k of the string goes to bits 8k..8k+7 of its word; the loads
    // stay within data[0:len] (overlapping where len is not 4, 8 or 16).
#if defined(__GNUC__)
    [[gnu::always_inline]]
#endif
    static Key key_of(const char* data, std::uint32_t len) noexcept {
        Key k{0, 0, len + 1u};
        if (len >= 8) {
            k.lo = load(data, 8);
            if (len > 8) {
                k.hi = load(data + len - 8, 8) >> (8 * (16 - len));
            }
        } else if (len >= 4) {
            k.lo = load(data, 4) | (load(data + len - 4, 4) << (8 * (len - 4)));
        } else if (len > 0) {
            const auto byte = [data](std::uint32_t at) {
                return static_cast<std::uint64_t>(static_cast<unsigned char>(data[at])) << (8 * at);
            };
            k.lo = byte(0) | byte(len / 2) | byte(len - 1);
        }
        return k;
    }
#if defined(__GNUC__)
    [[gnu::always_inline]]
#endif
    Entry* set_of(const Key& key) const noexcept {
        std::uint64_t h = (key.lo ^ (key.hi * 0xc2b2ae3d27d4eb4fULL) ^ key.tag) * 0x9e3779b97f4a7c15ULL;
        return entries_ + (h >> (64 - kSetBits)) * kWays;
    }
    // A string not in the cache: made, and entered in `set` (null: no table
    // yet) when it is ASCII and short.
    PyObject* add(const char* data, std::uint32_t len, bool hashed, const Key& key, Entry* set);

    Entry* entries_ = nullptr;  // (1 << kSetBits) sets of kWays entries
};

// What decoding needs from the Python side.  The pointers are borrowed: the
// owner (a module state) keeps them alive for as long as it decodes.
struct ObjectContext {
    PyObject* error = nullptr;      // exception class for an undecodable body
    PyObject* ext_type = nullptr;   // ext_type(code, data) -> value of an extension item
    PyObject* timestamp = nullptr;  // timestamp(data) -> value of an extension item of type -1
    StrCache* strings = nullptr;    // optional cache of short strings
};

// The whole of data[0:size] as exactly one value; bytes left over are an
// error.  Large bodies are decoded with the garbage collector paused.
Ref decode(const ObjectContext& ctx, const char* data, std::size_t size);

// data[0:size] holds exactly one array: appends each of its elements to
// `list` (an exact list).  Returns the count appended, or -1 with the error
// set; on error nothing has been appended.
Py_ssize_t extend_list(const ObjectContext& ctx, const char* data, std::size_t size, PyObject* list);

// A value whose head `item` the caller has just read from `reader` at
// offset `at`: a scalar is made at once, a container's elements are read from
// `reader`; `depth` is the number of containers the caller has already opened
// around it.
Ref build_value_from(const ObjectContext& ctx, Reader& reader, const Item& item, std::size_t at, int depth);

// Raises ctx.error for a reader that failed: "invalid MSGPACK body: <what>
// at offset <n>".
void raise_reader_error(const ObjectContext& ctx, const Reader& reader);

// The value of a string, binary or extension item read at offset `at`
// (`is_key`: it is a map key).
Ref build_payload(const ObjectContext& ctx, const Item& item, std::size_t at, bool is_key);

// Raises ctx.error for the string item at offset `at` that could not be
// made (its UnicodeDecodeError, or a MemoryError, pending).  Returns empty.
Ref string_failed(const ObjectContext& ctx, std::size_t at);

// The str of the string item `item` read at `at` (inline: a string found in
// the cache costs no call).
#if defined(__GNUC__)
[[gnu::always_inline]]
#endif
inline Ref build_str(const ObjectContext& ctx, const Item& item, std::size_t at, bool is_key) {
    if (ctx.strings == nullptr) {
        return build_payload(ctx, item, at, is_key);
    }
    PyObject* s = ctx.strings->get(item.data, item.len, is_key);
    return s != nullptr ? Ref::steal(s) : string_failed(ctx, at);
}

// The value of any item that is not a container (inline: numbers, None,
// booleans and cached strings, most of a table's values, are made here
// without a call).
#if defined(__GNUC__)
[[gnu::always_inline]]
#endif
inline Ref build_scalar(const ObjectContext& ctx, const Item& item, std::size_t at, bool is_key) {
    switch (item.kind) {
        case Kind::Nil:
            return Ref::new_ref(Py_None);
        case Kind::Bool:
            return Ref::new_ref(item.b ? Py_True : Py_False);
        case Kind::UInt:
            return Ref::steal(item.u <= static_cast<std::uint64_t>(INT64_MAX)
                                  ? PyLong_FromLongLong(static_cast<long long>(item.u))
                                  : PyLong_FromUnsignedLongLong(item.u));
        case Kind::Int:
            return Ref::steal(PyLong_FromLongLong(item.i));
        case Kind::Float:
            return Ref::steal(PyFloat_FromDouble(item.f));
        case Kind::Str:
            return build_str(ctx, item, at, is_key);
        default:
            return build_payload(ctx, item, at, is_key);
    }
}

// The next whole value of `reader`, nested containers included (inline: it
// runs once per value of a row, and a scalar needs no builder).
#if defined(__GNUC__)
[[gnu::always_inline]]
#endif
inline Ref build_value(const ObjectContext& ctx, Reader& reader, int depth = 0) {
    std::size_t at = reader.offset();
    Item item;
    if (!reader.next(item)) {
        raise_reader_error(ctx, reader);
        return Ref();
    }
    if (item.kind != Kind::Array && item.kind != Kind::Map) {
        return build_scalar(ctx, item, at, false);
    }
    return build_value_from(ctx, reader, item, at, depth);
}

}  // namespace vantrel::msgpack
