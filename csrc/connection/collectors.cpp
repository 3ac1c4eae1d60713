#include "collectors.h"

#include "pyutil.h"
#include "rows.h"
#include "sequence.h"

namespace vantrel {

namespace {

// Calls visit(item) for each item of `items` in order, from index `start`:
// lists and tuples directly, anything else through the iterator protocol.
template <typename Visit>
bool for_each(Borrowed items, Py_ssize_t start, Visit&& visit) {
    PyObject* o = items.get();
    if (is_seq(o)) {
        for (Py_ssize_t i = start;; ++i) {
            if (i >= seq_size(o)) {
                return true;
            }
            Ref item = Ref::borrow(seq_item(o, i));
            if (!visit(item.borrowed())) {
                return false;
            }
        }
    }
    Ref it = Ref::steal(PyObject_GetIter(o));
    if (!it) {
        return false;
    }
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (!visit(item.borrowed())) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

// out.extend(items), through the list's own in-place concatenation (what
// `out += items` does): one resize and a copy for lists and tuples, the
// iterator protocol for anything else, the list's own errors.
bool extend(PyObject* out, Borrowed items) {
    Ref same = Ref::steal(PySequence_InPlaceConcat(out, items));
    return static_cast<bool>(same);
}

// first[1:]
Ref rest_of(Borrowed first) {
    return Ref::steal(PyObject_GetItem(first, state().slice_from_1));
}

// Visits first[1:] without copying lists and tuples.
template <typename Visit>
bool for_each_after_first(Borrowed first, Visit&& visit) {
    if (is_seq(first)) {
        return for_each(first, 1, visit);
    }
    Ref rest = rest_of(first);
    return rest && for_each(rest.borrowed(), 0, visit);
}

// Reads the packets that follow the first one, through STREAM_END.  Each body
// of the stream's own kind goes to on_body; any other message type ends the
// call with ProtocolError(unexpected_fmt.format(MSG_TYPE[msg_type])).  The
// body of STREAM_END is not looked at.
template <typename OnBody>
bool read_stream(Borrowed self, Borrowed kind, const char* unexpected_fmt, OnBody&& on_body) {
    ModuleState& st = state();
    for (;;) {
        Ref packet = call_method(st._read_one_packet, self);
        Ref fields[2];  // message type, decoded body
        if (!packet || !unpack_exact(packet.borrowed(), 2, fields)) {
            return false;
        }
        packet.reset();
        Ref end = global_member(st.MSG_TYPE, st.STREAM_END);
        int c = end ? compare(fields[0].borrowed(), end.borrowed(), Py_EQ) : -1;
        if (c != 0) {
            return c > 0;
        }
        Ref same_kind = global_member(st.MSG_TYPE, kind);
        c = same_kind ? compare(fields[0].borrowed(), same_kind.borrowed(), Py_EQ) : -1;
        if (c < 0) {
            return false;
        }
        if (c == 0) {
            return raise_unexpected(unexpected_fmt, fields[0].borrowed());
        }
        if (!on_body(fields[1].borrowed())) {
            return false;
        }
    }
}

PyObject* bind_first(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"first"};
    PyObject* first = nullptr;
    bind_args(func, names, 1, args, nargs, kwnames, &first);
    return first;
}

}  // namespace

// A feed: the items of every FEED body, in arrival order, in one list.
PyObject* connection_feed_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* first = bind_first("feed_unpack", args, nargs, kwnames);
    if (first == nullptr) {
        return nullptr;
    }
    Ref ret = Ref::steal(PySequence_List(first));
    if (!ret) {
        return nullptr;
    }
    PyObject* out = ret.get();
    if (!read_stream(self, state().FEED, "unexpected message in feed stream: %U",
                     [out](Borrowed body) { return extend(out, body); })) {
        return nullptr;  // the partial list is dropped
    }
    return ret.release();
}

// A table: one dict per row, the header row coming first in the first body.
PyObject* connection_table_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* first = bind_first("table_unpack", args, nargs, kwnames);
    if (first == nullptr) {
        return nullptr;
    }
    Ref ret = Ref::steal(PyList_New(0));
    Ref keys = ret ? Ref::steal(PyObject_GetItem(first, state().int_0)) : Ref();
    if (!keys) {
        return nullptr;
    }
    RowBuilder rows(keys.borrowed());
    PyObject* out = ret.get();
    auto add_row = [out, &rows](Borrowed row) { return rows.append_to(out, row); };
    if (!for_each_after_first(first, add_row) ||
        !read_stream(self, state().TABLE, "unexpected message in table stream: %U",
                     [&add_row](Borrowed body) { return for_each(body, 0, add_row); })) {
        return nullptr;
    }
    return ret.release();
}

// A table2: the pair (head, data), data being every further element of every
// TABLE2 body, unconverted, in one list.
PyObject* connection_table2_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* first = bind_first("table2_unpack", args, nargs, kwnames);
    if (first == nullptr) {
        return nullptr;
    }
    Ref data = Ref::steal(PyList_New(0));
    Ref head = data ? Ref::steal(PyObject_GetItem(first, state().int_0)) : Ref();
    if (!head) {
        return nullptr;
    }
    PyObject* out = data.get();
    Ref rest = rest_of(first);
    if (!rest || !extend(out, rest.borrowed()) || !read_stream(self, state().TABLE2, "unexpected message in table2 stream: %U",
                            [out](Borrowed body) { return extend(out, body); })) {
        return nullptr;
    }
    return PyTuple_Pack(2, head.get(), data.get());
}

}  // namespace vantrel
