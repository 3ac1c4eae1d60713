// Column types, fields and the errors of the column builders.
//
// This layer knows nothing of Python: a failure is described by a Failure
// (its kind and text) and turned into a Python exception by the caller.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "msgpack_reader.h"

namespace vantrel::arrow {

enum class ColType : std::uint8_t {
    Unknown,  // only None seen so far (inference)
    Null,
    Bool,
    Int64,
    Float64,
    Utf8,
    Binary,
};

// The Arrow format string of a type ("n", "b", "l", "g", "u", "z").
const char* arrow_format(ColType t) noexcept;
// The name pyarrow shows for a type ("int64", "double", ...).
const char* type_name(ColType t) noexcept;
// The Python name of the value an item decodes to ("int", "str", ...).
const char* value_name(const msgpack::Item& item) noexcept;

struct Field {
    std::string name;
    ColType type = ColType::Unknown;
    bool nullable = true;
};

enum class FailureKind : std::uint8_t {
    None,
    Malformed,  // the body is not valid MessagePack or not a table body
    Column,     // a value does not fit its column, or the table's shape is refused
    NoMemory,
    Python,     // a Python exception is set
};

struct Failure {
    FailureKind kind = FailureKind::None;
    std::string message;

    bool set(FailureKind k, std::string text) {
        kind = k;
        message = std::move(text);
        return false;
    }
    explicit operator bool() const noexcept { return kind != FailureKind::None; }
};

// "column 'name', row N: " prefix of the column errors.
std::string at_cell(const Field& field, std::int64_t row);

}  // namespace vantrel::arrow
