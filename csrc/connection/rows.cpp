#include "rows.h"

#include <utility>

#include "dict_entries.h"
#include "sequence.h"

namespace vantrel {

// Any allocation of a tracked object can start a garbage collection on
// CPython 3.11 and older, and with it arbitrary Python code (gc callbacks,
// finalizers, weakref callbacks) that may change the keys or the row.  So no
// size or borrowed item is kept across an allocation: sizes are read afresh,
// and a template copied over changed keys or a shrunk row is not used.

bool RowBuilder::template_fits(PyObject* keys) const noexcept {
    PyObject* snap = snapshot_.get();
    Py_ssize_t n = PyTuple_GET_SIZE(snap);
    if (seq_size(keys) != n) {
        return false;
    }
    PyObject** now = PySequence_Fast_ITEMS(keys);  // an exact list or tuple
    PyObject** then = PySequence_Fast_ITEMS(snap);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (now[i] != then[i]) {
            return false;
        }
    }
    return true;
}

// The entries of a fresh copy of the template, of n keys.
bool RowBuilder::copy_entries(PyObject* dict, Py_ssize_t n, DictEntries& entries) const noexcept {
    return template_entries_.count == n && copied_entries(dict, template_.get(), template_entries_, entries);
}

PyObject* RowBuilder::prepared(PyObject* keys) {
    if (template_) {
        if (template_fits(keys)) {
            return template_.get();
        }
        template_.reset();
        snapshot_.reset();
    }
    Ref snap = Ref::steal(PySequence_Tuple(keys));
    if (!snap) {
        return nullptr;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(snap.get());
    if (n == 0) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(snap.get(), i))) {
            no_template_ = true;  // keys with hashing of their own: no shortcut
            return nullptr;
        }
    }
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(snap.get(), i), Py_None) < 0) {
            return nullptr;
        }
    }
    direct_ = kEntriesKnown && entries_are_template(dict.get(), snap.get()) &&
              dict_entries(dict.get(), template_entries_);
    template_ = std::move(dict);
    snapshot_ = std::move(snap);
    return template_.get();
}

// A copy of the template with the row's values put in: value(i) for each
// key, the row being of row_size() values (read afresh).  take(i) gives value
// i as a new reference of its own (the row's may be handed over).  Empty
// without an error when the template does not apply.
template <typename Size, typename Value, typename Take>
Ref RowBuilder::from_template(PyObject* keys, Size&& row_size, Value&& value, Take&& take) {
    if (no_template_ || seq_size(keys) == 0 || row_size() < seq_size(keys)) {
        return {};
    }
    // A template already made is checked against the keys once, after the
    // copy; a new one is made from the keys as they are.
    PyObject* proto = template_ ? template_.get() : prepared(keys);
    if (proto == nullptr) {
        return {};
    }
    Ref dict = Ref::steal(PyDict_Copy(proto));
    if (!dict) {
        return {};
    }
    // The allocations above may have run code: check keys and row again.
    Py_ssize_t n = PyTuple_GET_SIZE(snapshot_.get());
    if (!template_fits(keys)) {
        template_.reset();  // made again from the keys of the next row
        snapshot_.reset();
        return {};
    }
    if (row_size() < n) {
        return {};
    }
    // From here no code runs: every key is a str already in the dict, and
    // each value replaces None or a value the row still holds.
    DictEntries entries;
    if (direct_ && copy_entries(dict.get(), n, entries)) {
        PyObject* d = dict.get();
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* v = take(i);
            PyObject* old = std::exchange(entries.value(i), v);
            Py_DECREF(old);  // None, from the template
            track_for(d, v);
        }
        return dict;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyDict_SetItem(dict.get(), seq_item(keys, i), value(i)) < 0) {
            return {};
        }
    }
    return dict;
}

Ref RowBuilder::build_from_sequences(PyObject* keys, PyObject* row) {
    Ref dict = from_template(
        keys, [row] { return seq_size(row); }, [row](Py_ssize_t i) { return seq_item(row, i); },
        [row](Py_ssize_t i) { return Ref::new_ref(seq_item(row, i)).release(); });
    if (dict || PyErr_Occurred()) {
        return dict;
    }
    dict = Ref::steal(PyDict_New());
    if (!dict) {
        return {};
    }
    for (Py_ssize_t i = 0; i < seq_size(keys) && i < seq_size(row); ++i) {
        Ref key = Ref::new_ref(seq_item(keys, i));
        Ref value = Ref::new_ref(seq_item(row, i));
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
            return {};
        }
    }
    return dict;
}

