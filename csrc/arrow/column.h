// The builder of one Arrow column of a record batch.
//
// A builder is typed once (its Field) and takes one value per row, read from
// a MessagePack item: it writes the value straight into the column's Arrow
// buffers and keeps a validity bitmap, created at the first null.  finish()
// hands the buffers to an ArrowArray.  Nothing here touches Python, so a
// batch can be built with the interpreter lock released.
//
// A value is stored exactly or refused: an int that its column cannot hold
// (out of range, or without an exact double), a timestamp finer than its
// column's unit, a number that a decimal would round, text that is not what
// the column reads are ColumnTypeErrors naming the column, the row and the
// value.
#pragma once

#include <cstdint>
#include <limits>

#include "abi.h"
#include "buffer.h"
#include "convert.h"
#include "types.h"
#include "utf8.h"

namespace vantrel::arrow {

// How a column's values are laid out in its buffers.
enum class Layout : std::uint8_t {
    None,       // null: no buffers
    Bits,       // bool
    Fixed,      // width_ bytes a value
    Offsets32,  // string, binary
    Offsets64,  // large_string, large_binary
    Views,      // string_view, binary_view: 16 bytes a value, the longer values' bytes in one buffer
    Dict,       // int32 indices into a string dictionary of the batch
};

class ColumnBuilder {
public:
    explicit ColumnBuilder(const Field& field) noexcept : field_(&field), type_(field.type) {}
    ColumnBuilder(ColumnBuilder&&) noexcept = default;
    ColumnBuilder& operator=(ColumnBuilder&&) noexcept = default;

    // Prepares for a batch of `rows` rows.
    bool begin(std::int64_t rows, Failure& failure);

    std::int64_t length() const noexcept { return length_; }

    // `row` is the row's number in the whole answer, for error texts.  The
    // common cases (a value of the column's own type) are handled here; None,
    // conversions and failures go to append_other().
    [[gnu::always_inline]] bool append(const msgpack::Item& item, std::int64_t row, Failure& failure) {
        using msgpack::Kind;
        switch (type_) {
            case ColType::Int64:
                if (item.kind == Kind::Int) {
                    return push(item.i);
                }
                if (item.kind == Kind::UInt && item.u <= kInt64Max) {
                    return push(static_cast<std::int64_t>(item.u));
                }
                break;
            case ColType::Float64:
                if (item.kind == Kind::Float) {
                    return push(item.f);
                }
                break;
            case ColType::Bool:
                if (item.kind == Kind::Bool) {
                    return push_bool(item.b);
                }
                break;
            case ColType::Utf8:
                if (item.kind == Kind::Str && valid_utf8(item.data, item.len)) {
                    return push_bytes(item.data, item.len, failure);
                }
                break;
            case ColType::Binary:
                if (item.kind == Kind::Bin) {
                    return push_bytes(item.data, item.len, failure);
                }
                break;
            default:
                break;
        }
        return append_other(item, row, failure);
    }

    bool append_null(std::int64_t row, Failure& failure);

    // Follows its field's type when the typing of the columns changed it
    // while the batch is built: from Unknown (nulls so far) to any type,
    // from int64 to double or uint64, from uint64 to double, from string to
    // binary (the values so far converted in place, or refused: `base` is
    // the row number of the batch's first row).
    bool retype(std::int64_t base, Failure& failure);

    // Values already known to be of the column's own type.
    ColType type() const noexcept { return type_; }
    bool push_int(std::int64_t v) noexcept { return push(v); }
    bool push_double(double v) noexcept { return push(v); }
    // A MessagePack timestamp into a timestamp column: false, with nothing
    // pushed, when it is not a whole number of the column's units or
    // beyond int64 (the general way then refuses it).
    bool push_timestamp(std::int64_t seconds, std::uint32_t nanos) noexcept {
        std::int64_t v;
        if (unit_nanos_ == 1) {
            if (__builtin_mul_overflow(seconds, std::int64_t{1000000000}, &v) || __builtin_add_overflow(v, nanos, &v)) {
                return false;
            }
        } else if (!to_units(seconds, nanos, field_->spec.unit, v)) {
            return false;
        }
        return push(v);
    }

