#include "straight_read.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "calls.h"
#include "exceptions.h"
#include "pyutil.h"

namespace vantrel {

namespace {

// The instance layout of io.BufferedReader, the same in CPython 3.9 to 3.13.
// It is relied on only after a reader made at load has been found to match
// it field by field (reader_layout_holds).
struct BufferedLayout {
    PyObject_HEAD
    PyObject* raw;
    int ok;  // initialised
    int detached;
    int readable;
    int writable;
    char finalizing;
    int fast_closed_checks;
    std::int64_t abs_pos;
    char* buffer;
    std::int64_t pos;       // the next byte to hand out
    std::int64_t raw_pos;
    std::int64_t read_end;  // after the last buffered byte; -1: nothing buffered
    std::int64_t write_pos;
    std::int64_t write_end;
    PyThread_type_lock lock;
    volatile unsigned long owner;  // the thread inside a read, else 0
    Py_ssize_t buffer_size;
    Py_ssize_t buffer_mask;
    PyObject* dict;
    PyObject* weakreflist;
};

inline BufferedLayout* layout(PyObject* reader) noexcept { return reinterpret_cast<BufferedLayout*>(reader); }

// An Exception is dropped (the straight reads stay off); an interrupt is not.
bool off(bool keep = true) {
    if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
    }
    return keep && !PyErr_Occurred();
}

// Reads `data` through a new BufferedReader(BytesIO(data), 64) and checks
// the fields of the layout before, between and after.
bool reader_layout_holds(PyObject* io, PyTypeObject* reader_type) {
    if (reader_type->tp_basicsize != static_cast<Py_ssize_t>(sizeof(BufferedLayout)) ||
        reader_type->tp_dictoffset != static_cast<Py_ssize_t>(offsetof(BufferedLayout, dict)) ||
        reader_type->tp_weaklistoffset != static_cast<Py_ssize_t>(offsetof(BufferedLayout, weakreflist))) {
        return false;
    }
    Ref data = Ref::steal(PyBytes_FromStringAndSize(nullptr, 100));
    if (!data) {
        return false;
    }
    Ref bytes_io = Ref::steal(PyObject_CallMethod(io, "BytesIO", "O", data.get()));
    Ref size = Ref::steal(PyLong_FromLong(64));
    if (!bytes_io || !size) {
        return false;
    }
    Ref reader = call(reinterpret_cast<PyObject*>(reader_type), bytes_io.get(), size.get());
    if (!reader || Py_TYPE(reader.get()) != reader_type) {
        return false;
    }
    BufferedLayout* b = layout(reader.get());
    if (b->raw != bytes_io.get() || b->ok != 1 || b->detached != 0 || b->readable != 1 || b->owner != 0 ||
        b->buffer_size != 64 || b->read_end != -1) {
        return false;
    }
    Ref part = Ref::steal(PyObject_CallMethod(reader.get(), "read", "n", static_cast<Py_ssize_t>(5)));
    if (!part || b->pos != 5 || b->read_end != 64 || b->raw_pos != 64) {
        return false;
    }
    part = Ref::steal(PyObject_CallMethod(reader.get(), "read", "n", static_cast<Py_ssize_t>(59)));
    return part && b->pos == 64 && b->read_end == 64 && b->owner == 0;
}

// A class's version tag, assigned by a look-up if it has none; 0 for none.
unsigned int version_tag(PyTypeObject* type, PyObject* name, PyObject** found) {
    *found = _PyType_Lookup(type, name);  // borrowed
    return type->tp_version_tag;
}

// A change of a class (or of a base) clears its tag, which a later look-up
// replaces by a new one; before 3.13 it also clears the flag of a valid tag.
inline bool unchanged(PyObject* type, unsigned int tag) noexcept {
    const PyTypeObject* t = reinterpret_cast<PyTypeObject*>(type);
#if PY_VERSION_HEX < 0x030D0000
    if (!(t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) {
        return false;
    }
#endif
    return t->tp_version_tag == tag;
}

// The reader can be read as its own read would: initialised, attached, for
// reading, with no attribute of its own (which could stand for a method).
inline bool reader_ready(PyObject* sf) noexcept {
    const BufferedLayout* b = layout(sf);
    return b->ok == 1 && b->detached == 0 && b->readable != 0 && b->buffer != nullptr && b->lock != nullptr &&
           b->buffer_size > 0 &&
           (b->dict == nullptr || (PyDict_CheckExact(b->dict) && PyDict_Size(b->dict) == 0));
}

// The namespace of the SocketIO last found plain, and its socket (both
// borrowed): good while that namespace keeps its version, which any change
// of its attributes changes (and which a new dict at the same address does
// not have).
struct PlainSeen {
    PyObject* dict = nullptr;
    unsigned long long version = 0;
    PyObject* sock = nullptr;
};
PlainSeen plain_seen;

// The socket of a SocketIO that is as makefile("rb") made it and open: its
// class and the socket's unchanged since load, its attributes exactly the
// five its constructor sets, reading, no time-out seen.  NULL otherwise.
PyObject* plain_socket(ModuleState& ms, PyObject* raw) {
    if (Py_TYPE(raw) != reinterpret_cast<PyTypeObject*>(ms.socket_io_type) ||
        !unchanged(ms.socket_io_type, ms.socket_io_tag)) {
        return nullptr;
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(raw, nullptr));
    if (!dict) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* names = dict.get();
    PyObject* sock = nullptr;
    if (names == plain_seen.dict && dict_version(names) == plain_seen.version) {
        sock = plain_seen.sock;
    } else {
        if (!PyDict_CheckExact(names) || PyDict_Size(names) != 5) {
            return nullptr;
        }
        // Exact str keys of a dict of five: no look-up can fail or run code.
        // (PyDict_GetItem itself would save and restore the error indicator.)
        sock = PyDict_GetItemWithError(names, ms._sock);
        if (sock == nullptr || PyDict_GetItemWithError(names, ms._reading) != Py_True ||
            PyDict_GetItemWithError(names, ms._timeout_occurred) != Py_False ||
            PyDict_GetItemWithError(names, ms._mode) == nullptr ||
            PyDict_GetItemWithError(names, ms._writing) == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
        plain_seen = PlainSeen{names, dict_version(names), sock};
    }
    if (Py_TYPE(sock) != reinterpret_cast<PyTypeObject*>(ms.socket_type) || !unchanged(ms.socket_type, ms.socket_tag)) {
        return nullptr;
    }
    return sock;  // borrowed from the SocketIO, which the caller holds
}

// A global of SocketIO.readinto as its code sees it: its module, then the
// built-in names, else NameError.
Ref socket_global(ModuleState& ms, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(ms.socket_globals, name);
    if (value != nullptr || PyErr_Occurred()) {
        return Ref::new_ref(value);
    }
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) {
        return {};
    }
    Ref found = Ref::steal(PyObject_GetAttr(builtins.get(), name));
    if (!found && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return found;
}

// `except <global name>:` for the exception `exc`: 1, 0, or -1 with the
// error of the clause itself set (chained to exc).
int clause_matches(ModuleState& ms, PyObject* exc, PyObject* name) {
    Ref cls = socket_global(ms, name);
    if (!cls) {
        chain_to(exc);
        return -1;
    }
    bool valid = PyExceptionClass_Check(cls.get());
    if (!valid && PyTuple_Check(cls.get())) {
        valid = true;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls.get()); ++i) {
            valid = valid && PyExceptionClass_Check(PyTuple_GET_ITEM(cls.get(), i));
        }
    }
    if (!valid) {
        PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
        chain_to(exc);
        return -1;
    }
    return PyErr_GivenExceptionMatches(exc, cls.get());
}

// SocketIO.readinto's handlers, with recv_into's exception set:
//     except timeout: self._timeout_occurred = True; raise
//     except error as e: if e.errno in _blocking_errnos: return None; raise
// (e.args[0] before 3.11).  -2 for None, -1 with an error set.
Py_ssize_t socket_io_failure(ModuleState& ms, PyObject* raw) {
    Ref exc = fetch_exception();
    int matches = clause_matches(ms, exc.get(), ms.timeout);
    if (matches < 0) {
        return -1;
    }
    if (matches) {
        if (PyObject_SetAttr(raw, ms._timeout_occurred, Py_True) < 0) {
            chain_to(exc.get());
            return -1;
        }
        restore_exception(std::move(exc));
        return -1;
    }
    matches = clause_matches(ms, exc.get(), ms.error);
    if (matches < 0) {
        return -1;
    }
    if (matches) {
#if PY_VERSION_HEX >= 0x030B0000
        Ref code = getattr(exc.get(), ms.errno_);
#else
        Ref all = getattr(exc.get(), ms.args);
        Ref code = all ? Ref::steal(PyObject_GetItem(all.get(), state().int_0)) : Ref();
#endif
        Ref blocking = code ? socket_global(ms, ms._blocking_errnos) : Ref();
        int would_block = blocking ? PySequence_Contains(blocking.get(), code.get()) : -1;
        if (would_block < 0) {
            chain_to(exc.get());
            return -1;
        }
        if (would_block) {
            return -2;
        }
    }
    restore_exception(std::move(exc));
    return -1;
}

// One raw read of at most len bytes into `at`, as BufferedReader makes it
// (its _bufferedreader_raw_read): the count, 0 at the end of the stream, -2
// when the socket would block, -1 with the error set.  SocketIO.readinto's
// own steps while the SocketIO is plain (checked after the view is made,
// whose allocation may run code), else the call itself.
Py_ssize_t raw_read(ModuleState& ms, BufferedLayout* b, PyObject* raw, char* at, Py_ssize_t len) {
    Ref view = Ref::steal(PyMemoryView_FromMemory(at, len, PyBUF_WRITE));
    if (!view) {
        return -1;
    }
    // The socket is held through the call: other threads may run meanwhile.
    Ref sock = Ref::new_ref(plain_socket(ms, raw));
    Ref got;
    if (sock) {
        got = call(ms.socket_recv_into, sock.get(), view.get());
        if (!got) {
            return socket_io_failure(ms, raw);
        }
    } else {
        for (;;) {
            got = call_method(ms.readinto, raw, view.get());
            if (got || !PyErr_ExceptionMatches(PyExc_OSError)) {
                break;
            }
            // BufferedReader retries a read interrupted by a signal.
            Ref exc = fetch_exception();
            Ref code = getattr(exc.get(), ms.errno_);
            if (!code) {
                chain_to(exc.get());
                return -1;
            }
            if (!PyLong_CheckExact(code.get()) || PyLong_AsLong(code.get()) != EINTR) {
                restore_exception(std::move(exc));
                return -1;
            }
        }
        if (!got) {
            return -1;
        }
    }
    if (got.get() == Py_None) {
        return -2;
    }
    Py_ssize_t n = PyNumber_AsSsize_t(got.get(), PyExc_ValueError);
    if (n == -1 && PyErr_Occurred()) {
        Ref cause = fetch_exception();
        PyErr_SetString(PyExc_OSError, "raw readinto() failed");
        Ref exc = fetch_exception();
        PyException_SetCause(exc.get(), Ref::new_ref(cause.get()).release());
        PyException_SetContext(exc.get(), cause.release());
        restore_exception(std::move(exc));
        return -1;
    }
    if (n < 0 || n > len) {
        PyErr_Format(PyExc_OSError, "raw readinto() returned invalid length %zd (should have been between 0 and %zd)",
                     n, len);
        return -1;
    }
    if (n > 0 && b->abs_pos != -1) {
        b->abs_pos += n;
    }
    return n;
}

// The reader's lock, taken without waiting as its own reads take it first
// (ENTER_BUFFERED / LEAVE_BUFFERED).  False when another read holds it.
bool enter(BufferedLayout* b) {
    if (!PyThread_acquire_lock(b->lock, 0)) {
        return false;
    }
    b->owner = PyThread_get_thread_ident();
    return true;
}

void leave(BufferedLayout* b) {
    b->owner = 0;
    PyThread_release_lock(b->lock);
}

// BufferedReader's read(n) of an empty buffer (_bufferedreader_read_generic
// with nothing buffered), its lock held: whole blocks straight into the
// result, the rest through the buffer, which one raw read fills as far as it
// can (so what the socket has beyond n is buffered, as the reader's own read
// leaves it).  Stops early at the end of the stream, or when the socket
// would block (None when nothing was read then).
Ref read_into_empty(ModuleState& ms, BufferedLayout* b, PyObject* raw, Ref result, Py_ssize_t n) {
    char* out = PyBytes_AS_STRING(result.get());
    Py_ssize_t written = 0;
    Py_ssize_t remaining = n;
    auto stop = [&](Py_ssize_t r) -> Ref {
        if (r == -1) {
            return {};
        }
        if (r == 0 || written > 0) {
            PyObject* shorter = result.release();
            if (_PyBytes_Resize(&shorter, written) < 0) {
                return {};
            }
            return Ref::steal(shorter);
        }
        return Ref::new_ref(Py_None);
    };
    b->read_end = -1;
    while (remaining > 0) {
        Py_ssize_t whole = b->buffer_mask != 0 ? (remaining & ~b->buffer_mask)
                                               : b->buffer_size * (remaining / b->buffer_size);
        if (whole == 0) {
            break;
        }
        Py_ssize_t r = raw_read(ms, b, raw, out + written, whole);
        if (r <= 0) {
            return stop(r);
        }
        remaining -= r;
        written += r;
    }
    b->pos = 0;
    b->raw_pos = 0;
    b->read_end = 0;
    while (remaining > 0 && b->read_end < b->buffer_size) {
        std::int64_t start = b->read_end;  // valid: 0 or after the last fill
        Py_ssize_t r = raw_read(ms, b, raw, b->buffer + start, b->buffer_size - start);
        if (r <= 0) {
            return stop(r);
        }
        b->read_end = start + r;
        b->raw_pos = start + r;
        Py_ssize_t take = remaining < r ? remaining : r;
        std::memcpy(out + written, b->buffer + b->pos, static_cast<std::size_t>(take));
        written += take;
        b->pos += take;
        remaining -= take;
    }
    return result;
}

}  // namespace

