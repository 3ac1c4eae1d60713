#include "execute.h"

#include "collectors.h"
#include "pyutil.h"
#include "reader.h"

namespace vantrel {

namespace {

// The request payload (method, args, kwargs): a tuple of the positional
// arguments after `method` and a new dict of the keyword arguments, bound as
// the interpreter binds execute(self, method, *args, **kwargs).
Ref build_payload(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* method = nargs > 0 ? args[0] : nullptr;
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) {
        return {};
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        bool is_method = PyUnicode_CompareWithASCIIString(key, "method") == 0;
        if (PyUnicode_CompareWithASCIIString(key, "self") == 0 || (is_method && method != nullptr)) {
            multiple_values_error("execute", is_method ? "method" : "self");
            return {};
        }
        if (is_method) {
            method = value;
        } else if (PyDict_SetItem(kwargs.get(), key, value) < 0) {
            return {};
        }
    }
    if (method == nullptr) {
        Ref name = shown_name("execute");
        if (name) {
            PyErr_Format(PyExc_TypeError, "%U() missing 1 required positional argument: 'method'", name.get());
        }
        return {};
    }
    Ref positional = Ref::steal(PyTuple_New(nargs > 0 ? nargs - 1 : 0));
    if (!positional) {
        return {};
    }
    for (Py_ssize_t i = 1; i < nargs; ++i) {
        PyTuple_SET_ITEM(positional.get(), i - 1, Ref::new_ref(args[i]).release());
    }
    return Ref::steal(PyTuple_Pack(3, method, positional.get(), kwargs.get()));
}

// Reads the answer to a request that was sent.
Ref read_answer(ModuleState& ms, PyObject* self) {
    Ref msg_type, body;
    if (!read_packet(self, msg_type, body)) {
        return {};
    }
    int c = is_type(msg_type.get(), ms.RESPONSE);
    if (c < 0) {
        return {};
    }
    if (c > 0) {
        return body;
    }
    c = is_type(msg_type.get(), ms.STREAM_START, Py_NE);
    if (c != 0) {
        if (c > 0) {
            raise_unexpected("got %U when STREAM_START expected", msg_type.get());
        }
        return {};
    }
    // A stream: the STREAM_START body is not looked at.
    Ref table;
    if (read_stream_head(ms, self, msg_type, body, table) != Next::packet) {
        return table;  // collected already, or empty with the error
    }
    c = is_type(msg_type.get(), ms.STREAM_END);
    if (c < 0) {
        return {};
    }
    if (c > 0) {
        return Ref::steal(PyList_New(0));
    }
    PyObject* const collectors[][2] = {
        {ms.TABLE, ms.table_unpack}, {ms.TABLE2, ms.table2_unpack}, {ms.FEED, ms.feed_unpack}};
    for (const auto& [member, collector] : collectors) {
        c = is_type(msg_type.get(), member);
        if (c < 0) {
            return {};
        }
        if (c > 0) {
            return call_method(collector, self, body.get());
        }
    }
    raise_unexpected("unexpected message in stream: %U", msg_type.get());
    return {};
}

// The answer was not read to its end, so what is left of it would be taken
// for the answer of the next call.  The socket is shut down both ways before
// the exception propagates: later requests fail at once with the socket's own
// error and the liveness check reports the connection as not normal.  A
// server error came in a whole ERROR packet that ended the answer: the
// connection stays at a packet boundary and in use.  The exception itself
// passes on unchanged; an error of the shutdown is dropped.
void put_out_of_use(ModuleState& ms, PyObject* sock) {
    Ref exc = fetch_exception();
    if (!exc) {
        return;
    }
    int server_error = PyObject_IsInstance(exc.get(), ms.server_error);
    if (server_error < 0) {
        PyErr_Clear();
    }
    if (server_error <= 0) {
        Ref done = call_method(ms.shutdown, sock, ms.int_shut_rdwr);
        if (!done) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                chain_to(exc.get());
                return;
            }
            PyErr_Clear();
        }
    }
    restore_exception(std::move(exc));
}

// time.monotonic(), in seconds.
bool monotonic(double& seconds) { return compat::monotonic(seconds); }

// A connection made by vantrel.connect bounds each call as a whole: the
// `limit` of its call life (`_call_life`; seconds, a float) puts a deadline
// on its socket for the span of the call, which the socket's reads honour.
// The bare connection has no call life.  1 when a deadline was set, 0 when
// none, -1 error.
int start_deadline(ModuleState& ms, PyObject* self, PyObject* sock) {
    Ref life;
    int found = optional_attr(self, ms._call_life, life);
    if (found <= 0) {
        return found;
    }
    Ref limit = getattr(life.get(), ms.limit);
    if (!limit) {
        return -1;
    }
    if (!PyFloat_CheckExact(limit.get())) {
        return 0;
    }
    double now;
    if (!monotonic(now)) {
        return -1;
    }
    Ref deadline = Ref::steal(PyFloat_FromDouble(now + PyFloat_AS_DOUBLE(limit.get())));
    if (!deadline || PyObject_SetAttr(sock, ms.deadline, deadline.get()) < 0) {
        return -1;
    }
    return 1;
}

