#include "rows.h"

#include "sequence.h"

namespace vantrel {


PyObject* RowBuilder::prepared(PyObject* keys) {
    Py_ssize_t n = seq_size(keys);
    if (template_) {
        // Still the keys the template was made from?
        PyObject* snap = snapshot_.get();
        bool same = PyTuple_GET_SIZE(snap) == n;
        for (Py_ssize_t i = 0; same && i < n; ++i) {
            same = PyTuple_GET_ITEM(snap, i) == seq_item(keys, i);
        }
        if (same) {
            return template_.get();
        }
        template_.reset();
        snapshot_.reset();
    }
    if (n == 0) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyUnicode_CheckExact(seq_item(keys, i))) {
            no_template_ = true;  // keys with hashing of their own: no shortcut
            return nullptr;
        }
    }
    Ref snap = Ref::steal(PySequence_Tuple(keys));
    Ref dict = snap ? Ref::steal(PyDict_New()) : Ref();
    if (!dict) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(snap.get(), i), Py_None) < 0) {
            return nullptr;
        }
    }
    template_ = std::move(dict);
    snapshot_ = std::move(snap);
    return template_.get();
}

Ref RowBuilder::build_from_sequences(PyObject* keys, PyObject* row) {
    Py_ssize_t nkeys = seq_size(keys);
    if (!no_template_ && seq_size(row) >= nkeys && nkeys > 0) {
        PyObject* proto = prepared(keys);
        if (proto != nullptr) {
            Ref dict = Ref::steal(PyDict_Copy(proto));
            if (!dict) {
                return {};
            }
            // str keys: no code runs, the sizes cannot change underneath.
            for (Py_ssize_t i = 0; i < nkeys; ++i) {
                if (PyDict_SetItem(dict.get(), seq_item(keys, i), seq_item(row, i)) < 0) {
                    return {};
                }
            }
            return dict;
        }
        if (PyErr_Occurred()) {
            return {};
        }
    }
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return {};
    }
    for (Py_ssize_t i = 0; i < seq_size(keys) && i < seq_size(row); ++i) {
        Ref key = Ref::borrow(seq_item(keys, i));
        Ref value = Ref::borrow(seq_item(row, i));
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
            return {};
        }
    }
    return dict;
}

// zip(keys, row) step by step: a key is taken before its value, and the
// pairing stops at the first exhausted side.
Ref RowBuilder::build_general(Borrowed row) {
    Ref key_iter = Ref::steal(PyObject_GetIter(keys_));
    Ref row_iter = key_iter ? Ref::steal(PyObject_GetIter(row)) : Ref();
    Ref dict = row_iter ? Ref::steal(PyDict_New()) : Ref();
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

Ref RowBuilder::build(Borrowed row) {
    if (is_seq(keys_) && is_seq(row)) {
        return build_from_sequences(keys_, row);
    }
    return build_general(row);
}

bool RowBuilder::append_to(PyObject* out, Borrowed row) {
    Ref dict = build(row);
    return dict && PyList_Append(out, dict.get()) == 0;
}

}  // namespace vantrel
