#include "types.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace vantrel::arrow {

namespace {

const char* unit_letter(TimeUnit u) noexcept {
    switch (u) {
        case TimeUnit::Second: return "s";
        case TimeUnit::Milli: return "m";
        case TimeUnit::Micro: return "u";
        case TimeUnit::Nano: break;
    }
    return "n";
}

const char* unit_name(TimeUnit u) noexcept {
    switch (u) {
        case TimeUnit::Second: return "s";
        case TimeUnit::Milli: return "ms";
        case TimeUnit::Micro: return "us";
        case TimeUnit::Nano: break;
    }
    return "ns";
}

}  // namespace

std::string arrow_format(const TypeSpec& t) {
    switch (t.type) {
        case ColType::Bool: return "b";
        case ColType::Int8: return "c";
        case ColType::Int16: return "s";
        case ColType::Int32: return "i";
        case ColType::Int64: return "l";
        case ColType::UInt8: return "C";
        case ColType::UInt16: return "S";
        case ColType::UInt32: return "I";
        case ColType::UInt64: return "L";
        case ColType::Float32: return "f";
        case ColType::Float64: return "g";
        case ColType::Utf8: return "u";
        case ColType::LargeUtf8: return "U";
        case ColType::Utf8View: return "vu";
        case ColType::Binary: return "z";
        case ColType::LargeBinary: return "Z";
        case ColType::BinaryView: return "vz";
        case ColType::Date32: return "tdD";
        case ColType::Time64: return std::string("tt") + unit_letter(t.unit);
        case ColType::Timestamp: return std::string("ts") + unit_letter(t.unit) + ":" + (t.has_zone ? t.zone : "");
        case ColType::Decimal128: return "d:" + std::to_string(t.precision) + "," + std::to_string(t.scale);
        case ColType::Dictionary: return "i";
        case ColType::Unknown:
        case ColType::Null: break;
    }
    return "n";
}

std::string type_name(const TypeSpec& t) {
    switch (t.type) {
        case ColType::Bool: return "bool";
        case ColType::Int8: return "int8";
        case ColType::Int16: return "int16";
        case ColType::Int32: return "int32";
        case ColType::Int64: return "int64";
        case ColType::UInt8: return "uint8";
        case ColType::UInt16: return "uint16";
        case ColType::UInt32: return "uint32";
        case ColType::UInt64: return "uint64";
        case ColType::Float32: return "float";
        case ColType::Float64: return "double";
        case ColType::Utf8: return "string";
        case ColType::LargeUtf8: return "large_string";
        case ColType::Utf8View: return "string_view";
        case ColType::Binary: return "binary";
        case ColType::LargeBinary: return "large_binary";
        case ColType::BinaryView: return "binary_view";
        case ColType::Date32: return "date32[day]";
        case ColType::Time64: return std::string("time64[") + unit_name(t.unit) + "]";
        case ColType::Timestamp:
            return std::string("timestamp[") + unit_name(t.unit) + (t.has_zone ? ", tz=" + t.zone : "") + "]";
        case ColType::Decimal128:
            return "decimal128(" + std::to_string(t.precision) + ", " + std::to_string(t.scale) + ")";
        case ColType::Dictionary: return "dictionary<values=string, indices=int32>";
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
        case Kind::Ext: return item.ext_type == kTimestampExt ? "timestamp" : "extension";
        case Kind::Array: return "list";
        case Kind::Map: return "dict";
    }
    return "value";
}

std::string value_text(const msgpack::Item& item) {
    using msgpack::Kind;
    constexpr std::size_t kShown = 40;
    std::string s = std::string("the ") + value_name(item) + " ";
    char buf[64];
    switch (item.kind) {
        case Kind::Int:
        case Kind::UInt:
            if (huge_int(item)) {
                s.append(item.data, item.len);
            } else {
                s += item.kind == Kind::Int ? std::to_string(item.i) : std::to_string(item.u);
            }
            break;
        case Kind::Float: {
            auto done = std::to_chars(buf, buf + sizeof buf, item.f);
            s.append(buf, done.ptr);
            break;
        }
        case Kind::Bool: s += item.b ? "True" : "False"; break;
        case Kind::Str:
        case Kind::Bin: {
            s += item.kind == Kind::Bin ? "b'" : "'";
            const std::size_t n = item.len < kShown ? item.len : kShown;
            for (std::size_t k = 0; k < n; ++k) {
                const auto c = static_cast<unsigned char>(item.data[k]);
                if (c == '\'' || c == '\\') {
                    s += '\\';
                    s += static_cast<char>(c);
                } else if (c >= 0x20 && c != 0x7f && (c < 0x80 || item.kind == Kind::Str)) {
                    s += static_cast<char>(c);
                } else {
                    std::snprintf(buf, sizeof buf, "\\x%02x", c);
                    s += buf;
                }
            }
            s += item.len > kShown ? "'..." : "'";
            break;
        }
        case Kind::Ext: {
            std::int64_t seconds = 0;
            std::uint32_t nanos = 0;
            if (item.ext_type == kTimestampExt && read_timestamp(item.data, item.len, seconds, nanos)) {
                s += std::to_string(seconds) + "s+" + std::to_string(nanos) + "ns";
            } else {
                s += "of type " + std::to_string(item.ext_type);
            }
            break;
        }
        case Kind::Nil:
        case Kind::Array:
        case Kind::Map: s.pop_back(); break;
    }
    return s;
}

bool read_timestamp(const char* data, std::uint32_t len, std::int64_t& seconds, std::uint32_t& nanos) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    auto be = [p](int from, int n) {
        std::uint64_t v = 0;
        for (int k = 0; k < n; ++k) {
            v = (v << 8) | p[from + k];
        }
        return v;
    };
    if (len == 4) {
        seconds = static_cast<std::int64_t>(be(0, 4));
        nanos = 0;
        return true;
    }
    if (len == 8) {
        const std::uint64_t v = be(0, 8);
        nanos = static_cast<std::uint32_t>(v >> 34);
        seconds = static_cast<std::int64_t>(v & 0x3ffffffffull);
        return nanos < 1000000000u;
    }
    if (len == 12) {
        nanos = static_cast<std::uint32_t>(be(0, 4));
        seconds = static_cast<std::int64_t>(be(4, 8));
        return nanos < 1000000000u;
    }
    return false;
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
