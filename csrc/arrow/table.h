// The columns of one table answer: their names and types, decided from the
// header row and the first rows (or fixed by a schema), and the building of
// one record batch per TABLE body.
//
// A row is matched to the header by position, as dict(zip(header, row))
// would match it: a short row leaves its trailing columns null, the extra
// values of a long row are dropped, and a name repeated in the header is one
// column holding the value of the name's last position within the row.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "abi.h"
#include "column.h"
#include "types.h"

namespace vantrel::arrow {

class Table {
public:
    // Fixes the columns (names, types, nullability) before the header is
    // seen: header names that are not among them are dropped, and columns
    // that the header lacks are null.
    bool set_schema(std::vector<Field> fields, Failure& failure);
    bool has_schema() const noexcept { return fixed_; }
    bool started() const noexcept { return started_; }

    // The first body: its header row, then rows whose values type the
    // columns.  An answer without a body (an empty stream) calls
    // begin_empty() instead.  Both return through `typed` whether every
    // column has a type now.
    template <typename Source>
    bool begin(Source& source, bool& typed, Failure& failure);
    void begin_empty() noexcept { started_ = true; }
    // A later body held back to type the columns that were all None so far.
    template <typename Source>
    bool infer(Source& source, bool& typed, Failure& failure);
    // Columns still without a type become null columns.
    void freeze() noexcept;

    // One record batch (a struct array) from one body.
    template <typename Source>
    bool build(Source& source, bool first, ArrowArray* out, Failure& failure);

    // The first body's batch, built by begin() while it typed the columns
    // (MessagePack bodies, no schema): whether it is there and its columns
    // still have the types it was built with; then its export (once), or
    // its drop.
    bool first_ready() const noexcept;
    bool take_first(ArrowArray* out, Failure& failure);
    void drop_first() noexcept;

    // The schema of the batches (a struct of the columns).
    bool export_schema(ArrowSchema* out, Failure& failure) const;

    const std::vector<Field>& fields() const noexcept { return fields_; }
    bool typed() const noexcept;

private:
    bool set_header(std::vector<std::string> header, Failure& failure);
    template <typename Source>
    bool infer_rows(Source& source, std::int64_t rows, Failure& failure);
    template <typename Source>
    bool begin_typing(Source& source, std::int64_t rows, Failure& failure);
    bool start_columns(std::vector<ColumnBuilder>& columns, std::int64_t rows, Failure& failure) const;
    template <bool Typing, typename Source>
    bool fill(Source& source, std::vector<ColumnBuilder>& columns, std::int64_t rows, std::int64_t base,
              Failure& failure);
    bool export_batch(std::vector<ColumnBuilder>& columns, std::int64_t rows, ArrowArray* out, Failure& failure);

    std::vector<Field> fields_;
    std::vector<std::int32_t> column_of_;  // header position -> field, or -1
    std::vector<std::uint32_t> last_use_;  // header position -> used when the row is shorter than this
    bool full_rows_ = false;  // a row as long as the header fills every column once
    bool in_order_ = false;   // ... and the value at position p goes to column p
    bool fixed_ = false;
    bool started_ = false;
    std::int64_t rows_inferred_ = 0;
    std::int64_t rows_built_ = 0;
    std::vector<ColumnBuilder> first_;  // the first body's batch, built while typing
    std::vector<ColType> first_types_;  // ... with these column types
    std::int64_t first_rows_ = 0;
    bool first_built_ = false;
};

}  // namespace vantrel::arrow
