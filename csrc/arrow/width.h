// The bound on a table's width: how many columns a header row may name, and
// the memory they take, checked before any container grows for them (the
// module is built without C++ exceptions: a std:: container that cannot grow
// ends the process).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <string>

#include "types.h"

namespace vantrel::arrow {

// The most columns a header row may name.
inline constexpr std::size_t kMaxColumns = std::size_t{1} << 20;

// An upper bound of the bytes one column takes from its header name to the
// exported schema and batch (the table's lists and maps, its builder and its
// Arrow structures, names apart), and of the copies of its name kept.
inline constexpr std::size_t kColumnBytes = 1024;
inline constexpr std::size_t kNameCopies = 6;

// Whether a header row may name `columns` columns: false with the failure
// set beyond kMaxColumns.  Asked before its names are read.
inline bool width_allowed(std::size_t columns, Failure& failure) {
    if (columns > kMaxColumns) {
        return failure.set(FailureKind::Malformed, "the header row names " + std::to_string(columns) +
                                                       " columns, more than " + std::to_string(kMaxColumns));
    }
    return true;
}

// Whether the memory that `columns` columns whose names are `name_bytes`
// long in all take can be had: asked for in one piece and given back at
// once, before anything is built for them.  False with the failure set
// (NoMemory) when it cannot.
inline bool room_for_columns(std::size_t columns, std::size_t name_bytes, Failure& failure) {
    void* room = std::malloc(columns * kColumnBytes + name_bytes * kNameCopies);
    if (room == nullptr) {
        return failure.set(FailureKind::NoMemory, "out of memory");
    }
    std::free(room);
    return true;
}

}  // namespace vantrel::arrow
