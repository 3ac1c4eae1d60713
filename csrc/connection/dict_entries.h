// The entries of a dictionary's table, read where CPython lays them out.
//
// A row dictionary is a copy of a prepared dictionary of the header's keys,
// all mapped to None; its values are then put straight into the copy's
// entries, in place of one PyDict_SetItem per value.  This depends on how
// each CPython version lays out a combined table, so:
//   - the layout is mirrored here only for the versions it was read from
//     (3.9 and 3.10; 3.11 to 3.13), only for builds with the GIL and not in
//     a build of the public API alone (VANTREL_DICT_LAYOUT, compat.h);
//     anything else has no entries (kEntriesKnown is false);
//   - a table is accepted only if it is combined (no split values), of
//     exact str keys where the version says so, and its sizes are consistent;
//   - the prepared dictionary is checked entry by entry (its keys in order,
//     None for each value) before any copy of it is written to, and every
//     copy's table must have the prepared one's shape (a copy is the
//     prepared table copied whole): on any difference the caller takes
//     PyDict_SetItem.
// Writing to a copy no other code has seen skips nothing that matters: no
// watcher, cache or iterator can know a dictionary that was never handed out,
// and the keys, hence the keys' version, stay as they are.
#pragma once

#include <cstddef>
#include <cstdint>

#include "compat.h"
#include "ref.h"

#define VANTREL_DICT_ENTRIES (VANTREL_DICT_LAYOUT != 0)

namespace vantrel {

inline constexpr bool kEntriesKnown = VANTREL_DICT_ENTRIES != 0;

// The entries 0 .. count-1 of a combined table: entry i's key is at
// first_key[i * stride], its value right after it.
struct DictEntries {
    PyObject** first_key = nullptr;
    Py_ssize_t stride = 0;
    Py_ssize_t count = 0;

