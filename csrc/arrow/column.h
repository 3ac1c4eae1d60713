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
    explicit ColumnBuilder(const Field& field) noexcept : field_(&field) {}

    // Prepares for a batch of `rows` rows.
    bool begin(std::int64_t rows, Failure& failure);

    std::int64_t length() const noexcept { return length_; }

    // `row` is the row's number in the whole answer, for error texts.
    bool append(const msgpack::Item& item, std::int64_t row, Failure& failure) {
        using msgpack::Kind;
        if (item.kind == Kind::Nil) {
            return append_null(row, failure);
        }
        switch (field_->type) {
            case ColType::Int64:
                if (item.kind == Kind::Int) {
                    return push(item.i);
                }
                if (item.kind == Kind::UInt) {
                    if (item.u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                        return out_of_range(row, failure);
                    }
                    return push(static_cast<std::int64_t>(item.u));
                }
                break;
            case ColType::Float64:
                if (item.kind == Kind::Float) {
                    return push(item.f);
                }
                if (item.kind == Kind::Int) {
                    return push(static_cast<double>(item.i));
                }
                if (item.kind == Kind::UInt) {
                    return push(static_cast<double>(item.u));
                }
                break;
            case ColType::Bool:
                if (item.kind == Kind::Bool) {
                    return push_bool(item.b, failure);
                }
                break;
            case ColType::Utf8:
                if (item.kind == Kind::Str) {
                    if (!valid_utf8(item.data, item.len)) {
                        return failure.set(FailureKind::Malformed, at_cell(*field_, row) + "invalid UTF-8 in a string");
                    }
                    return push_bytes(item.data, item.len, failure);
                }
                break;
            case ColType::Binary:
                if (item.kind == Kind::Bin || item.kind == Kind::Str) {
                    return push_bytes(item.data, item.len, failure);
                }
                break;
            case ColType::Unknown:
            case ColType::Null:
                break;
        }
        return mismatch(item, row, failure);
    }

    bool append_null(std::int64_t row, Failure& failure);

    // Exports the column built so far into `out` (which owns the buffers
    // from then on) and leaves the builder empty.
    bool finish(ArrowArray* out, Failure& failure);

private:
    template <typename T>
    bool push(T v) noexcept {
        values_.put_value(v);  // reserved by begin() for every row
        if (has_validity_) {
            set_bit(validity_.data(), length_);
        }
        ++length_;
        return true;
    }
    bool push_bool(bool v, Failure& failure);
    bool push_bytes(const char* data, std::uint32_t len, Failure& failure);
    bool mismatch(const msgpack::Item& item, std::int64_t row, Failure& failure);
    bool out_of_range(std::int64_t row, Failure& failure);
    bool start_validity(Failure& failure);

    const Field* field_;
    std::int64_t length_ = 0;
    std::int64_t capacity_rows_ = 0;
    std::int64_t null_count_ = 0;
    bool has_validity_ = false;
    Buffer validity_;
    Buffer values_;  // fixed-width values, bool bits, or utf8/binary offsets
    Buffer data_;    // utf8/binary bytes
};

}  // namespace vantrel::arrow
