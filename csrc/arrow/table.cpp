#include "table.h"

#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <unordered_map>

#include "column.h"
#include "sources.h"

// The module is built without C++ exceptions (see ref.h): the standard
// containers here (one entry per column) would end the process if memory ran
// out while they grow.  The sources refuse a header row before they keep it
// unless its columns fit (width.h: at most kMaxColumns, and the memory for
// them had at that moment); the column buffers, which hold the data, report
// a failed allocation themselves.

namespace vantrel::arrow {

using msgpack::Item;
using msgpack::Kind;

namespace {

constexpr std::uint32_t kAlways = std::numeric_limits<std::uint32_t>::max();

bool no_memory(Failure& failure) { return failure.set(FailureKind::NoMemory, "out of memory"); }

// The type a value asks for, or Unknown for None and values of no type.
ColType type_of(const Item& item) noexcept {
    switch (item.kind) {
        case Kind::Bool: return ColType::Bool;
        case Kind::UInt: return item.u > static_cast<std::uint64_t>(INT64_MAX) ? ColType::UInt64 : ColType::Int64;
        case Kind::Int: return ColType::Int64;
        case Kind::Float: return ColType::Float64;
        case Kind::Str: return ColType::Utf8;
        case Kind::Bin: return ColType::Binary;
        case Kind::Ext: return item.ext_type == kTimestampExt ? ColType::Timestamp : ColType::Unknown;
        case Kind::Nil:
        case Kind::Array:
        case Kind::Map: break;
    }
    return ColType::Unknown;
}

bool is_int(ColType t) noexcept { return t == ColType::Int64 || t == ColType::UInt64; }

// Widens the column's type by one value; false when the value cannot share
// the column with the values seen before it.  (Whether each value fits the
// type settled is the build's to say: an int without an exact double in a
// double column, a negative int in a uint64 one.)
bool infer_value(Field& field, const Item& item, std::int64_t row, Failure& failure) {
    if (item.kind == Kind::Nil) {
        return true;
    }
    if (item.kind == Kind::Array || item.kind == Kind::Map) {
        return failure.set(FailureKind::Column,
                           at_cell(field, row) + "nested values (" + value_name(item) + ") are not supported");
    }
    if (item.kind == Kind::Ext && item.ext_type != kTimestampExt) {
        return failure.set(FailureKind::Column, at_cell(field, row) + "extension values (type " +
                                                    std::to_string(item.ext_type) + ") are not supported");
    }
    if (huge_int(item)) {
        return failure.set(FailureKind::Column,
                           at_cell(field, row) + value_text(item) + " is outside the int64 and uint64 ranges");
    }
    const ColType t = type_of(item);
    const ColType was = field.type;
    if (was == t) {
        return true;
    }
    if (was == ColType::Unknown) {
        field.set_type(t);
        return true;
    }
    if (is_int(was) && is_int(t)) {
        if (t == ColType::Int64 && (item.kind == Kind::UInt || item.i >= 0)) {
            return true;  // a small positive int in a uint64 column
        }
        if (t == ColType::UInt64) {
            field.set_type(ColType::UInt64);  // no negative int may come before or after it
            return true;
        }
        return failure.set(FailureKind::Column,
                           at_cell(field, row) + value_text(item) + " is outside the uint64 range");
    }
    if ((is_int(was) && t == ColType::Float64) || (was == ColType::Float64 && is_int(t))) {
        field.set_type(ColType::Float64);
        return true;
    }
    if ((was == ColType::Utf8 && t == ColType::Binary) || (was == ColType::Binary && t == ColType::Utf8)) {
        field.set_type(ColType::Binary);  // strs as their UTF-8 bytes
        return true;
    }
    return failure.set(FailureKind::Column, at_cell(field, row) + value_text(item) + " after " +
                                                type_name(field.spec) +
                                                " values (mixed types; arrow_schema= can fix the column's type)");
}

// -- export -----------------------------------------------------------------------

struct SchemaPrivate {
    std::string name;
    std::string format;
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> pointers;
    ArrowSchema dictionary{};  // a dictionary column's values
};

void release_schema(ArrowSchema* schema) {
    auto* priv = static_cast<SchemaPrivate*>(schema->private_data);
    for (ArrowSchema* child : priv->pointers) {
        if (child->release != nullptr) {
            child->release(child);
        }
    }
    if (priv->dictionary.release != nullptr) {
        priv->dictionary.release(&priv->dictionary);
    }
    delete priv;
    schema->release = nullptr;
}

struct BatchPrivate {
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> pointers;
    const void* buffers[1] = {nullptr};
};

void release_batch(ArrowArray* array) {
    auto* priv = static_cast<BatchPrivate*>(array->private_data);
    for (ArrowArray* child : priv->pointers) {
        if (child->release != nullptr) {
            child->release(child);
        }
    }
    delete priv;
    array->release = nullptr;
}

void fill_schema(ArrowSchema* out, SchemaPrivate* priv, std::int64_t flags) {
    out->format = priv->format.c_str();
    out->name = priv->name.c_str();
    out->metadata = nullptr;
    out->flags = flags;
    out->n_children = static_cast<std::int64_t>(priv->pointers.size());
    out->children = priv->pointers.empty() ? nullptr : priv->pointers.data();
    out->dictionary = priv->dictionary.release != nullptr ? &priv->dictionary : nullptr;
    out->release = release_schema;
    out->private_data = priv;
}

}  // namespace

bool Table::typed() const noexcept {
    for (const Field& f : fields_) {
        if (f.type == ColType::Unknown) {
            return false;
        }
    }
    return true;
}

bool Table::set_schema(std::vector<Field> fields, Failure& failure) {
    std::unordered_map<std::string, int> seen;
    for (const Field& f : fields) {
        if (!seen.emplace(f.name, 0).second) {
            return failure.set(FailureKind::Column, "the schema names the column '" + f.name + "' twice");
        }
    }
    fields_ = std::move(fields);
    fixed_ = true;
    return true;
}

bool Table::set_header(std::vector<std::string> header, [[maybe_unused]] Failure& failure) {
    const std::size_t n = header.size();
    std::unordered_map<std::string, std::int32_t> index;
    if (fixed_) {
        for (std::size_t k = 0; k < fields_.size(); ++k) {
            index.emplace(fields_[k].name, static_cast<std::int32_t>(k));
        }
    }
    column_of_.assign(n, -1);
    last_use_.assign(n, kAlways);
    std::unordered_map<std::string, std::uint32_t> last_position;
    for (std::size_t p = 0; p < n; ++p) {
        auto found = index.find(header[p]);
        if (found != index.end()) {
            column_of_[p] = found->second;
        } else if (!fixed_) {
            auto c = static_cast<std::int32_t>(fields_.size());
            Field field;
            field.name = header[p];
            fields_.push_back(std::move(field));
            index.emplace(header[p], c);
            column_of_[p] = c;
        }
        auto [it, fresh] = last_position.emplace(header[p], static_cast<std::uint32_t>(p));
        if (!fresh) {
            last_use_[it->second] = static_cast<std::uint32_t>(p);
            it->second = static_cast<std::uint32_t>(p);
        }
    }
    // Every header position its own column and every column in the header.
    full_rows_ = n == fields_.size();
    for (std::size_t p = 0; p < n; ++p) {
        full_rows_ = full_rows_ && column_of_[p] >= 0 && last_use_[p] == kAlways;
    }
    in_order_ = full_rows_;
    for (std::size_t p = 0; p < n; ++p) {
        in_order_ = in_order_ && column_of_[p] == static_cast<std::int32_t>(p);
    }
    return true;
}

template <typename Source>
bool Table::infer_rows(Source& source, std::int64_t rows, Failure& failure) {
    Item item;
    const auto width = static_cast<std::uint32_t>(column_of_.size());
    const std::int32_t* column_of = column_of_.data();
    const std::uint32_t* last_use = last_use_.data();
    Field* fields = fields_.data();
    for (std::int64_t r = 0; r < rows; ++r) {
        const std::int64_t rowno = rows_inferred_ + r;
        std::uint32_t len = 0;
        if (!source.row(rowno, len, failure)) {
            return false;
        }
        const bool full = len == width && full_rows_;  // a value for each column, none to skip
        for (std::uint32_t p = 0; p < len; ++p) {
            if (full || (p < width && column_of[p] >= 0 && len <= last_use[p])) {
                Field& field = fields[column_of[p]];
                if constexpr (std::is_same_v<Source, MsgpackSource>) {
                    // The usual value: of the type the column already has.
                    if (source.pass_if_same(field.type)) {
                        continue;
                    }
                }
                if (!source.value(item, failure) || !infer_value(field, item, rowno, failure)) {
                    return false;
                }
            } else if (!source.skip(failure)) {
                return false;
            }
        }
    }
    rows_inferred_ += rows;
    return source.close(failure);
}

template <typename Source>
bool Table::begin(Source& source, bool& typed, Failure& failure) {
    std::vector<std::string> header;
    std::int64_t rows = 0;
    if (!source.open(true, &header, rows, failure) || !set_header(std::move(header), failure)) {
        return false;
    }
    started_ = true;
    if (!fixed_ && !begin_typing(source, rows, failure)) {
        return false;
    }
    typed = this->typed();
    return true;
}

// Types the columns from the first body's rows.  A MessagePack body is
// built into its batch meanwhile, the types settled as its values come
// (a column of None so far takes the type of its first value, an int64 one
// becomes double at its first float); a body that fails there, for
// whatever reason, is walked again by the inference alone, which fails
// where it must (its build then fails in the stream, as any body's does).
template <typename Source>
bool Table::begin_typing(Source& source, std::int64_t rows, Failure& failure) {
    if constexpr (std::is_same_v<Source, MsgpackSource>) {
        if (start_columns(first_, rows, failure) && fill<true>(source, first_, rows, 0, failure) &&
            source.close(failure)) {
            first_types_.clear();
            first_types_.reserve(fields_.size());
            for (const Field& f : fields_) {
                first_types_.push_back(f.type);
            }
            first_rows_ = rows;
            first_built_ = true;
            rows_inferred_ = rows;
            return true;
        }
        drop_first();
        failure = Failure();
        for (Field& f : fields_) {
            f.set_type(ColType::Unknown);
        }
        source.restart();
        if (!source.open(true, nullptr, rows, failure)) {
            return false;
        }
    }
    return infer_rows(source, rows, failure);
}

template <typename Source>
bool Table::infer(Source& source, bool& typed, Failure& failure) {
    std::int64_t rows = 0;
    if (!source.open(false, nullptr, rows, failure) || !infer_rows(source, rows, failure)) {
        return false;
    }
    typed = this->typed();
    return true;
}

void Table::freeze() noexcept {
    for (Field& f : fields_) {
        if (f.type == ColType::Unknown) {
            f.set_type(ColType::Null);
        }
    }
}

bool Table::first_ready() const noexcept {
    if (!first_built_) {
        return false;
    }
    for (std::size_t k = 0; k < fields_.size(); ++k) {
        const ColType was = first_types_[k] == ColType::Unknown ? ColType::Null : first_types_[k];
        const ColType now = fields_[k].type == ColType::Unknown ? ColType::Null : fields_[k].type;
        if (was != now) {
            return false;
        }
    }
    return true;
}

bool Table::take_first(ArrowArray* out, Failure& failure) {
    const bool ok = export_batch(first_, first_rows_, out, failure);
    if (ok) {
        rows_built_ += first_rows_;
    }
    drop_first();
    return ok;
}

void Table::drop_first() noexcept {
    first_.clear();
    first_types_.clear();
    first_rows_ = 0;
    first_built_ = false;
}

bool Table::start_columns(std::vector<ColumnBuilder>& columns, std::int64_t rows, Failure& failure) const {
    columns.clear();
    columns.reserve(fields_.size());
    for (const Field& f : fields_) {
        columns.emplace_back(f);
    }
    for (ColumnBuilder& c : columns) {
        if (!c.begin(rows, failure)) {
            return false;
        }
    }
    return true;
}

// The rows of a body into the columns.  Typing: the columns' types are being
// inferred from these values (first body, no schema): a value of another
// type than its column's goes through the inference first, which may change
// the column's type (the builder follows) or refuse the value.
//
// Flattened: the reader's next() and the builders' appends are inlined into
// the loop over the values, the hot path of the whole module.
template <bool Typing, typename Source>
[[gnu::flatten]] bool Table::fill(Source& source, std::vector<ColumnBuilder>& columns, std::int64_t rows,
                                  std::int64_t base, Failure& failure) {
    Item item;
    const auto width = static_cast<std::uint32_t>(column_of_.size());
    const std::int32_t* column_of = column_of_.data();
    const std::uint32_t* last_use = last_use_.data();
    // MessagePack bytes: the position is this loop's own while values are
    // read straight into their columns, the source's otherwise.
    const unsigned char* cur = nullptr;
    const unsigned char* limit = nullptr;
    const unsigned char* end = nullptr;
    if constexpr (std::is_same_v<Source, MsgpackSource>) {
        cur = source.at();
        limit = source.limit();
        end = source.end();
    }
    auto to_source = [&] {
        if constexpr (std::is_same_v<Source, MsgpackSource>) {
            source.seek(cur);
        }
    };
    auto from_source = [&] {
        if constexpr (std::is_same_v<Source, MsgpackSource>) {
            cur = source.at();
        }
    };
    // One value into its column: straight from the bytes when it can be.
    auto put = [&](std::int32_t k, std::int64_t rowno) -> bool {
        ColumnBuilder& column = columns[static_cast<std::size_t>(k)];
        if constexpr (std::is_same_v<Source, MsgpackSource>) {
            bool ok = true;
            if (const unsigned char* next = MsgpackSource::direct(cur, limit, end, column, ok, failure)) {
                cur = next;
                return ok;
            }
        }
        to_source();
        if (!source.value(item, failure)) {
            return false;
        }
        from_source();
        if constexpr (Typing) {
            Field& field = fields_[static_cast<std::size_t>(k)];
            if (!infer_value(field, item, rowno, failure) ||
                (field.type != column.type() && !column.retype(base, failure))) {
                return false;
            }
        }
        return column.append(item, rowno, failure);
    };
    for (std::int64_t r = 0; r < rows; ++r) {
        const std::int64_t rowno = base + r;
        std::uint32_t len = 0;
        bool usual = false;
        if constexpr (std::is_same_v<Source, MsgpackSource>) {
            usual = MsgpackSource::usual_row(cur, end, len);
        }
        if (!usual) {
            to_source();
            if (!source.row(rowno, len, failure)) {
                return false;
            }
            from_source();
        }
        if (len == width && full_rows_) {
            // The usual row: one value for each column, nothing to skip or fill.
            if (in_order_) {
                for (std::uint32_t p = 0; p < len; ++p) {
                    if (!put(static_cast<std::int32_t>(p), rowno)) {
                        return false;
                    }
                }
                continue;
            }
            for (std::uint32_t p = 0; p < len; ++p) {
                if (!put(column_of[p], rowno)) {
                    return false;
                }
            }
            continue;
        }
        for (std::uint32_t p = 0; p < len; ++p) {
            if (p < width && column_of[p] >= 0 && len <= last_use[p]) {
                if (!put(column_of[p], rowno)) {
                    return false;
                }
            } else {
                to_source();
                if (!source.skip(failure)) {
                    return false;
                }
                from_source();
            }
        }
        for (ColumnBuilder& c : columns) {
            if (c.length() == r && !c.append_null(rowno, failure)) {
                return false;
            }
        }
    }
    to_source();
    return true;
}

template <typename Source>
bool Table::build(Source& source, bool first, ArrowArray* out, Failure& failure) {
    drop_first();  // (a body given instead of the one begin() built)
    std::int64_t rows = 0;
    std::vector<ColumnBuilder> columns;
    if (!source.open(first, nullptr, rows, failure) || !start_columns(columns, rows, failure) ||
        !fill<false>(source, columns, rows, rows_built_, failure) || !source.close(failure) ||
        !export_batch(columns, rows, out, failure)) {
        return false;
    }
    rows_built_ += rows;
    return true;
}

bool Table::export_batch(std::vector<ColumnBuilder>& columns, std::int64_t rows, ArrowArray* out,
                         Failure& failure) {
    const std::size_t ncols = columns.size();
    std::unique_ptr<BatchPrivate> priv(new (std::nothrow) BatchPrivate);
    if (!priv) {
        return no_memory(failure);
    }
    priv->children.resize(ncols);
    priv->pointers.resize(ncols);
    for (std::size_t k = 0; k < ncols; ++k) {
        priv->children[k].release = nullptr;
        priv->pointers[k] = &priv->children[k];
    }
    for (std::size_t k = 0; k < ncols; ++k) {
        if (!columns[k].finish(&priv->children[k], failure)) {
            ArrowArray tmp{};
            tmp.private_data = priv.release();
            release_batch(&tmp);
            return false;
        }
    }
    out->length = rows;
    out->null_count = 0;
    out->offset = 0;
    out->n_buffers = 1;
    out->n_children = static_cast<std::int64_t>(ncols);
    out->buffers = priv->buffers;
    out->children = ncols == 0 ? nullptr : priv->pointers.data();
    out->dictionary = nullptr;
    out->release = release_batch;
    out->private_data = priv.release();
    return true;
}

bool Table::export_schema(ArrowSchema* out, Failure& failure) const {
    const std::size_t ncols = fields_.size();
    std::unique_ptr<SchemaPrivate> top(new (std::nothrow) SchemaPrivate);
    if (!top) {
        return no_memory(failure);
    }
    top->children.resize(ncols);
    top->pointers.resize(ncols);
    for (std::size_t k = 0; k < ncols; ++k) {
        top->children[k].release = nullptr;
        top->pointers[k] = &top->children[k];
    }
    for (std::size_t k = 0; k < ncols; ++k) {
        auto* child = new (std::nothrow) SchemaPrivate;
        if (child == nullptr) {
            ArrowSchema tmp{};
            tmp.private_data = top.release();
            release_schema(&tmp);  // and the children made so far
            return no_memory(failure);
        }
        child->name = fields_[k].name;
        child->format = arrow_format(fields_[k].spec);  // (unknown still: null)
        if (fields_[k].type == ColType::Dictionary) {
            auto* values = new (std::nothrow) SchemaPrivate;
            if (values == nullptr) {
                delete child;
                ArrowSchema tmp{};
                tmp.private_data = top.release();
                release_schema(&tmp);
                return no_memory(failure);
            }
            values->format = std::string(1, 'u');
            fill_schema(&child->dictionary, values, ARROW_FLAG_NULLABLE);
        }
        fill_schema(&top->children[k], child, fields_[k].nullable ? ARROW_FLAG_NULLABLE : 0);
    }
    top->format = std::string("+s", 2);
    fill_schema(out, top.release(), 0);
    return true;
}

template bool Table::begin<MsgpackSource>(MsgpackSource&, bool&, Failure&);
template bool Table::begin<PythonSource>(PythonSource&, bool&, Failure&);
template bool Table::infer<MsgpackSource>(MsgpackSource&, bool&, Failure&);
template bool Table::infer<PythonSource>(PythonSource&, bool&, Failure&);
template bool Table::build<MsgpackSource>(MsgpackSource&, bool, ArrowArray*, Failure&);
template bool Table::build<PythonSource>(PythonSource&, bool, ArrowArray*, Failure&);

}  // namespace vantrel::arrow