bool init_straight_reads(ModuleState& ms) {
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    Ref socket = Ref::steal(PyImport_ImportModule("socket"));
    if (!io || !socket) {
        return off();
    }
    Ref reader_type = Ref::steal(PyObject_GetAttrString(io.get(), "BufferedReader"));
    Ref socket_io = Ref::steal(PyObject_GetAttrString(socket.get(), "SocketIO"));
    Ref socket_type = Ref::steal(PyObject_GetAttrString(socket.get(), "socket"));
    if (!reader_type || !socket_io || !socket_type || !PyType_Check(reader_type.get()) ||
        !PyType_Check(socket_io.get()) || !PyType_Check(socket_type.get())) {
        return off();
    }
    if (!reader_layout_holds(io.get(), reinterpret_cast<PyTypeObject*>(reader_type.get()))) {
        return off();
    }
    PyObject* readinto = nullptr;
    PyObject* recv_into = nullptr;
    unsigned int socket_io_tag = version_tag(reinterpret_cast<PyTypeObject*>(socket_io.get()), ms.readinto, &readinto);
    unsigned int socket_tag = version_tag(reinterpret_cast<PyTypeObject*>(socket_type.get()), ms.recv_into, &recv_into);
    if (PyErr_Occurred() || socket_io_tag == 0 || socket_tag == 0 || !unchanged(socket_io.get(), socket_io_tag) ||
        !unchanged(socket_type.get(), socket_tag) || readinto == nullptr || recv_into == nullptr ||
        !PyFunction_Check(readinto) || Py_TYPE(recv_into) != &PyMethodDescr_Type) {
        return off();
    }
    ms.socket_globals = Ref::new_ref(PyFunction_GetGlobals(readinto)).release();
    ms.socket_recv_into = Ref::new_ref(recv_into).release();
    ms.socket_io_tag = socket_io_tag;
    ms.socket_tag = socket_tag;
    ms.socket_type = socket_type.release();
    ms.socket_io_type = socket_io.release();
    ms.buffered_reader_type = reader_type.release();  // last: the mark that they are on
    return true;
}

