#include "column.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <new>

namespace vantrel::arrow {

namespace {

using msgpack::Item;
using msgpack::Kind;

struct ColumnPrivate {
    void* owned[4] = {nullptr, nullptr, nullptr, nullptr};
    const void* buffers[4] = {nullptr, nullptr, nullptr, nullptr};
    ArrowArray dictionary{};  // a dictionary column's values
};

void release_column(ArrowArray* array) {
    auto* priv = static_cast<ColumnPrivate*>(array->private_data);
    for (void* p : priv->owned) {
        std::free(p);
    }
    if (priv->dictionary.release != nullptr) {
        priv->dictionary.release(&priv->dictionary);
    }
    delete priv;
    array->release = nullptr;
}

bool no_memory(Failure& failure) {
    return failure.set(FailureKind::NoMemory, "out of memory");
}

// The range of the int columns narrower than 64 bits.
bool int_range(ColType t, std::int64_t& lo, std::uint64_t& hi) noexcept {
    switch (t) {
        case ColType::Int8: lo = INT8_MIN; hi = INT8_MAX; return true;
        case ColType::Int16: lo = INT16_MIN; hi = INT16_MAX; return true;
        case ColType::Int32: lo = INT32_MIN; hi = INT32_MAX; return true;
        case ColType::Int64: lo = INT64_MIN; hi = INT64_MAX; return true;
        case ColType::UInt8: lo = 0; hi = UINT8_MAX; return true;
        case ColType::UInt16: lo = 0; hi = UINT16_MAX; return true;
        case ColType::UInt32: lo = 0; hi = UINT32_MAX; return true;
        case ColType::UInt64: lo = 0; hi = UINT64_MAX; return true;
        default: return false;
    }
}

std::uint64_t hash_bytes(const char* data, std::uint32_t len) noexcept {
    std::uint64_t h = 1469598103934665603ull;
    for (std::uint32_t k = 0; k < len; ++k) {
        h = (h ^ static_cast<unsigned char>(data[k])) * 1099511628211ull;
    }
    return h;
}

constexpr std::size_t kMaxData = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

}  // namespace

void ColumnBuilder::set_layout() noexcept {
    width_ = 0;
    switch (type_) {
        case ColType::Unknown:
        case ColType::Null: layout_ = Layout::None; return;
        case ColType::Bool: layout_ = Layout::Bits; return;
        case ColType::Utf8:
        case ColType::Binary: layout_ = Layout::Offsets32; return;
        case ColType::LargeUtf8:
        case ColType::LargeBinary: layout_ = Layout::Offsets64; return;
        case ColType::Utf8View:
        case ColType::BinaryView: layout_ = Layout::Views; return;
        case ColType::Dictionary: layout_ = Layout::Dict; return;
        case ColType::Int8:
        case ColType::UInt8: width_ = 1; break;
        case ColType::Int16:
        case ColType::UInt16: width_ = 2; break;
        case ColType::Int32:
        case ColType::UInt32:
        case ColType::Float32:
        case ColType::Date32: width_ = 4; break;
        case ColType::Int64:
        case ColType::UInt64:
        case ColType::Float64:
        case ColType::Timestamp:
        case ColType::Time64: width_ = 8; break;
        case ColType::Decimal128: width_ = 16; break;
    }
    layout_ = Layout::Fixed;
    unit_nanos_ = unit_nanos(field_->spec.unit);
}

bool ColumnBuilder::begin(std::int64_t rows, Failure& failure) {
    length_ = 0;
    null_count_ = 0;
    has_validity_ = false;
    capacity_rows_ = rows;
    type_ = field_->type;
    set_layout();
    return reserve_values(failure);
}

// The value buffers of a batch of capacity_rows_ rows for type_.
bool ColumnBuilder::reserve_values(Failure& failure) {
    const auto n = static_cast<std::size_t>(capacity_rows_);
    bool ok = true;
    switch (layout_) {
        case Layout::Fixed:
            ok = values_.reserve(n * width_);
            break;
        case Layout::Bits:
            ok = values_.grow_zeroed((n + 7) / 8);
            break;
        case Layout::Offsets32:
            ok = values_.reserve((n + 1) * sizeof(std::int32_t)) && data_.reserve(n * 8);
            if (ok) {
                values_.put_value(std::int32_t{0});
                set_data_room();
            }
            break;
        case Layout::Offsets64:
            ok = values_.reserve((n + 1) * sizeof(std::int64_t)) && data_.reserve(n * 8);
            if (ok) {
                values_.put_value(std::int64_t{0});
            }
            break;
        case Layout::Views:
            ok = values_.reserve(n * 16);
            break;
        case Layout::Dict:
            dict_count_ = 0;
            ok = values_.reserve(n * sizeof(std::int32_t)) && dict_offsets_.reserve(sizeof(std::int32_t)) &&
                 slots_.grow_zeroed(64 * sizeof(std::int32_t));
            if (ok) {
                dict_offsets_.put_value(std::int32_t{0});
            }
            break;
        case Layout::None:
            break;
    }
    return ok || no_memory(failure);
}

// The value of a null (or of a row not built yet) in the column's layout.
void ColumnBuilder::put_placeholder() noexcept {
    switch (layout_) {
        case Layout::Fixed:
            values_.grow_zeroed(values_.size() + width_);  // reserved
            break;
        case Layout::Offsets32:
            values_.put_value(static_cast<std::int32_t>(data_.size()));
            break;
        case Layout::Offsets64:
            values_.put_value(static_cast<std::int64_t>(data_.size()));
            break;
        case Layout::Views:
            values_.grow_zeroed(values_.size() + 16);
            break;
        case Layout::Dict:
            values_.put_value(std::int32_t{0});
            break;
        case Layout::Bits:
        case Layout::None:
            break;
    }
}

bool ColumnBuilder::retype(std::int64_t base, Failure& failure) {
    const ColType to = field_->type;
    std::uint8_t* p = values_.data();
    if (type_ == ColType::Int64 || type_ == ColType::UInt64) {
        // Every value so far converted, or refused (a null's placeholder, 0, fits any).
        for (std::int64_t k = 0; k < length_; ++k, p += 8) {
            std::int64_t i;
            std::memcpy(&i, p, 8);
            Item item;
            item.kind = type_ == ColType::UInt64 || i >= 0 ? Kind::UInt : Kind::Int;
            item.i = i;
            item.u = static_cast<std::uint64_t>(i);
            if (to == ColType::UInt64) {
                if (i < 0) {
                    return refuse(item, base + k, " is outside the uint64 range", failure);
                }
                continue;
            }
            if (to != ColType::Float64) {
                break;
            }
            if (item.kind == Kind::Int ? !exact_double(i) : !exact_double(item.u)) {
                return refuse(item, base + k, " has no exact double value", failure);
            }
            const double d = item.kind == Kind::Int ? static_cast<double>(i) : static_cast<double>(item.u);
            std::memcpy(p, &d, 8);
        }
        type_ = to;
        set_layout();
        return true;
    }
    if (type_ == ColType::Utf8 && to == ColType::Binary) {
        type_ = to;  // the same layout: the strs so far are their UTF-8 bytes
        return true;
    }
    if (type_ != ColType::Unknown) {
        return true;  // the typing never changes another type
    }
    // Nulls so far (their validity bits are clear): a placeholder each.
    type_ = to;
    set_layout();
    if (!reserve_values(failure)) {
        return false;
    }
    for (std::int64_t k = 0; k < length_; ++k) {
        put_placeholder();
    }
    return true;
}

bool ColumnBuilder::start_validity(Failure& failure) {
    // Every value so far was valid, and so are the rows to come until a
    // null clears its bit.
    const auto bytes = static_cast<std::size_t>((capacity_rows_ + 7) / 8);
    if (!validity_.grow_zeroed(bytes)) {
        return no_memory(failure);
    }
    std::memset(validity_.data(), 0xff, bytes);
    has_validity_ = true;
    return true;
}

bool ColumnBuilder::append_null(std::int64_t row, Failure& failure) {
    if (!field_->nullable) {
        return failure.set(FailureKind::Column,
                           at_cell(*field_, row) + "None in the non-nullable " + type_name(field_->spec) + " column");
    }
    if (type_ != ColType::Null && !has_validity_ && !start_validity(failure)) {
        return false;
    }
    if (has_validity_) {
        clear_bit(validity_.data(), length_);
    }
    put_placeholder();
    ++length_;
    ++null_count_;
    return true;
}

bool ColumnBuilder::make_room(std::uint32_t len, Failure& failure) {
    if (data_.size() + len > kMaxData) {
        return failure.set(FailureKind::Column, "column '" + field_->name + "': more than 2 GiB of data in one packet");
    }
    if (!data_.reserve(len)) {
        return no_memory(failure);
    }
    set_data_room();
    return true;
}

void ColumnBuilder::set_data_room() noexcept {
    // Never beyond what 32-bit offsets can reach: past it, make_room() is
    // called and refuses the value instead of letting the offsets wrap.
    const std::size_t usable = data_.capacity() < kMaxData ? data_.capacity() : kMaxData;
    data_room_ = usable - data_.size();
}

// -- values of other kinds than the column's own ------------------------------------

bool ColumnBuilder::append_other(const Item& item, std::int64_t row, Failure& failure) {
    if (item.kind == Kind::Nil) {
        return append_null(row, failure);
    }
    switch (type_) {
        case ColType::Int8:
        case ColType::Int16:
        case ColType::Int32:
        case ColType::Int64:
        case ColType::UInt8:
        case ColType::UInt16:
        case ColType::UInt32:
        case ColType::UInt64:
            return append_int(item, row, failure);
        case ColType::Float64:
        case ColType::Float32: {
            const bool single = type_ == ColType::Float32;
            if (huge_int(item)) {
                return refuse(item, row, (std::string(" has no exact ") + type_name(field_->spec) + " value").c_str(),
                              failure);
            }
            if (item.kind == Kind::Int || item.kind == Kind::UInt) {
                const bool exact = item.kind == Kind::Int ? (single ? exact_float(item.i) : exact_double(item.i))
                                                          : (single ? exact_float(item.u) : exact_double(item.u));
                if (!exact) {
                    return refuse(item, row,
                                  (std::string(" has no exact ") + type_name(field_->spec) + " value").c_str(),
                                  failure);
                }
                const double d = item.kind == Kind::Int ? static_cast<double>(item.i) : static_cast<double>(item.u);
                return single ? push(static_cast<float>(d)) : push(d);
            }
            if (item.kind == Kind::Float && single) {
                if (std::isfinite(item.f) && std::fabs(item.f) > static_cast<double>(std::numeric_limits<float>::max())) {
                    return refuse(item, row, " is outside the float range", failure);
                }
                return push(static_cast<float>(item.f));
            }
            break;
        }
        case ColType::Utf8:
        case ColType::LargeUtf8:
        case ColType::Utf8View:
        case ColType::Dictionary:
            if (item.kind == Kind::Str) {
                if (!valid_utf8(item.data, item.len)) {
                    return failure.set(FailureKind::Malformed, at_cell(*field_, row) + "invalid UTF-8 in a string");
                }
                return push_any_bytes(item.data, item.len, failure);
            }
            break;
        case ColType::Binary:
        case ColType::LargeBinary:
        case ColType::BinaryView:
            if (item.kind == Kind::Str || item.kind == Kind::Bin) {  // a str: its UTF-8 bytes
                return push_any_bytes(item.data, item.len, failure);
            }
            break;
        case ColType::Timestamp:
        case ColType::Date32:
        case ColType::Time64:
            return append_time(item, row, failure);
        case ColType::Decimal128:
            return append_decimal(item, row, failure);
        case ColType::Bool:
        case ColType::Unknown:
        case ColType::Null:
            break;
    }
    return mismatch(item, row, failure);
}

bool ColumnBuilder::append_int(const Item& item, std::int64_t row, Failure& failure) {
    std::int64_t lo = 0;
    std::uint64_t hi = 0;
    int_range(type_, lo, hi);
    bool fits = false;
    if (huge_int(item)) {
        fits = false;
    } else if (item.kind == Kind::Int) {
        fits = item.i >= lo && (item.i < 0 || static_cast<std::uint64_t>(item.i) <= hi);
    } else if (item.kind == Kind::UInt) {
        fits = item.u <= hi;
    } else {
        return mismatch(item, row, failure);
    }
    if (!fits) {
        return refuse(item, row, (" is outside the " + type_name(field_->spec) + " range").c_str(), failure);
    }
    const std::uint64_t bits = item.kind == Kind::Int ? static_cast<std::uint64_t>(item.i) : item.u;
    switch (width_) {
        case 1: return push(static_cast<std::uint8_t>(bits));
        case 2: return push(static_cast<std::uint16_t>(bits));
        case 4: return push(static_cast<std::uint32_t>(bits));
        default: return push(bits);
    }
}

bool ColumnBuilder::append_time(const Item& item, std::int64_t row, Failure& failure) {
    const TypeSpec& spec = field_->spec;
    std::int64_t seconds = 0, nanos = 0, v = 0;
    if (item.kind == Kind::Int || item.kind == Kind::UInt) {  // a count of the column's units
        if (huge_int(item) || (item.kind == Kind::UInt && item.u > kInt64Max) ||
            (type_ == ColType::Date32 &&
             (item.kind == Kind::UInt ? item.u > INT32_MAX : item.i < INT32_MIN || item.i > INT32_MAX))) {
            return refuse(item, row, (" is outside the " + type_name(spec) + " range").c_str(), failure);
        }
        v = item.kind == Kind::Int ? item.i : static_cast<std::int64_t>(item.u);
        if (type_ == ColType::Time64 && (v < 0 || v >= 86400 * (1000000000 / unit_nanos_))) {
            return refuse(item, row, (" is outside the " + type_name(spec) + " range (one day)").c_str(), failure);
        }
        return type_ == ColType::Date32 ? push(static_cast<std::int32_t>(v)) : push(v);
    }
    if (item.kind == Kind::Ext && item.ext_type == kTimestampExt && type_ != ColType::Time64) {
        std::uint32_t ns = 0;
        if (!read_timestamp(item.data, item.len, seconds, ns)) {
            return failure.set(FailureKind::Malformed, at_cell(*field_, row) + "a malformed MessagePack timestamp");
        }
        nanos = ns;
    } else if (item.kind == Kind::Str) {
        bool ok = false;
        const char* what = "";
        if (type_ == ColType::Timestamp) {
            ok = parse_datetime(item.data, item.len, seconds, nanos);
            what = " is not an ISO-8601 date and time (as datetime.isoformat() writes them)";
        } else if (type_ == ColType::Date32) {
            ok = parse_date(item.data, item.len, seconds);  // days
            what = " is not an ISO-8601 date (YYYY-MM-DD)";
        } else {
            ok = parse_time(item.data, item.len, nanos);
            what = " is not an ISO-8601 time (as time.isoformat() writes it)";
        }
        if (!ok) {
            return refuse(item, row, (what + std::string(" for the ") + type_name(spec) + " column").c_str(), failure);
        }
        if (type_ == ColType::Date32) {
            return seconds >= INT32_MIN && seconds <= INT32_MAX
                       ? push(static_cast<std::int32_t>(seconds))
                       : refuse(item, row, " is outside the date32[day] range", failure);
        }
    } else {
        return mismatch(item, row, failure);
    }
    if (type_ == ColType::Date32) {  // a timestamp: a whole day
        if (nanos != 0 || seconds % 86400 != 0) {
            return refuse(item, row, " is not midnight: a date32[day] column would lose its time", failure);
        }
        const std::int64_t days = seconds / 86400;
        return push(static_cast<std::int32_t>(days));
    }
    if (!to_units(seconds, nanos, spec.unit, v)) {
        return refuse(item, row, (" does not fit the " + type_name(spec) + " column without losing precision").c_str(),
                      failure);
    }
    return push(v);
}

bool ColumnBuilder::append_decimal(const Item& item, std::int64_t row, Failure& failure) {
    const TypeSpec& spec = field_->spec;
    Int128 v = 0;
    bool ok = false;
    if (item.kind == Kind::Int || item.kind == Kind::UInt) {
        ok = int_decimal(item, spec.precision, spec.scale, v);
    } else if (item.kind == Kind::Str) {
        ok = parse_decimal(item.data, item.len, spec.precision, spec.scale, v);
    } else if (item.kind == Kind::Float) {
        // the float's shortest text: 0.1 is 0.1
        char buf[64];
        auto done = std::to_chars(buf, buf + sizeof buf, item.f);
        ok = std::isfinite(item.f) &&
             parse_decimal(buf, static_cast<std::size_t>(done.ptr - buf), spec.precision, spec.scale, v);
    } else {
        return mismatch(item, row, failure);
    }
    if (!ok) {
        return refuse(item, row,
                      (" does not fit the " + type_name(spec) + " column (without rounding)").c_str(), failure);
    }
    return push(v);
}

bool ColumnBuilder::push_any_bytes(const char* data, std::uint32_t len, Failure& failure) {
    switch (layout_) {
        case Layout::Offsets32:
            return push_bytes(data, len, failure);
        case Layout::Offsets64:
            if (!data_.reserve(len)) {
                return no_memory(failure);
            }
            data_.put(data, len);
            values_.put_value(static_cast<std::int64_t>(data_.size()));
            ++length_;
            return true;
        case Layout::Views:
            return push_view(data, len, failure);
        case Layout::Dict:
            return push_dict(data, len, failure);
        default:
            return no_memory(failure);  // never: the callers' types have one of these layouts
    }
}

bool ColumnBuilder::push_view(const char* data, std::uint32_t len, Failure& failure) {
    if (len > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
        return failure.set(FailureKind::Column, "column '" + field_->name + "': a value of more than 2 GiB");
    }
    std::uint8_t view[16] = {};
    const auto n = static_cast<std::int32_t>(len);
    std::memcpy(view, &n, 4);
    if (len <= 12) {
        std::memcpy(view + 4, data, len);
    } else {
        if (data_.size() + len > kMaxData) {
            return failure.set(FailureKind::Column,
                               "column '" + field_->name + "': more than 2 GiB of data in one packet");
        }
        if (!data_.reserve(len)) {
            return no_memory(failure);
        }
        const auto offset = static_cast<std::int32_t>(data_.size());
        const std::int32_t buffer = 0;
        std::memcpy(view + 4, data, 4);
        std::memcpy(view + 8, &buffer, 4);
        std::memcpy(view + 12, &offset, 4);
        data_.put(data, len);
    }
    values_.put(view, 16);
    ++length_;
    return true;
}

bool ColumnBuilder::grow_slots(Failure& failure) {
    const std::size_t cap = slots_.size() / sizeof(std::int32_t) * 2;
    Buffer grown;
    if (!grown.grow_zeroed(cap * sizeof(std::int32_t))) {
        return no_memory(failure);
    }
    auto* slots = reinterpret_cast<std::int32_t*>(grown.data());
    const auto* offsets = reinterpret_cast<const std::int32_t*>(dict_offsets_.data());
    for (std::int32_t k = 0; k < dict_count_; ++k) {
        const char* text = reinterpret_cast<const char*>(data_.data()) + offsets[k];
        const auto len = static_cast<std::uint32_t>(offsets[k + 1] - offsets[k]);
        std::size_t at = hash_bytes(text, len) & (cap - 1);
        while (slots[at] != 0) {
            at = (at + 1) & (cap - 1);
        }
        slots[at] = k + 1;
    }
    slots_ = std::move(grown);
    return true;
}

bool ColumnBuilder::push_dict(const char* data, std::uint32_t len, Failure& failure) {
    const std::size_t cap = slots_.size() / sizeof(std::int32_t);
    auto* slots = reinterpret_cast<std::int32_t*>(slots_.data());
    const auto* offsets = reinterpret_cast<const std::int32_t*>(dict_offsets_.data());
    std::size_t at = hash_bytes(data, len) & (cap - 1);
    for (; slots[at] != 0; at = (at + 1) & (cap - 1)) {
        const std::int32_t k = slots[at] - 1;
        if (static_cast<std::uint32_t>(offsets[k + 1] - offsets[k]) == len &&
            std::memcmp(data_.data() + offsets[k], data, len) == 0) {
            values_.put_value(k);
            ++length_;
            return true;
        }
    }
    // A new value of the dictionary.
    if (data_.size() + len > kMaxData) {
        return failure.set(FailureKind::Column, "column '" + field_->name + "': more than 2 GiB of data in one packet");
    }
    if (!data_.reserve(len) || !dict_offsets_.reserve(sizeof(std::int32_t))) {
        return no_memory(failure);
    }
    data_.put(data, len);
    dict_offsets_.put_value(static_cast<std::int32_t>(data_.size()));
    const std::int32_t k = dict_count_++;
    slots[at] = k + 1;
    values_.put_value(k);
    ++length_;
    if (static_cast<std::size_t>(dict_count_) * 2 > cap) {
        return grow_slots(failure);
    }
    return true;
}

bool ColumnBuilder::refuse(const Item& item, std::int64_t row, const char* why, Failure& failure) {
    return failure.set(FailureKind::Column, at_cell(*field_, row) + value_text(item) + why);
}

bool ColumnBuilder::mismatch(const Item& item, std::int64_t row, Failure& failure) {
    std::string text = at_cell(*field_, row);
    if (item.kind == Kind::Array || item.kind == Kind::Map) {
        text += std::string("nested values (") + value_name(item) + ") are not supported";
    } else {
        text += value_text(item) + " does not fit the " + type_name(field_->spec) + " column";
    }
    return failure.set(FailureKind::Column, std::move(text));
}

// -- export ---------------------------------------------------------------------------

bool ColumnBuilder::finish_dictionary(ArrowArray* out, Failure& failure) {
    auto* priv = new (std::nothrow) ColumnPrivate;
    if (priv == nullptr || (data_.data() == nullptr && !data_.reserve(8))) {
        delete priv;
        return no_memory(failure);
    }
    priv->owned[1] = dict_offsets_.release();
    priv->owned[2] = data_.release();
    for (int k = 0; k < 3; ++k) {
        priv->buffers[k] = priv->owned[k];
    }
    out->length = dict_count_;
    out->null_count = 0;
    out->offset = 0;
    out->n_buffers = 3;
    out->n_children = 0;
    out->buffers = priv->buffers;
    out->children = nullptr;
    out->dictionary = nullptr;
    out->release = release_column;
    out->private_data = priv;
    slots_ = Buffer();
    dict_count_ = 0;
    return true;
}

bool ColumnBuilder::finish(ArrowArray* out, Failure& failure) {
    auto* priv = new (std::nothrow) ColumnPrivate;
    if (priv == nullptr) {
        return no_memory(failure);
    }
    if (field_->type != type_) {  // a column of None only, typed later
        type_ = field_->type == ColType::Unknown ? ColType::Null : field_->type;
        set_layout();
    }
    int n_buffers = 2;
    switch (layout_) {
        case Layout::None: n_buffers = 0; break;
        case Layout::Offsets32:
        case Layout::Offsets64: n_buffers = 3; break;
        case Layout::Views: n_buffers = 4; break;
        default: break;
    }
    // Every exported buffer is a real allocation, even when empty.
    if ((n_buffers >= 2 && values_.data() == nullptr && !values_.reserve(8)) ||
        (n_buffers >= 3 && data_.data() == nullptr && !data_.reserve(8))) {
        delete priv;
        return no_memory(failure);
    }
    if (layout_ == Layout::Views && (priv->owned[3] = std::malloc(sizeof(std::int64_t))) == nullptr) {
        delete priv;
        return no_memory(failure);
    }
    if (layout_ == Layout::Dict && !finish_dictionary(&priv->dictionary, failure)) {
        delete priv;
        return false;
    }
    if (n_buffers > 0) {
        if (has_validity_ && null_count_ > 0) {
            // the bits past the last row clear, as a bitmap of exactly length_ rows
            std::uint8_t* bits = validity_.data();
            for (std::int64_t i = length_; (i & 7) != 0; ++i) {
                clear_bit(bits, i);
            }
            priv->owned[0] = validity_.release();
        }
        if (layout_ == Layout::Views) {
            *static_cast<std::int64_t*>(priv->owned[3]) = static_cast<std::int64_t>(data_.size());
        }
        priv->owned[1] = values_.release();
        if (n_buffers >= 3) {
            priv->owned[2] = data_.release();
        }
    }
    validity_ = Buffer();
    data_room_ = 0;
    for (int k = 0; k < 4; ++k) {
        priv->buffers[k] = priv->owned[k];
    }
    out->length = length_;
    out->null_count = layout_ == Layout::None ? length_ : null_count_;
    out->offset = 0;
    out->n_buffers = n_buffers;
    out->n_children = 0;
    out->buffers = priv->buffers;
    out->children = nullptr;
    out->dictionary = layout_ == Layout::Dict ? &priv->dictionary : nullptr;
    out->release = release_column;
    out->private_data = priv;
    length_ = 0;
    null_count_ = 0;
    has_validity_ = false;
    return true;
}

}  // namespace vantrel::arrow
