// The stream's callbacks may be called by the consumer from any thread, with
// or without the interpreter lock: each one that needs Python takes the lock
// for itself, and none touches a Python object once the interpreter is
// finalising (the references are then left, never released twice).
#include "stream.h"

#include <cerrno>
#include <new>
#include <string>

#include "abi.h"
#include "decoder.h"
#include "pyglue.h"

namespace vantrel::arrow {

namespace {

struct StreamPrivate {
    PyObject* decoder = nullptr;  // owned
    PyObject* pull = nullptr;     // owned
    PyObject* close = nullptr;    // owned
    std::string error;
    bool ended = false;
    bool failed = false;
    bool closed = false;
};

StreamPrivate* priv_of(ArrowArrayStream* stream) { return static_cast<StreamPrivate*>(stream->private_data); }

// close(error): once; the error object is None when the stream is released.
void call_close(StreamPrivate* p, PyObject* error) {
    if (p->closed) {
        return;
    }
    p->closed = true;
    Ref result = Ref::steal(PyObject_CallOneArg(p->close, error != nullptr ? error : Py_None));
    if (!result) {
        PyErr_WriteUnraisable(p->close);
    }
}

int fail(StreamPrivate* p) {
    // The exception raised: its text for get_last_error, the object itself
    // for the reader of the answer (close), which keeps it for its caller.
    Ref exc = fetch_exception();
    p->failed = true;
    if (exc) {
        Ref text = Ref::steal(PyObject_Str(exc.get()));
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        p->error = std::string(Py_TYPE(exc.get())->tp_name) + ": " + (utf8 != nullptr ? utf8 : "");
        PyErr_Clear();
    } else {
        p->error = "the table stream failed";
    }
    call_close(p, exc.get());
    return EIO;
}

int next_batch(StreamPrivate* p, ArrowArray* out) {
    Ref item = Ref::steal(PyObject_CallNoArgs(p->pull));
    if (!item) {
        return fail(p);
    }
    if (item.get() == Py_None) {
        p->ended = true;
        out->release = nullptr;
        return 0;
    }
    PyObject *body = nullptr, *first = nullptr;
    if (!PyTuple_Check(item.get()) || !PyArg_ParseTuple(item.get(), "OO", &body, &first)) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "pull() must return (body, first) or None");
        }
        return fail(p);
    }
    int is_first = PyObject_IsTrue(first);
    if (is_first < 0 || !decoder_build(p->decoder, body, is_first != 0, out)) {
        return fail(p);
    }
    return 0;
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    StreamPrivate* p = priv_of(stream);
    Failure failure;
    if (!decoder_schema(p->decoder, out, failure)) {
        p->error = failure.message;
        return ENOMEM;
    }
    return 0;
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    StreamPrivate* p = priv_of(stream);
    if (p->failed) {
        return EIO;
    }
    if (p->ended) {
        out->release = nullptr;
        return 0;
    }
    if (!interpreter_alive()) {
        p->error = "the interpreter is shutting down";
        p->failed = true;
        return EIO;
    }
    PyGILState_STATE gil = PyGILState_Ensure();
    int rc;
    {
        SavedError saved;
        rc = next_batch(p, out);
    }
    PyGILState_Release(gil);
    return rc;
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
    StreamPrivate* p = priv_of(stream);
    return p->error.empty() ? nullptr : p->error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
    StreamPrivate* p = priv_of(stream);
    if (interpreter_alive()) {
        PyGILState_STATE gil = PyGILState_Ensure();
        {
            SavedError saved;
            call_close(p, nullptr);
            Py_CLEAR(p->decoder);
            Py_CLEAR(p->pull);
            Py_CLEAR(p->close);
        }
        PyGILState_Release(gil);
    }
    delete p;
    stream->release = nullptr;
    stream->private_data = nullptr;
}

void capsule_destructor(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (stream == nullptr) {
        PyErr_Clear();
        return;
    }
    // Still set unless a consumer took the stream over (and with it the
    // duty to release it).
    if (stream->release != nullptr) {
        stream->release(stream);
    }
    delete stream;
}

}  // namespace

PyObject* make_stream_capsule(PyObject* decoder, PyObject* pull, PyObject* close) {
    auto* p = new (std::nothrow) StreamPrivate;
    auto* stream = new (std::nothrow) ArrowArrayStream{};
    if (p == nullptr || stream == nullptr) {
        delete p;
        delete stream;
        return PyErr_NoMemory();
    }
    Py_INCREF(decoder);
    Py_INCREF(pull);
    Py_INCREF(close);
    p->decoder = decoder;
    p->pull = pull;
    p->close = close;
    stream->get_schema = stream_get_schema;
    stream->get_next = stream_get_next;
    stream->get_last_error = stream_get_last_error;
    stream->release = stream_release;
    stream->private_data = p;
    PyObject* capsule = PyCapsule_New(stream, "arrow_array_stream", capsule_destructor);
    if (capsule == nullptr) {
        // Nobody has seen the stream: drop the references without close().
        p->closed = true;
        stream->release(stream);
        delete stream;
    }
    return capsule;
}

}  // namespace vantrel::arrow