Ref reader_read(ModuleState& ms, PyObject* sf, PyObject* n) {
    if (ms.buffered_reader_type == nullptr || Py_TYPE(sf) != reinterpret_cast<PyTypeObject*>(ms.buffered_reader_type) ||
        !PyLong_CheckExact(n) || !reader_ready(sf)) {
        return call_method(ms.read, sf, n);
    }
    Py_ssize_t size = PyLong_AsSsize_t(n);
    BufferedLayout* b = layout(sf);
    if (size <= 0 || plain_socket(ms, b->raw) == nullptr) {
        PyErr_Clear();  // an overflow, nothing to read, another stream: the reader's own call
        return call_method(ms.read, sf, n);
    }
    // What the reader holds (READAHEAD): enough is handed out at once, as
    // its _bufferedreader_read_fast does; part of it, or a read in progress,
    // is left to the reader itself.
    std::int64_t held = b->read_end == -1 ? 0 : b->read_end - b->pos;
    if (size <= held) {
        Ref part = Ref::steal(PyBytes_FromStringAndSize(b->buffer + b->pos, size));
        if (part) {
            b->pos += size;
        }
        return part;
    }
    if (held > 0 || b->owner != 0) {
        return call_method(ms.read, sf, n);
    }
    Ref reader = Ref::new_ref(sf);
    Ref raw = Ref::new_ref(b->raw);
    if (!enter(b)) {
        return call_method(ms.read, sf, n);
    }
    Ref result = Ref::steal(PyBytes_FromStringAndSize(nullptr, size));
    if (result) {
        result = read_into_empty(ms, b, raw.get(), std::move(result), size);
    }
    leave(b);
    return result;
}

}  // namespace vantrel
