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

// A body goes straight into the result, with no decoded body in between,
// only where nothing observable would tell: the reader is the class's own
// (the caller checks), unpack_one as looked up for this packet is the native
// codec's, the serializer is MSGPACK (as that unpack_one reads it) and the
// message type a plain int, compared without running code.
bool straight_candidate(ModuleState& ms, const RawPacket& p, PyObject* decoder) {
    if (decoder == nullptr || decoder != ms.native_unpack_one || !PyBytes_CheckExact(p.body.get()) ||
        !PyLong_CheckExact(p.mt.get()) || !PyLong_Check(p.st.get())) {
        return false;
    }
    int overflow = 0;
    return PyLong_AsLongLongAndOverflow(p.st.get(), &overflow) == 2 && overflow == 0;  // MSGPACK
}

// The body expanded as unpack_one would expand it, in place of the one read
// (and NONE as its compression, so that decoding it again expands nothing):
// ready, or to be decoded as the reader does, or an error set.
enum class Expanded { error, as_reader, ready };

Expanded expand(ModuleState& ms, RawPacket& p) {
    Ref data = expanded_body(ms, p.body.get(), p.cm.get());
    if (!data) {
        // The decoder, given the body, fails the same way.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return Expanded::error;
        }
        PyErr_Clear();
        return Expanded::as_reader;
    }
    if (data.get() != p.body.get()) {
        p.body = std::move(data);
        p.cm = Ref::new_ref(ms.int_0);
    }
    return PyBytes_CheckExact(p.body.get()) ? Expanded::ready : Expanded::as_reader;
}

// What became of a body offered to be decoded directly into the result: it
// was (taken), it is to be decoded as the reader does (as_reader), or an
// error is set.
enum class Take { error, as_reader, taken };

// decode_straight's 1 / 0 / -1 as a Take.
Take take_of(int done) { return done > 0 ? Take::taken : done == 0 ? Take::as_reader : Take::error; }

const char* body_data(const RawPacket& p) { return PyBytes_AS_STRING(p.body.get()); }
std::size_t body_size(const RawPacket& p) { return static_cast<std::size_t>(PyBytes_GET_SIZE(p.body.get())); }

// A packet of the stream's own `kind` that is a straight candidate goes to
// `straight(data, size)`, which decodes it into the result (a Take).
template <typename Straight>
Take try_straight(ModuleState& ms, RawPacket& p, PyObject* decoder, PyObject* kind, Straight&& straight) {
    if (!straight_candidate(ms, p, decoder)) {
        return Take::as_reader;
    }
    int own_kind = is_type(p.mt.get(), kind);
    if (own_kind <= 0) {
        return own_kind < 0 ? Take::error : Take::as_reader;
    }
    switch (expand(ms, p)) {
        case Expanded::error:
            return Take::error;
        case Expanded::as_reader:
            return Take::as_reader;
        case Expanded::ready:
            break;
    }
    return straight(body_data(p), body_size(p));
}

// msg_type, body = reader(), for a reader that is not the class's own.
bool call_reader(PyObject* reader, Ref& msg_type, Ref& body) {
    Ref packet = call(reader);
    Ref fields[2];
    if (!packet || !unpack_exact(packet.get(), 2, fields)) {
        return false;
    }
    msg_type = std::move(fields[0]);
    body = std::move(fields[1]);
    return true;
}

// The next packet through the connection's reader: Next::packet with
// msg_type and body set, as self._read_one_packet() gives them.  When that
// reader is the class's own, the packet is read raw and a body goes first to
// take(packet, decoder): when it takes the body this gives Next::taken.
template <typename Taker>
Next read_packet_with(ModuleState& ms, PyObject* self, Ref& msg_type, Ref& body, Taker&& take) {
    Ref reader = getattr(self, ms._read_one_packet);
    if (!reader) {
        return Next::error;
    }
    if (!is_own_method(reader.get(), self, FASTCALL_KW(connection_read_one_packet))) {
        return call_reader(reader.get(), msg_type, body) ? Next::packet : Next::error;
    }
    reader.reset();
    RawPacket p;
    if (!read_raw_packet(ms, self, p)) {
        return Next::error;
    }
    Ref decoder;
    if (p.body) {
        decoder = lookup_global(ms.unpack_one);
        if (!decoder) {
            return Next::error;
        }
        switch (take(p, decoder.get())) {
            case Take::error:
                return Next::error;
            case Take::taken:
                return Next::taken;
            case Take::as_reader:
                break;
        }
    }
    return finish_packet(ms, p, decoder.get(), msg_type, body) ? Next::packet : Next::error;
}

