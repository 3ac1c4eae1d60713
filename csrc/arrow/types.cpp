#include "types.h"

namespace vantrel::arrow {

const char* arrow_format(ColType t) noexcept {
    switch (t) {
        case ColType::Bool: return "b";
        case ColType::Int64: return "l";
        case ColType::Float64: return "g";
        case ColType::Utf8: return "u";
        case ColType::Binary: return "z";
        case ColType::Unknown:
        case ColType::Null: break;
    }
    return "n";
}

const char* type_name(ColType t) noexcept {
    switch (t) {
        case ColType::Bool: return "bool";
        case ColType::Int64: return "int64";
        case ColType::Float64: return "double";
        case ColType::Utf8: return "string";
        case ColType::Binary: return "binary";
        case ColType::Unknown:
        case ColType::Null: break;
    }
    return "null";
}

const char* value_name(const msgpack::Item& item) noexcept {
    using msgpack::Kind;
    switch (item.kind) {
        case Kind::Nil: return "None";
        case Kind::Bool: return "bool";
        case Kind::UInt:
        case Kind::Int: return "int";
        case Kind::Float: return "float";
        case Kind::Str: return "str";
        case Kind::Bin: return "bytes";
        case Kind::Ext: return "extension";
        case Kind::Array: return "list";
        case Kind::Map: return "dict";
    }
    return "value";
}

std::string at_cell(const Field& field, std::int64_t row) {
    std::string s = "column '";
    s += field.name;
    s += "', row ";
    s += std::to_string(row);
    s += ": ";
    return s;
}

}  // namespace vantrel::arrow