// zip(keys, row) step by step: a key is taken before its value, and the
// pairing stops at the first exhausted side.
Ref RowBuilder::build_general(PyObject* row) {
    Ref key_iter = Ref::steal(PyObject_GetIter(keys_));
    if (!key_iter) {
        return {};
    }
    Ref row_iter = Ref::steal(PyObject_GetIter(row));
    if (!row_iter) {
        return {};
    }
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return {};
    }
    for (;;) {
        Ref key = Ref::steal(PyIter_Next(key_iter.get()));
        if (!key) {
            break;
        }
        Ref value = Ref::steal(PyIter_Next(row_iter.get()));
        if (!value) {
            break;
        }
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
            return {};
        }
    }
    if (PyErr_Occurred()) {
        return {};
    }
    return dict;
}

Ref RowBuilder::build(PyObject* row) {
    if (is_seq(keys_) && is_seq(row)) {
        return build_from_sequences(keys_, row);
    }
    return build_general(row);
}

bool RowBuilder::append_to(PyObject* out, PyObject* row) {
    Ref dict = build(row);
    return dict && PyList_Append(out, dict.get()) == 0;
}

bool RowBuilder::open_row(Py_ssize_t n, DirectRow& row) {
    if (!kEntriesKnown || no_template_ || !is_seq(keys_) || n == 0 || seq_size(keys_) != n) {
        return false;
    }
    bool quiet = !compat::collection_may_start();
    PyObject* proto = template_.get();
    if (proto == nullptr) {
        proto = prepared(keys_);  // its allocations may run code
        quiet = false;
    }
    if (proto == nullptr || !direct_) {
        return false;
    }
    // Code run from here on (by an allocation) may change the keys:
    // close_row() checks them once the row is whole.
    Ref dict = Ref::steal(PyDict_Copy(proto));
    if (!dict) {
        return false;
    }
    DictEntries entries;
    if (!copy_entries(dict.get(), n, entries)) {
        return false;
    }
    if (PyObject_GC_IsTracked(dict.get())) {
        PyObject_GC_UnTrack(dict.get());  // until it is whole
        row.track = true;
    } else {
        row.track = false;
    }
    row.dict = std::move(dict);
    row.entries = entries;
    row.next = &entries.value(0);
    row.quiet = quiet;
    return true;
}

bool RowBuilder::close_row(PyObject* out, DirectRow& row, bool& keys_checked) {
    Ref dict = std::move(row.dict);
    // A quiet row after a check needs none: no code ran since.
    if (!row.quiet || !keys_checked) {
        keys_checked = template_fits(keys_);
        if (!keys_checked) {
            // Code run while the values were decoded changed the keys: the
            // row is paired with the keys as they are now.
            template_.reset();
            snapshot_.reset();
            Py_ssize_t n = row.entries.count;
            Ref values = Ref::steal(PyList_New(n));
            if (!values) {
                return false;
            }
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyList_SET_ITEM(values.get(), i, Ref::new_ref(row.entries.value(i)).release());
            }
            dict.reset();
            return append_to(out, values.get());
        }
    }
    if (row.track) {
        PyObject_GC_Track(dict.get());
    }
    return PyList_Append(out, dict.get()) == 0;
}

bool RowBuilder::append_values(PyObject* out, Ref* values, Py_ssize_t n) {
    if (is_seq(keys_)) {
        Ref dict = from_template(
            keys_, [n] { return n; }, [values](Py_ssize_t i) { return values[i].get(); },
            [values](Py_ssize_t i) { return values[i].release(); });
        if (dict) {
            return PyList_Append(out, dict.get()) == 0;
        }
        if (PyErr_Occurred()) {
            return false;
        }
    }
    Ref row = Ref::steal(PyList_New(n));
    if (!row) {
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyList_SET_ITEM(row.get(), i, Ref::new_ref(values[i].get()).release());
    }
    return append_to(out, row.get());
}

}  // namespace vantrel
