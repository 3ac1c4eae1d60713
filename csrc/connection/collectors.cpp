#include "collectors.h"

#include "bodies.h"
#include "pyutil.h"
#include "reader.h"
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

// A body of the stream's own kind goes straight into the result, with no
// decoded body in between, when nothing observable would tell: the reader is
// the class's own, unpack_one as looked up for this packet is the native
// codec's, the serializer is MSGPACK (as that unpack_one reads it) and the
// message type a plain int.  `straight(data, size)` decodes the body into
// the result: 1 done, 0 not possible (the result as before), -1 error.
// Returns 1 when the body went straight, 0 when it is to be decoded as the
// reader does (p.body, p.cm may have been replaced by the expanded body and
// NONE), -1 with an error set.
template <typename Straight>
int try_straight(ModuleState& ms, RawPacket& p, PyObject* decoder, PyObject* kind, Straight&& straight) {
    if (decoder != ms.native_unpack_one || decoder == nullptr || !PyBytes_CheckExact(p.body.get()) ||
        !PyLong_CheckExact(p.mt.get()) || !PyLong_Check(p.st.get())) {
        return 0;
    }
    int overflow = 0;
    if (PyLong_AsLongLongAndOverflow(p.st.get(), &overflow) != 2 || overflow != 0) {  // MSGPACK
        return 0;
    }
    int own_kind = is_type(p.mt.get(), kind);
    if (own_kind <= 0) {
        return own_kind;
    }
    Ref data = expanded_body(ms, p.body.get(), p.cm.get());
    if (!data) {
        // The decoder, given the body, fails the same way.
        return PyErr_ExceptionMatches(PyExc_Exception) ? (PyErr_Clear(), 0) : -1;
    }
    if (data.get() != p.body.get()) {
        // Only the expansion is kept; decoding it again needs no expanding.
        p.body = std::move(data);
        p.cm = Ref::new_ref(ms.int_0);
        if (!PyBytes_CheckExact(p.body.get())) {
            return 0;
        }
    }
    return straight(PyBytes_AS_STRING(p.body.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(p.body.get())));
}

// The next packet of a stream: 1 with msg_type and body set, as
// self._read_one_packet() gives them; 0 when its body went straight into the
// result (see try_straight); -1 with an error set.
template <typename Straight>
int next_packet(ModuleState& ms, PyObject* self, PyObject* kind, Straight&& straight, Ref& msg_type, Ref& body) {
    Ref reader = getattr(self, ms._read_one_packet);
    if (!reader) {
        return -1;
    }
    if (!is_own_reader(reader.get(), self)) {
        Ref packet = call(reader.get());
        Ref fields[2];
        if (!packet || !unpack_exact(packet.get(), 2, fields)) {
            return -1;
        }
        msg_type = std::move(fields[0]);
        body = std::move(fields[1]);
        return 1;
    }
    reader.reset();
    RawPacket p;
    if (!read_raw_packet(ms, self, p)) {
        return -1;
    }
    Ref decoder;
    if (p.body) {
        decoder = lookup_global(ms.unpack_one);
        if (!decoder) {
            return -1;
        }
        int done = try_straight(ms, p, decoder.get(), kind, straight);
        if (done != 0) {
            return done > 0 ? 0 : -1;
        }
    }
    return finish_packet(ms, p, decoder.get(), msg_type, body) ? 1 : -1;
}

// Reads the packets that follow the first one, through STREAM_END.  Each body
// of the stream's own kind goes straight into the result or, decoded, to
// on_body; any other message type ends the call with
// ProtocolError(unexpected_fmt.format(MSG_TYPE[msg_type])).  The body of
// STREAM_END is not looked at.
template <typename OnBody, typename Straight>
bool read_stream(ModuleState& ms, PyObject* self, PyObject* kind, const char* unexpected_fmt, OnBody&& on_body,
                 Straight&& straight) {
    for (;;) {
        Ref msg_type, body;
        int got = next_packet(ms, self, kind, straight, msg_type, body);
        if (got <= 0) {
            if (got < 0) {
                return false;
            }
            continue;
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

// Straight decoding of the items of a body into `out` (feeds, table2s).
auto items_into(ModuleState& ms, PyObject* out) {
    return [&ms, out](const char* data, std::size_t size) {
        return decode_straight(out, [&] { return append_items(ms.objects, data, size, out); });
    };
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
    if (!read_stream(*ms, self, ms->FEED, "unexpected message in feed stream: %U", on_body, items_into(*ms, out))) {
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
    auto straight = [ms, out, &rows](const char* data, std::size_t size) {
        return decode_straight(out, [&] { return append_rows(ms->objects, data, size, rows, out); });
    };
    if (!on_body(rows_of_first.get()) ||
        !read_stream(*ms, self, ms->TABLE, "unexpected message in table stream: %U", on_body, straight)) {
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
    if (!on_body(rest.get()) || !read_stream(*ms, self, ms->TABLE2, "unexpected message in table2 stream: %U",
                                             on_body, items_into(*ms, out))) {
        return nullptr;
    }
    return PyTuple_Pack(2, head.get(), data.get());
}

}  // namespace vantrel
