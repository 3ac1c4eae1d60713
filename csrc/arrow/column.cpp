#include "column.h"

#include <cstring>
#include <new>

namespace vantrel::arrow {

namespace {

struct ColumnPrivate {
    void* owned[3] = {nullptr, nullptr, nullptr};
    const void* buffers[3] = {nullptr, nullptr, nullptr};
};

void release_column(ArrowArray* array) {
    auto* priv = static_cast<ColumnPrivate*>(array->private_data);
    for (void* p : priv->owned) {
        std::free(p);
    }
    delete priv;
    array->release = nullptr;
}

bool no_memory(Failure& failure) {
    return failure.set(FailureKind::NoMemory, "out of memory");
}

}  // namespace

bool ColumnBuilder::begin(std::int64_t rows, Failure& failure) {
    length_ = 0;
    null_count_ = 0;
    has_validity_ = false;
    capacity_rows_ = rows;
    type_ = field_->type;
    return reserve_values(failure);
}

// The value buffers of a batch of capacity_rows_ rows for type_.
bool ColumnBuilder::reserve_values(Failure& failure) {
    const auto n = static_cast<std::size_t>(capacity_rows_);
    bool ok = true;
    switch (type_) {
        case ColType::Int64:
            ok = values_.reserve(n * sizeof(std::int64_t));
            break;
        case ColType::Float64:
            ok = values_.reserve(n * sizeof(double));
            break;
        case ColType::Bool:
            ok = values_.grow_zeroed((n + 7) / 8);
            break;
        case ColType::Utf8:
        case ColType::Binary:
            ok = values_.reserve((n + 1) * sizeof(std::int32_t)) && data_.reserve(n * 8);
            if (ok) {
                values_.put_value(std::int32_t{0});
                set_data_room();
            }
            break;
        case ColType::Unknown:
        case ColType::Null:
            break;
    }
    return ok || no_memory(failure);
}

bool ColumnBuilder::retype(Failure& failure) {
    const ColType to = field_->type;
    if (type_ == ColType::Int64 && to == ColType::Float64) {
        std::uint8_t* p = values_.data();
        for (std::int64_t k = 0; k < length_; ++k, p += 8) {
            std::int64_t i;
            std::memcpy(&i, p, 8);
            const auto d = static_cast<double>(i);
            std::memcpy(p, &d, 8);
        }
        type_ = to;
        return true;
    }
    if (type_ != ColType::Unknown) {
        return true;  // the typing never changes another type
    }
    // Nulls so far (their validity bits are clear): a placeholder each.
    type_ = to;
    if (!reserve_values(failure)) {
        return false;
    }
    const auto n = static_cast<std::size_t>(length_);
    switch (type_) {
        case ColType::Int64:
        case ColType::Float64:
            for (std::size_t k = 0; k < n; ++k) {
                values_.put_value(std::int64_t{0});
            }
            break;
        case ColType::Utf8:
        case ColType::Binary:
            for (std::size_t k = 0; k < n; ++k) {
                values_.put_value(std::int32_t{0});
            }
            break;
        case ColType::Bool:
        case ColType::Unknown:
        case ColType::Null:
            break;
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
                           at_cell(*field_, row) + "None in the non-nullable " + type_name(field_->type) + " column");
    }
    if (type_ != ColType::Null && !has_validity_ && !start_validity(failure)) {
        return false;
    }
    if (has_validity_) {
        clear_bit(validity_.data(), length_);
    }
    switch (type_) {
        case ColType::Int64:
            values_.put_value(std::int64_t{0});
            break;
        case ColType::Float64:
            values_.put_value(0.0);
            break;
        case ColType::Utf8:
        case ColType::Binary:
            values_.put_value(static_cast<std::int32_t>(data_.size()));
            break;
        case ColType::Bool:
        case ColType::Unknown:
        case ColType::Null:
            break;
    }
    ++length_;
    ++null_count_;
    return true;
}

bool ColumnBuilder::make_room(std::uint32_t len, Failure& failure) {
    if (data_.size() + len > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
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
    constexpr auto kMaxData = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    const std::size_t usable = data_.capacity() < kMaxData ? data_.capacity() : kMaxData;
    data_room_ = usable - data_.size();
}

bool ColumnBuilder::append_other(const msgpack::Item& item, std::int64_t row, Failure& failure) {
    using msgpack::Kind;
    if (item.kind == Kind::Nil) {
        return append_null(row, failure);
    }
    switch (type_) {
        case ColType::Int64:
            if (item.kind == Kind::UInt) {
                return failure.set(FailureKind::Column, at_cell(*field_, row) + "an int outside the int64 range");
            }
            break;
        case ColType::Float64:
            if (item.kind == Kind::Int) {
                return push(static_cast<double>(item.i));
            }
            if (item.kind == Kind::UInt) {
                return push(static_cast<double>(item.u));
            }
            break;
        case ColType::Utf8:
            if (item.kind == Kind::Str) {
                return failure.set(FailureKind::Malformed, at_cell(*field_, row) + "invalid UTF-8 in a string");
            }
            break;
        default:
            break;
    }
    return mismatch(item, row, failure);
}

bool ColumnBuilder::mismatch(const msgpack::Item& item, std::int64_t row, Failure& failure) {
    using msgpack::Kind;
    std::string text = at_cell(*field_, row);
    if (item.kind == Kind::Array || item.kind == Kind::Map) {
        text += std::string("nested values (") + value_name(item) + ") are not supported";
    } else {
        text += std::string("a ") + value_name(item) + " value does not fit the " + type_name(field_->type) +
                " column";
    }
    return failure.set(FailureKind::Column, std::move(text));
}

bool ColumnBuilder::finish(ArrowArray* out, Failure& failure) {
    auto* priv = new (std::nothrow) ColumnPrivate;
    if (priv == nullptr) {
        return no_memory(failure);
    }
    const ColType type = field_->type == ColType::Unknown ? ColType::Null : field_->type;
    int n_buffers = 2;
    if (type == ColType::Null) {
        n_buffers = 0;
    } else if (type == ColType::Utf8 || type == ColType::Binary) {
        n_buffers = 3;
    }
    // Every exported buffer is a real allocation, even when empty.
    if ((n_buffers >= 2 && values_.data() == nullptr && !values_.reserve(8)) ||
        (n_buffers == 3 && data_.data() == nullptr && !data_.reserve(8))) {
        delete priv;
        return no_memory(failure);
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
        priv->owned[1] = values_.release();
        if (n_buffers == 3) {
            priv->owned[2] = data_.release();
        }
    }
    validity_ = Buffer();
    data_room_ = 0;
    for (int k = 0; k < 3; ++k) {
        priv->buffers[k] = priv->owned[k];
    }
    out->length = length_;
    out->null_count = type == ColType::Null ? length_ : null_count_;
    out->offset = 0;
    out->n_buffers = n_buffers;
    out->n_children = 0;
    out->buffers = priv->buffers;
    out->children = nullptr;
    out->dictionary = nullptr;
    out->release = release_column;
    out->private_data = priv;
    length_ = 0;
    null_count_ = 0;
    has_validity_ = false;
    return true;
}

}  // namespace vantrel::arrow