    // Exports the column built so far into `out` (which owns the buffers
    // from then on) and leaves the builder empty.
    bool finish(ArrowArray* out, Failure& failure);

    // (A validity bitmap, once started, has the bits of the rows to come
    // set: only a null touches it.)
    template <typename T>
    bool push(T v) noexcept {
        values_.put_value(v);  // reserved by begin() for every row
        ++length_;
        return true;
    }
    bool push_bool(bool v) noexcept {
        std::uint8_t* byte = values_.data() + (length_ >> 3);
        *byte = static_cast<std::uint8_t>(*byte | (static_cast<unsigned>(v) << (length_ & 7)));
        ++length_;
        return true;
    }
    bool push_bytes(const char* data, std::uint32_t len, Failure& failure) {
        if (len > data_room_ && !make_room(len, failure)) {
            return false;
        }
        data_.put_short(data, len);
        end_bytes(len);
        return true;
    }
    // A str value read straight from the bytes: pushed when it is valid
    // UTF-8 and its bytes fit the room reserved; false, with nothing
    // pushed, otherwise (the value then takes the general way).
    bool push_text(const char* data, std::uint32_t len) noexcept {
        if (len > data_room_) {
            return false;
        }
        if (!data_.put_ascii(data, len)) {
            if (!valid_utf8(data, len)) {
                return false;
            }
            data_.put_short(data, len);
        }
        end_bytes(len);
        return true;
    }

private:
    // The value's `len` bytes are in data_: its end offset and its count.
    void end_bytes(std::uint32_t len) noexcept {
        data_room_ -= len;
        values_.put_value(static_cast<std::int32_t>(data_.size()));
        ++length_;
    }
    [[gnu::noinline]] bool append_other(const msgpack::Item& item, std::int64_t row, Failure& failure);
    bool append_int(const msgpack::Item& item, std::int64_t row, Failure& failure);
    bool append_bytes(const msgpack::Item& item, std::int64_t row, Failure& failure);
    bool append_time(const msgpack::Item& item, std::int64_t row, Failure& failure);
    bool append_decimal(const msgpack::Item& item, std::int64_t row, Failure& failure);
    bool push_any_bytes(const char* data, std::uint32_t len, Failure& failure);
    bool push_view(const char* data, std::uint32_t len, Failure& failure);
    bool push_dict(const char* data, std::uint32_t len, Failure& failure);
    bool grow_slots(Failure& failure);
    bool finish_dictionary(ArrowArray* out, Failure& failure);
    [[gnu::noinline]] bool make_room(std::uint32_t len, Failure& failure);
    [[gnu::noinline, gnu::cold]] bool mismatch(const msgpack::Item& item, std::int64_t row, Failure& failure);
    [[gnu::noinline, gnu::cold]] bool refuse(const msgpack::Item& item, std::int64_t row, const char* why,
                                             Failure& failure);
    bool start_validity(Failure& failure);
    bool reserve_values(Failure& failure);
    void put_placeholder() noexcept;
    void set_data_room() noexcept;
    void set_layout() noexcept;

    static constexpr std::uint64_t kInt64Max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

    const Field* field_;
    ColType type_;
    Layout layout_ = Layout::None;
    std::uint8_t width_ = 0;       // bytes a value (Fixed)
    std::int64_t unit_nanos_ = 1;  // timestamp, time64: nanoseconds a unit
    std::size_t data_room_ = 0;  // bytes reserved in data_ beyond its size, within the 32-bit offsets' reach
    std::int64_t length_ = 0;
    std::int64_t capacity_rows_ = 0;
    std::int64_t null_count_ = 0;
    bool has_validity_ = false;
    Buffer validity_;
    Buffer values_;  // fixed-width values, bool bits, offsets, views or dictionary indices
    Buffer data_;    // string and binary bytes (a dictionary's: its values')
    // A dictionary column: its values' offsets, and a hash table of them
    // (slot: value index + 1, 0 for none).
    Buffer dict_offsets_;
    Buffer slots_;
    std::int32_t dict_count_ = 0;
};

}  // namespace vantrel::arrow
