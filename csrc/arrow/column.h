// The builder of one Arrow column of a record batch.
//
// A builder is typed once (its Field) and takes one value per row, read from
// a MessagePack item: it writes the value straight into the column's Arrow
// buffers and keeps a validity bitmap, created at the first null.  finish()
// hands the buffers to an ArrowArray.  Nothing here touches Python, so a
// batch can be built with the interpreter lock released.
#pragma once

#include <cstdint>
#include <limits>

#include "abi.h"
#include "buffer.h"
#include "types.h"
#include "utf8.h"

namespace vantrel::arrow {

class ColumnBuilder {
public:
    explicit ColumnBuilder(const Field& field) noexcept : field_(&field), type_(field.type) {}

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
            case ColType::Unknown:
            case ColType::Null:
                break;
        }
        return append_other(item, row, failure);
    }

    bool append_null(std::int64_t row, Failure& failure);

    // Follows its field's type when the typing of the columns changed it
    // while the batch is built: from Unknown (nulls so far) to any type, or
    // from int64 to double (the values so far converted in place).
    bool retype(Failure& failure);

    // Values already known to be of the column's own type.
    ColType type() const noexcept { return type_; }
    bool push_int(std::int64_t v) noexcept { return push(v); }
    bool push_double(double v) noexcept { return push(v); }

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
    [[gnu::noinline]] bool make_room(std::uint32_t len, Failure& failure);
    [[gnu::noinline, gnu::cold]] bool mismatch(const msgpack::Item& item, std::int64_t row, Failure& failure);
    bool start_validity(Failure& failure);
    bool reserve_values(Failure& failure);
    void set_data_room() noexcept;

    static constexpr std::uint64_t kInt64Max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

    const Field* field_;
    ColType type_;
    std::size_t data_room_ = 0;  // bytes reserved in data_ beyond its size, within the 32-bit offsets' reach
    std::int64_t length_ = 0;
    std::int64_t capacity_rows_ = 0;
    std::int64_t null_count_ = 0;
    bool has_validity_ = false;
    Buffer validity_;
    Buffer values_;  // fixed-width values, bool bits, or utf8/binary offsets
    Buffer data_;    // utf8/binary bytes
};

}  // namespace vantrel::arrow
