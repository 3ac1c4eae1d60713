// Building one table row: dict(zip(keys, row)), fast.
#pragma once

#include "dict_entries.h"
#include "ref.h"

namespace vantrel {

// A row dictionary filled in place: a copy of the prepared dictionary of the
// keys whose values are put in one by one as they are decoded.  The copy is
// kept from the garbage collector until it is whole, so no code run meanwhile
// (a collection's callbacks) can reach it.
struct DirectRow {
    Ref dict;
    DictEntries entries;
    bool track = false;
    // No code can have run since the copy was asked for: no collection could
    // start in its allocation, and the caller has made only values that run
    // none (numbers, strings, None, booleans).  The caller clears it for any
    // other value.
    bool quiet = false;

    // The next value (taken over, the values going in in order) in place of
    // the template's None.
    void put(PyObject* value) noexcept {
        put_plain(value);
        track |= needs_tracking(value);
    }
    // The same for an int, float, str, bool or None, which the collector
    // never tracks.
    void put_plain(PyObject* value) noexcept {
        PyObject* old = *next;
        *next = value;
        next += entries.stride;
        Py_DECREF(old);
    }

    PyObject** next = nullptr;  // the entry of the next value
};

// Turns rows into dictionaries exactly as dict(zip(keys, row)) does: entries
// in header order, pairs up to the shorter of header and row, a repeated key
// at its first position with its last value.
//
// Lists and tuples of rows and keys take a direct path.  When every key is a
// str, a row that covers the whole header starts from a copy of a prepared
// dictionary of the keys and only has its values replaced, which spares the
// insertions and the resizing of a new dictionary; where the dictionary's
// layout is known (dict_entries.h), the values go straight into its entries.
class RowBuilder {
public:
    // `keys` is kept alive by the caller for the builder's lifetime.
    explicit RowBuilder(PyObject* keys) noexcept : keys_(keys) {}
    RowBuilder(const RowBuilder&) = delete;
    RowBuilder& operator=(const RowBuilder&) = delete;

    // out.append(dict(zip(keys, row)))
    bool append_to(PyObject* out, PyObject* row);

    // The same for the row list(values[0:n]), made only where the prepared
    // dictionary does not apply.  The values may be taken over (left empty).
    bool append_values(PyObject* out, Ref* values, Py_ssize_t n);

    // A row of exactly n values whose values go straight into a copy of the
    // prepared dictionary (put() them in order, then close_row()).  False
    // when that does not apply (the caller collects the values for
    // append_values instead), or with an error set.
    bool open_row(Py_ssize_t n, DirectRow& row);
    // out.append(the filled row).  Made again from its values if the keys
    // changed while they were decoded.  `keys_checked`: the keys were found
    // unchanged at the end of an earlier row, and only quiet rows were made
    // since (the caller's to clear otherwise): a quiet row then needs no
    // check.  Set when this row's keys were checked.
    bool close_row(PyObject* out, DirectRow& row, bool& keys_checked);

private:
    Ref build(PyObject* row);
    template <typename Size, typename Value, typename Take>
    Ref from_template(PyObject* keys, Size&& row_size, Value&& value, Take&& take);
    Ref build_from_sequences(PyObject* keys, PyObject* row);
    Ref build_general(PyObject* row);
    // The prepared dictionary for the current keys, or NULL when the keys do
    // not allow one (an error may then be set).
    PyObject* prepared(PyObject* keys);
    bool copy_entries(PyObject* dict, Py_ssize_t n, DictEntries& entries) const noexcept;
    // The keys are still those the template was made from.
    bool template_fits(PyObject* keys) const noexcept;

    PyObject* keys_;
    Ref template_;     // {key: None for key in keys}
    Ref snapshot_;     // tuple of the keys the template was made from
    bool no_template_ = false;
    bool direct_ = false;  // copies of the template take values in their entries
    DictEntries template_entries_;  // the template's, where direct_
};

}  // namespace vantrel