    PyObject*& key(Py_ssize_t i) const noexcept { return first_key[i * stride]; }
    PyObject*& value(Py_ssize_t i) const noexcept { return first_key[i * stride + 1]; }
};

// The entries of `dict`, an exact dict: false when its table is not one laid
// out as described above (always false where the layout is not known).
// Inline: it runs once per row.
#if VANTREL_DICT_ENTRIES
namespace entries_layout {

#if VANTREL_DICT_LAYOUT == 309
// 3.9 and 3.10 (Objects/dict-common.h): the index table of dk_size slots of
// 1, 2, 4 or 8 bytes, then the entries (hash, key, value).
struct Keys {
    Py_ssize_t dk_refcnt;
    Py_ssize_t dk_size;
    void* dk_lookup;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
    char dk_indices[1];
};
inline constexpr Py_ssize_t kStride = 3;
inline constexpr Py_ssize_t kKeyAt = 1;

inline bool table_of(const Keys* k, Py_ssize_t& size, std::size_t& index_bytes) noexcept {
    size = k->dk_size;
    if (size < 8 || (size & (size - 1)) != 0) {
        return false;
    }
    std::size_t slot = size <= 0xff ? 1 : size <= 0xffff ? 2 : size <= 0xffffffffLL ? 4 : 8;
    index_bytes = static_cast<std::size_t>(size) * slot;
    return true;
}

inline bool same_shape(const Keys* a, const Keys* b) noexcept {
    return a->dk_size == b->dk_size && a->dk_lookup == b->dk_lookup && a->dk_nentries == b->dk_nentries;
}
#else
// 3.11 to 3.13 (Include/internal/pycore_dict.h): 2**dk_log2_index_bytes
// bytes of index table, then the entries, (key, value) for str keys.
struct Keys {
    Py_ssize_t dk_refcnt;
    std::uint8_t dk_log2_size;
    std::uint8_t dk_log2_index_bytes;
    std::uint8_t dk_kind;
    std::uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
    char dk_indices[1];
};
inline constexpr std::uint8_t kUnicodeKeys = 1;  // DICT_KEYS_UNICODE
inline constexpr Py_ssize_t kStride = 2;
inline constexpr Py_ssize_t kKeyAt = 0;

inline bool table_of(const Keys* k, Py_ssize_t& size, std::size_t& index_bytes) noexcept {
    unsigned log2_size = k->dk_log2_size;
    unsigned log2_bytes = k->dk_log2_index_bytes;
    // 1-byte slots below 2**8 entries, 2 below 2**16, 4 below 2**32, else 8.
    unsigned log2_slot = log2_size < 8 ? 0 : log2_size < 16 ? 1 : log2_size < 32 ? 2 : 3;
    if (k->dk_kind != kUnicodeKeys || log2_size < 3 || log2_size > 40 || log2_bytes != log2_size + log2_slot) {
        return false;
    }
    size = static_cast<Py_ssize_t>(1) << log2_size;
    index_bytes = static_cast<std::size_t>(1) << log2_bytes;
    return true;
}

inline bool same_shape(const Keys* a, const Keys* b) noexcept {
    return a->dk_log2_size == b->dk_log2_size && a->dk_log2_index_bytes == b->dk_log2_index_bytes &&
           a->dk_kind == b->dk_kind && a->dk_nentries == b->dk_nentries;
}
#endif

}  // namespace entries_layout

inline bool dict_entries(PyObject* dict, DictEntries& out) noexcept {
    using namespace entries_layout;
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    if (!PyDict_CheckExact(dict) || d->ma_values != nullptr || d->ma_keys == nullptr) {
        return false;
    }
    const auto* k = reinterpret_cast<const Keys*>(d->ma_keys);
    Py_ssize_t size = 0;
    std::size_t index_bytes = 0;
    if (k->dk_refcnt != 1 || !table_of(k, size, index_bytes) || k->dk_nentries != d->ma_used ||
        k->dk_nentries > (size << 1) / 3 || k->dk_usable < 0) {
        return false;
    }
    auto* entries = reinterpret_cast<PyObject**>(const_cast<char*>(k->dk_indices) + index_bytes);
    out.first_key = entries + kKeyAt;
    out.stride = kStride;
    out.count = k->dk_nentries;
    return true;
}

// The entries of `copy`, a new PyDict_Copy of `proto`, whose entries
// (checked by dict_entries) are `proto_entries`.  The copy's table is the
// prototype's copied whole: when its own keys object has the same shape,
// its entries lie at the same offset in it.
inline bool copied_entries(PyObject* copy, PyObject* proto, const DictEntries& proto_entries,
                           DictEntries& out) noexcept {
    using namespace entries_layout;
    auto* d = reinterpret_cast<PyDictObject*>(copy);
    auto* p = reinterpret_cast<PyDictObject*>(proto);
    if (!PyDict_CheckExact(copy) || d->ma_values != nullptr || d->ma_used != p->ma_used ||
        d->ma_keys == nullptr || d->ma_keys == p->ma_keys) {
        return false;
    }
    const auto* k = reinterpret_cast<const Keys*>(d->ma_keys);
    const auto* pk = reinterpret_cast<const Keys*>(p->ma_keys);
    if (k->dk_refcnt != 1 || !same_shape(k, pk)) {
        return false;
    }
    std::ptrdiff_t at = reinterpret_cast<const char*>(proto_entries.first_key) - reinterpret_cast<const char*>(pk);
    out.first_key = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(d->ma_keys) + at);
    out.stride = proto_entries.stride;
    out.count = proto_entries.count;
    return true;
}

#else
inline bool dict_entries(PyObject*, DictEntries&) noexcept { return false; }
inline bool copied_entries(PyObject*, PyObject*, const DictEntries&, DictEntries&) noexcept { return false; }
#endif

// The entries of `dict` hold exactly the keys of the tuple `keys`, in order,
// each with the value None (the prepared dictionary).
bool entries_are_template(PyObject* dict, PyObject* keys) noexcept;

// A dictionary holding `value` must be tracked by the garbage collector, as
// PyDict_SetItem would have it: the value may be part of a cycle.
inline bool needs_tracking(PyObject* value) noexcept {
    return PyType_IS_GC(Py_TYPE(value)) && PyObject_IS_GC(value) &&
           (!PyTuple_CheckExact(value) || PyObject_GC_IsTracked(value));
}

// After a value was put straight into a dictionary's entries.
inline void track_for(PyObject* dict, PyObject* value) noexcept {
    if (needs_tracking(value) && !PyObject_GC_IsTracked(dict)) {
        PyObject_GC_Track(dict);
    }
}

}  // namespace vantrel
