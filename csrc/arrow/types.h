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
    // Inferred from what the wire says (uint64: ints beyond int64;
    // timestamp: MessagePack timestamps), or asked for by a schema.
    UInt64,
    Timestamp,
    // Asked for by a schema only.
    Int8,
    Int16,
    Int32,
    UInt8,
    UInt16,
    UInt32,
    Float32,
    Date32,
    Time64,
    Decimal128,
    LargeUtf8,
    LargeBinary,
    Utf8View,
    BinaryView,
    Dictionary,  // dictionary(int32, string)
};

// The unit of a timestamp or time64 column: seconds to nanoseconds.
enum class TimeUnit : std::uint8_t { Second, Milli, Micro, Nano };

// A column's type in full: the type and its parameters.
struct TypeSpec {
    ColType type = ColType::Unknown;
    TimeUnit unit = TimeUnit::Nano;  // timestamp, time64
    bool has_zone = false;           // timestamp
    std::string zone;                // timestamp, when has_zone
    int precision = 0, scale = 0;    // decimal128
};

// The Arrow format string of a type ("n", "b", "l", "tsn:UTC", ...); for a
// dictionary, the format of its indices.
std::string arrow_format(const TypeSpec& t);
// The name pyarrow shows for a type ("int64", "timestamp[us, tz=UTC]", ...).
std::string type_name(const TypeSpec& t);
// The Python name of the value an item decodes to ("int", "str", ...).
const char* value_name(const msgpack::Item& item) noexcept;
// The value an item decodes to, as an error text shows it (an int's digits,
// a str quoted and cut short, ...): "the int 300".
std::string value_text(const msgpack::Item& item);

// An int of a body decoded from JSON that does not fit 64 bits: an item of
// kind UInt, `u` the largest uint64 (so that it never passes for an int64),
// and its decimal digits (a sign included) in `data`, `len` (an int read
// from MessagePack bytes never has data).
inline bool huge_int(const msgpack::Item& item) noexcept {
    return item.kind == msgpack::Kind::UInt && item.data != nullptr;
}

// The MessagePack timestamp extension type.
inline constexpr std::int8_t kTimestampExt = -1;
// A MessagePack timestamp's seconds and nanoseconds from its 4, 8 or 12
// bytes; false for any other length or nanoseconds beyond 999,999,999.
bool read_timestamp(const char* data, std::uint32_t len, std::int64_t& seconds, std::uint32_t& nanos) noexcept;

struct Field {
    std::string name;
    ColType type = ColType::Unknown;
    bool nullable = true;
    TypeSpec spec;  // spec.type is kept equal to type by set_type()

    // The type the inference gives (a schema sets `spec` itself): a
    // timestamp is in nanoseconds, UTC.
    void set_type(ColType t) {
        type = t;
        spec = TypeSpec();
        spec.type = t;
        if (t == ColType::Timestamp) {
            spec.has_zone = true;
            spec.zone = "UTC";
        }
    }
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