// The deadline taken off again, whatever the call raised.
void end_deadline(ModuleState& ms, PyObject* sock) {
    Ref exc = fetch_exception();
    if (PyObject_SetAttr(sock, ms.deadline, Py_None) < 0) {
        PyErr_Clear();  // the socket set it a moment ago
    }
    restore_exception(std::move(exc));
}

// What a hook returned for the failure `exc` is raised in its place, with
// `exc` as its cause; `exc` itself when the hook returned it or no exception,
// and `exc` chained to the hook's own failure when the hook failed.
void raise_in_place_of(Ref exc, Ref replaced) {
    if (!replaced) {
        chain_to(exc.get());
        return;
    }
    if (replaced.get() == exc.get() || !PyExceptionInstance_Check(replaced.get())) {
        restore_exception(std::move(exc));
        return;
    }
    PyException_SetCause(replaced.get(), exc.release());
    restore_exception(std::move(replaced));
}

// A request that could not be packed: the failure becomes what
// vantrel.errors.encode_failed(namespace, payload, error) returns (an
// EncodeError naming the method and the argument), with the original as its
// cause.  Run only on that failure, so the packing of a call pays nothing.
void name_encode_failure(ModuleState& ms, PyObject* payload) {
    Ref exc = fetch_exception();
    if (!exc) {
        return;
    }
    Ref errors = Ref::steal(PyImport_ImportModule("vantrel.errors"));
    Ref helper = errors ? Ref::steal(PyObject_GetAttrString(errors.get(), "encode_failed")) : Ref{};
    Ref replaced = helper ? call(helper.get(), ms.module_dict, payload, exc.get()) : Ref{};
    raise_in_place_of(std::move(exc), std::move(replaced));
}

// One call: pack, send, read the answer.
Ref run_call(ModuleState& ms, PyObject* self, PyObject* payload) {
    Ref packet = pack_with_defaults(payload, ms.REQUEST, false);
    if (!packet) {
        name_encode_failure(ms, payload);
        return {};  // nothing was sent: the connection is as it was
    }
    Ref sock = getattr(self, ms._socket);
    if (!sock) {
        return {};
    }
    int timed = start_deadline(ms, self, sock.get());
    if (timed < 0) {
        return {};
    }
    Ref result;
    if (call_method(ms.sendall, sock.get(), packet.get())) {
        result = read_answer(ms, self);
    }
    if (!result) {
        put_out_of_use(ms, sock.get());
    }
    if (timed > 0) {
        end_deadline(ms, sock.get());
    }
    return result;
}

// A connection with a call life (`_call_life`, looked up only after a
// failure, so a call that succeeds pays nothing for it) raises the error its
// `call_failed(conn, error, method)` returns in place of the original, with
// the original as its cause.  The bare class has none, so its failures pass
// through unchanged.
void report_failure(ModuleState& ms, PyObject* self, PyObject* payload) {
    Ref exc = fetch_exception();
    if (!exc) {
        return;
    }
    Ref life;
    int found = optional_attr(self, ms._call_life, life);
    if (found <= 0) {
        if (found < 0) {
            chain_to(exc.get());
        } else {
            restore_exception(std::move(exc));
        }
        return;
    }
    Ref hook = getattr(life.get(), ms.call_failed);
    if (!hook) {
        chain_to(exc.get());
        return;
    }
    Ref replaced = call(hook.get(), self, exc.get(), PyTuple_GET_ITEM(payload, 0));
    raise_in_place_of(std::move(exc), std::move(replaced));
}

}  // namespace

// The mark of a call in progress on `conn`: its address in a set of the
// module state.  Marking is one step in which no Python code runs, so two
// threads can never both find the connection free.  close() during a call
// adds the address to a second set, close_asked, which the call's end looks
// at only when it is not empty.
Ref begin_call(ModuleState& ms, PyObject* conn) {
    Ref key = Ref::steal(PyLong_FromVoidPtr(conn));
    if (!key) {
        return {};
    }
    Py_ssize_t before = PySet_GET_SIZE(ms.calls_in_progress);
    if (PySet_Add(ms.calls_in_progress, key.get()) < 0) {
        return {};
    }
    if (PySet_GET_SIZE(ms.calls_in_progress) == before) {
        PyErr_SetString(PyExc_RuntimeError, "another call is in progress on this connection");
        return {};
    }
    // A connection with a call life (`_call_life`, set by vantrel.connect;
    // the bare connection has none) starts each answer with all of its
    // `max_answer_bytes` as the answer's `room`.
    Ref life;
    int found = optional_attr(conn, ms._call_life, life);
    Ref limit = found > 0 ? getattr(life.get(), ms.max_answer_bytes) : Ref{};
    if (found < 0 || (found > 0 && (!limit || PyObject_SetAttr(life.get(), ms.room, limit.get()) < 0))) {
        Ref exc = fetch_exception();
        PySet_Discard(ms.calls_in_progress, key.get());
        restore_exception(std::move(exc));
        return {};
    }
    return key;
}

