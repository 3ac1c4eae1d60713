#include "collectors.h"

#include "pyutil.h"
#include "rows.h"
#include "sequence.h"

namespace vantrel {

namespace {

// Calls visit(item) for each item of `items`, in order: lists and tuples
// directly, anything else through the iterator protocol.  The size is read
// afresh and the item held at each step, since code run by visit (a key's
// hash, say) may change a list.
template <typename Visit>
bool for_each(PyObject* items, Visit&& visit) {
    if (is_seq(items)) {
        for (Py_ssize_t i = 0; i < seq_size(items); ++i) {
            Ref item = Ref::new_ref(seq_item(items, i));
            if (!visit(item.get())) {
                return false;
            }
        }
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(items));
    if (!it) {
        return false;
    }
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (!visit(item.get())) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

// out.extend(items), through the list's own in-place concatenation.
bool extend(PyObject* out, PyObject* items) {
    Ref same = Ref::steal(PySequence_InPlaceConcat(out, items));
    return static_cast<bool>(same);
}

// out.append(item) for each item of `items`: lists and tuples in one step,
// anything else item by item, never asked for its length.
bool append_each(PyObject* out, PyObject* items) {
    if (is_seq(items)) {
        return extend(out, items);
    }
    return for_each(items, [out](PyObject* item) { return PyList_Append(out, item) == 0; });
}

// first[0] and first[1:], each taken once, before anything else is done with
// first: what it holds later does not change the result.
bool split_first(ModuleState& ms, PyObject* first, Ref& head, Ref& rest) {
    head = Ref::steal(PyObject_GetItem(first, ms.int_0));
    if (!head) {
        return false;
    }
    rest = Ref::steal(PyObject_GetItem(first, ms.slice_from_1));
    return static_cast<bool>(rest);
}

// Reads the packets that follow the first one, through STREAM_END.  Each body
// of the stream's own kind goes to on_body; any other message type ends the
// call with ProtocolError(unexpected_fmt.format(MSG_TYPE[msg_type])).  The
// body of STREAM_END is not looked at.
template <typename OnBody>
bool read_stream(ModuleState& ms, PyObject* self, PyObject* kind, const char* unexpected_fmt, OnBody&& on_body) {
    for (;;) {
        Ref msg_type, body;
        if (!read_packet(self, msg_type, body)) {
            return false;
        }
        int c = is_type(msg_type.get(), ms.STREAM_END);
        if (c != 0) {
            return c > 0;
        }
        c = is_type(msg_type.get(), kind);
        if (c < 0) {
            return false;
        }
        if (c == 0) {
            return raise_unexpected(unexpected_fmt, msg_type.get());
        }
        if (!on_body(body.get())) {
            return false;
        }
    }
}

// The module state and the one argument `first`; NULL with the error set.
ModuleState* enter(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** first) {
    static const char* const names[] = {"first"};
    ModuleState* ms = entry_state();
    if (ms == nullptr || !bind_args(func, names, 1, args, nargs, kwnames, first)) {
        return nullptr;
    }
    return ms;
}

}  // namespace

// A feed: the items of every FEED body, in arrival order, in one list.
PyObject* connection_feed_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* first;
    ModuleState* ms = enter("feed_unpack", args, nargs, kwnames, &first);
    if (ms == nullptr) {
        return nullptr;
    }
    Ref ret = Ref::steal(PySequence_List(first));
    if (!ret) {
        return nullptr;
    }
    PyObject* out = ret.get();
    auto on_body = [out](PyObject* body) { return extend(out, body); };
    if (!read_stream(*ms, self, ms->FEED, "unexpected message in feed stream: %U", on_body)) {
        return nullptr;  // the partial list is dropped
    }
    return ret.release();
}

// A table: one dict per row, the header row coming first in the first body.
PyObject* connection_table_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* first;
    ModuleState* ms = enter("table_unpack", args, nargs, kwnames, &first);
    if (ms == nullptr) {
        return nullptr;
    }
    Ref ret = Ref::steal(PyList_New(0));
    Ref keys, rows_of_first;
    if (!ret || !split_first(*ms, first, keys, rows_of_first)) {
        return nullptr;
    }
    RowBuilder rows(keys.get());
    PyObject* out = ret.get();
    auto add_row = [out, &rows](PyObject* row) { return rows.append_to(out, row); };
    auto on_body = [&add_row](PyObject* body) { return for_each(body, add_row); };
    if (!on_body(rows_of_first.get()) ||
        !read_stream(*ms, self, ms->TABLE, "unexpected message in table stream: %U", on_body)) {
        return nullptr;
    }
    return ret.release();
}

// A table2: the pair (head, data), data being every further element of every
// TABLE2 body, unconverted, in one list.
PyObject* connection_table2_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* first;
    ModuleState* ms = enter("table2_unpack", args, nargs, kwnames, &first);
    if (ms == nullptr) {
        return nullptr;
    }
    Ref data = Ref::steal(PyList_New(0));
    Ref head, rest;
    if (!data || !split_first(*ms, first, head, rest)) {
        return nullptr;
    }
    PyObject* out = data.get();
    auto on_body = [out](PyObject* body) { return append_each(out, body); };
    if (!on_body(rest.get()) ||
        !read_stream(*ms, self, ms->TABLE2, "unexpected message in table2 stream: %U", on_body)) {
        return nullptr;
    }
    return PyTuple_Pack(2, head.get(), data.get());
}

}  // namespace vantrel