// The next packet of a stream: Next::packet with msg_type and body set, or
// Next::taken when its body went straight into the result (see try_straight).
template <typename Straight>
Next next_packet(ModuleState& ms, PyObject* self, PyObject* kind, Straight&& straight, Ref& msg_type, Ref& body) {
    return read_packet_with(ms, self, msg_type, body, [&](RawPacket& p, PyObject* decoder) {
        return try_straight(ms, p, decoder, kind, straight);
    });
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
        switch (next_packet(ms, self, kind, straight, msg_type, body)) {
            case Next::error:
                return false;
            case Next::taken:
                continue;
            case Next::packet:
                break;
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
        return take_of(decode_straight(out, [&] { return append_items(ms.objects, data, size, out); }));
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

// The packets of a table after its first, into `out`.
bool read_table_rest(ModuleState& ms, PyObject* self, RowBuilder& rows, PyObject* out) {
    auto add_row = [out, &rows](PyObject* row) { return rows.append_to(out, row); };
    auto on_body = [&add_row](PyObject* body) { return for_each(body, add_row); };
    auto straight = [&ms, out, &rows](const char* data, std::size_t size) {
        return take_of(decode_straight(out, [&] { return append_rows(ms.objects, data, size, rows, out); }));
    };
    return read_stream(ms, self, ms.TABLE, "unexpected message in table stream: %U", on_body, straight);
}

// A table whose first packet `p` (a straight candidate of type TABLE) execute
// has read: collected here, its first body going straight too, when the
// collector is the class's own table_unpack; else that body is decoded and
// handed to the collector, as execute does.
Ref table_from_first(ModuleState& ms, PyObject* self, RawPacket& p, PyObject* decoder) {
    Ref collector = getattr(self, ms.table_unpack);
    if (!collector) {
        return {};
    }
    if (is_own_method(collector.get(), self, FASTCALL_KW(connection_table_unpack))) {
        Expanded ready = expand(ms, p);
        if (ready == Expanded::error) {
            return {};
        }
        Ref keys = ready == Expanded::ready ? head_of(ms.objects, body_data(p), body_size(p)) : Ref();
        Ref out = keys ? Ref::steal(PyList_New(0)) : Ref();
        if (out) {
            RowBuilder rows(keys.get());
            int done = decode_straight(out.get(), [&] {
                return append_rows(ms.objects, body_data(p), body_size(p), rows, out.get(), true);
            });
            if (done < 0) {
                return {};
            }
            if (done > 0) {
                p.body.reset();  // not kept while the rest is read
                return read_table_rest(ms, self, rows, out.get()) ? std::move(out) : Ref();
            }
        } else if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                return {};
            }
            PyErr_Clear();
        }
    }
    Ref msg_type, first;
    if (!finish_packet(ms, p, decoder, msg_type, first)) {
        return {};
    }
    return call(collector.get(), first.get());
}

}  // namespace

Next read_stream_head(ModuleState& ms, PyObject* self, Ref& msg_type, Ref& body, Ref& result) {
    return read_packet_with(ms, self, msg_type, body, [&](RawPacket& p, PyObject* decoder) {
        // The collector is looked up before the body is decoded here: only
        // where that look-up runs no code of the class.
        if (!straight_candidate(ms, p, decoder) || Py_TYPE(self)->tp_getattro != PyObject_GenericGetAttr) {
            return Take::as_reader;
        }
        int c = is_type(p.mt.get(), ms.TABLE);
        if (c <= 0) {
            return c < 0 ? Take::error : Take::as_reader;
        }
        result = table_from_first(ms, self, p, decoder);
        return result ? Take::taken : Take::error;
    });
}

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
    auto add_row = [out = ret.get(), &rows](PyObject* row) { return rows.append_to(out, row); };
    if (!for_each(rows_of_first.get(), add_row) || !read_table_rest(*ms, self, rows, ret.get())) {
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