namespace {

// The reader, then the socket, as close() closes them; errors are dropped:
// the thread that asked for the close has gone on already.
void close_now(ModuleState& ms, PyObject* conn) {
    for (PyObject* name : {ms._sf, ms._socket}) {
        Ref target = getattr(conn, name);
        if (!target || !call_method(ms.close, target.get())) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                return;
            }
            PyErr_Clear();
        }
    }
}

// 1 when `key` was in `set` (it is not any more), 0 when it was not.
int take(PyObject* set, PyObject* key) {
    int found = PySet_Discard(set, key);
    if (found < 0) {
        PyErr_Clear();  // an exact int: not reached
        return 0;
    }
    return found;
}

}  // namespace

int end_call(ModuleState& ms, PyObject* conn, const Ref& key) {
    Ref exc = fetch_exception();
    take(ms.calls_in_progress, key.get());
    int asked = PySet_GET_SIZE(ms.close_asked) > 0 ? take(ms.close_asked, key.get()) : 0;
    if (asked) {
        close_now(ms, conn);
        if (PyErr_Occurred()) {  // an interrupt while closing: it goes on, after the call's own error
            if (exc) {
                chain_to(exc.get());
            }
            return -1;
        }
    }
    restore_exception(std::move(exc));
    return asked;
}

int call_in_progress(ModuleState& ms, PyObject* conn) {
    Ref key = Ref::steal(PyLong_FromVoidPtr(conn));
    if (!key) {
        return -1;
    }
    return PySet_Contains(ms.calls_in_progress, key.get());
}

int ask_close(ModuleState& ms, PyObject* conn) {
    Ref key = Ref::steal(PyLong_FromVoidPtr(conn));
    if (!key) {
        return -1;
    }
    // Either a call holds the mark, or close() takes it for as long as it
    // closes, so that a call that begins meanwhile is refused instead of
    // reading from a reader being closed.  No Python code runs between the
    // two set operations.  (When another close() holds the mark, this one is
    // asked like a call: that close() closes, and so may this one.)
    Py_ssize_t before = PySet_GET_SIZE(ms.calls_in_progress);
    if (PySet_Add(ms.calls_in_progress, key.get()) < 0) {
        return -1;
    }
    if (PySet_GET_SIZE(ms.calls_in_progress) != before) {
        return 0;
    }
    return PySet_Add(ms.close_asked, key.get()) < 0 ? -1 : 1;
}

void closed(ModuleState& ms, PyObject* conn) {
    Ref exc = fetch_exception();
    Ref key = Ref::steal(PyLong_FromVoidPtr(conn));
    if (key) {
        take(ms.calls_in_progress, key.get());
        take(ms.close_asked, key.get());
    }
    PyErr_Clear();
    restore_exception(std::move(exc));
}

int still_in_call(ModuleState& ms, PyObject* conn) {
    Ref key = Ref::steal(PyLong_FromVoidPtr(conn));
    if (!key) {
        return -1;
    }
    int in_call = PySet_Contains(ms.calls_in_progress, key.get());
    if (in_call == 0) {
        take(ms.close_asked, key.get());  // the call ended before it saw the request
    }
    return in_call;
}

bool closed_during_call(ModuleState& ms) {
    Ref exc = fetch_exception();
    if (!exc) {
        return false;
    }
    int server_error = PyObject_IsInstance(exc.get(), ms.server_error);
    if (server_error < 0) {
        PyErr_Clear();
    }
    if (server_error > 0 || !PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
        restore_exception(std::move(exc));  // a whole answer of the server, or an interrupt
        return false;
    }
    raise_protocol_error(Ref::steal(PyUnicode_FromString("the connection was closed during the call")));
    chain_to(exc.get());
    return false;
}

PyObject* module_begin_call(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ModuleState* ms = entry_state();
    if (ms == nullptr) {
        return nullptr;
    }
    PyObject* conn = bind_positional_only("_begin_call", false, "conn", args, nargs, kwnames);
    if (conn == nullptr || !begin_call(*ms, conn)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* module_end_call(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ModuleState* ms = entry_state();
    if (ms == nullptr) {
        return nullptr;
    }
    PyObject* conn = bind_positional_only("_end_call", false, "conn", args, nargs, kwnames);
    if (conn == nullptr) {
        return nullptr;
    }
    Ref key = Ref::steal(PyLong_FromVoidPtr(conn));
    if (!key) {
        return nullptr;
    }
    int closed = end_call(*ms, conn, key);
    if (closed < 0) {
        return nullptr;
    }
    return PyBool_FromLong(closed);
}

PyObject* connection_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ModuleState* ms = entry_state();
    if (ms == nullptr) {
        return nullptr;
    }
    Ref payload = build_payload(args, nargs, kwnames);
    if (!payload) {
        return nullptr;
    }
    Ref mark = begin_call(*ms, self);
    if (!mark) {
        return nullptr;
    }
    Ref result = run_call(*ms, self, payload.get());
    int closed = end_call(*ms, self, mark);
    if (closed < 0) {
        return nullptr;
    }
    if (!result) {
        if (closed) {
            closed_during_call(*ms);
        }
        report_failure(*ms, self, payload.get());
    }
    return result.release();
}

}  // namespace vantrel
