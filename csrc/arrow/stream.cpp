// The stream's callbacks may be called by the consumer from any thread, with
// or without the interpreter lock, and release() even while get_next() runs
// in another thread.  The rules that keep them sound:
//
// - Every callback but get_last_error takes the lock before it looks at the
//   stream's private data, and the lock orders it against release(): a
//   callback that comes after the release finds no private data.  A release
//   while a get_next() is in progress drops the Python references at once
//   (the get_next holds references of its own) and leaves the private data
//   for the get_next to free when it returns.
// - One get_next() at a time: a second one, from another thread meanwhile,
//   returns EBUSY without touching the stream.
// - At interpreter exit CPython ends a thread that waits for the lock with
//   pthread_exit, an unwinding that a consumer's native frames (polars'
//   catch_unwind) may turn into an abort.  So a callback takes the lock only
//   through Entry, and an atexit hook, run while the interpreter still works,
//   closes the streams being read (their sockets are shut down, so a read
//   blocked on one ends), lets no new callback in, and waits for the ones
//   inside to leave (for at most kExitWait).  After it, a callback returns an
//   error without touching Python (the references are then left, never
//   released twice).  docs/results.md lists what remains.
#include "stream.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>
#include <string>
#include <thread>
#include <utility>

#include "abi.h"
#include "decoder.h"
#include "pyglue.h"

namespace vantrel::arrow {

namespace {

constexpr const char* kShuttingDown = "the interpreter is shutting down";
constexpr const char* kReleased = "the stream was released";
constexpr auto kExitWait = std::chrono::seconds(2);

struct StreamPrivate {
    PyObject* decoder = nullptr;  // owned until the release
    PyObject* pull = nullptr;     // owned until the stream ends, fails or is released
    PyObject* close = nullptr;    // owned until close() is called
    std::string error;            // written once, then published through last_error
    std::atomic<const char*> last_error{nullptr};  // set: the stream failed
    bool ended = false;
    bool closed = false;
    bool reading = false;   // a get_next() is in progress
    bool released = false;  // ... and the stream was released meanwhile: it frees this
    StreamPrivate* prev_reading = nullptr;
    StreamPrivate* next_reading = nullptr;
};

// -- entering the interpreter from a callback ----------------------------------------

std::atomic<bool> exiting{false};
std::atomic<unsigned long> exit_thread{0};
std::atomic<int> inside{0};          // callbacks holding or waiting for the lock
StreamPrivate* being_read = nullptr;  // streams with a get_next() in progress (under the lock)

bool on_exit_thread() noexcept { return PyThread_get_thread_ident() == exit_thread.load(); }

// The interpreter lock for one callback, unless the interpreter is exiting:
// then only the thread that runs the exit (which is never ended) may enter.
class Entry {
public:
    Entry() noexcept {
        inside.fetch_add(1);
        if (!interpreter_alive() || (exiting.load() && !on_exit_thread())) {
            inside.fetch_sub(1);
            return;
        }
        gil_ = PyGILState_Ensure();
        open_ = true;
    }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    ~Entry() {
        if (open_) {
            PyGILState_Release(gil_);
            inside.fetch_sub(1);
        }
    }
    explicit operator bool() const noexcept { return open_; }

private:
    PyGILState_STATE gil_{};
    bool open_ = false;
};

StreamPrivate* priv_of(ArrowArrayStream* stream) {
    return static_cast<StreamPrivate*>(std::atomic_ref<void*>(stream->private_data).load());
}

// The failure's text, kept by the first failure only (get_last_error may be
// reading it from another thread).  Under the lock.
void set_error(StreamPrivate* p, std::string text) {
    if (p->last_error.load() == nullptr) {
        p->error = std::move(text);
        p->last_error.store(p->error.c_str());
    }
}

// close(error): once; the error object is None when the stream is released.
// The stream's reference to close() goes as it is called (the object it
// closes over may hold whatever holds this stream).  Never touches `p` after
// the call, which can run any code, in which this stream may be freed.
void call_close(StreamPrivate* p, PyObject* error) {
    if (p->closed) {
        return;
    }
    p->closed = true;
    Ref close = Ref::steal(std::exchange(p->close, nullptr));
    Ref result = Ref::steal(PyObject_CallOneArg(close.get(), error != nullptr ? error : Py_None));
    if (!result) {
        PyErr_WriteUnraisable(close.get());
    }
}

int fail(StreamPrivate* p) {
    // The exception raised: its text for get_last_error, the object itself
    // for the reader of the answer (close), which keeps it for its caller.
    // A failed stream keeps no reference to pull() or close(): the error's
    // traceback may lead to the consumer that owns this stream, a cycle the
    // garbage collector could not see through the stream.
    Ref exc = fetch_exception();
    if (exc) {
        Ref text = Ref::steal(PyObject_Str(exc.get()));
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        set_error(p, std::string(Py_TYPE(exc.get())->tp_name) + ": " + (utf8 != nullptr ? utf8 : ""));
        PyErr_Clear();
    } else {
        set_error(p, "the table stream failed");
    }
    Ref pull = Ref::steal(std::exchange(p->pull, nullptr));
    call_close(p, exc.get());
    return EIO;
}

// Marks a get_next() in progress, under the lock; frees the private data
// when the stream was released meanwhile.
class Reading {
public:
    explicit Reading(StreamPrivate* p) noexcept : p_(p) {
        p->reading = true;
        p->prev_reading = nullptr;  // the head: whatever a read before left here is stale
        p->next_reading = being_read;
        if (being_read != nullptr) {
            being_read->prev_reading = p;
        }
        being_read = p;
    }
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;
    ~Reading() {
        (p_->prev_reading != nullptr ? p_->prev_reading->next_reading : being_read) = p_->next_reading;
        if (p_->next_reading != nullptr) {
            p_->next_reading->prev_reading = p_->prev_reading;
        }
        p_->prev_reading = p_->next_reading = nullptr;
        p_->reading = false;
        if (p_->released) {
            delete p_;
        }
    }

private:
    StreamPrivate* p_;
};

int next_batch(StreamPrivate* p, ArrowArray* out) {
    if (exiting.load() && !on_exit_thread()) {
        // Admitted before the exit began: no read that could block now.
        PyErr_SetString(PyExc_RuntimeError, kShuttingDown);
        return fail(p);
    }
    // References of this call's own: a release meanwhile drops the stream's.
    Ref pull = Ref::new_ref(p->pull);
    Ref decoder = Ref::new_ref(p->decoder);
    Ref item = Ref::steal(PyObject_CallNoArgs(pull.get()));
    if (!item) {
        return fail(p);
    }
    if (item.get() == Py_None) {
        p->ended = true;
        Ref done = Ref::steal(std::exchange(p->pull, nullptr));
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
    if (is_first < 0 || !decoder_build(decoder.get(), body, is_first != 0, out)) {
        return fail(p);
    }
    return 0;
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    Entry python;
    if (!python) {
        return EIO;
    }
    StreamPrivate* p = priv_of(stream);
    if (p == nullptr) {
        return EINVAL;
    }
    // (no Python runs here: nothing can release the stream meanwhile)
    Failure failure;
    if (!decoder_schema(p->decoder, out, failure)) {
        set_error(p, failure.message);
        return ENOMEM;
    }
    return 0;
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    Entry python;
    if (!python) {
        return EIO;
    }
    SavedError saved;
    StreamPrivate* p = priv_of(stream);
    if (p == nullptr) {
        return EINVAL;
    }
    if (p->last_error.load() != nullptr) {
        return EIO;
    }
    if (p->ended) {
        out->release = nullptr;
        return 0;
    }
    if (p->reading) {
        return EBUSY;
    }
    Reading mark(p);
    return next_batch(p, out);
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
    StreamPrivate* p = priv_of(stream);
    if (p == nullptr) {
        return kReleased;
    }
    const char* text = p->last_error.load();
    return text == nullptr && (exiting.load() || !interpreter_alive()) ? kShuttingDown : text;
}

void stream_release(ArrowArrayStream* stream) {
    Entry python;
    StreamPrivate* p = priv_of(stream);
    std::atomic_ref<void*>(stream->private_data).store(nullptr);
    stream->release = nullptr;
    if (!python || p == nullptr) {
        return;  // exiting: the private data and its references are left
    }
    SavedError saved;
    call_close(p, nullptr);
    Ref decoder = Ref::steal(std::exchange(p->decoder, nullptr));
    Ref pull = Ref::steal(std::exchange(p->pull, nullptr));
    decoder.reset();
    pull.reset();
    // No Python from here on: a get_next in progress cannot finish in between.
    if (p->reading) {
        p->released = true;
    } else {
        delete p;
    }
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

// atexit: runs before the interpreter starts finalising, on the thread that
// finalises it.
PyObject* stop_streams(PyObject*, PyObject*) {
    exit_thread.store(PyThread_get_thread_ident());
    exiting.store(true);
    // Close the streams being read, one at a time: close() runs Python, in
    // which others may end their reads and leave the list.
    for (;;) {
        StreamPrivate* p = being_read;
        while (p != nullptr && p->closed) {
            p = p->next_reading;
        }
        if (p == nullptr) {
            break;
        }
        call_close(p, nullptr);
    }
    Py_BEGIN_ALLOW_THREADS
    const auto until = std::chrono::steady_clock::now() + kExitWait;
    while (inside.load() > 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyMethodDef stop_streams_def = {
    "_stop_streams", stop_streams, METH_NOARGS,
    "Closes the Arrow streams being read and waits for their callbacks to leave (run at exit).",
};

}  // namespace

bool register_exit_hook() {
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    Ref hook = Ref::steal(PyCFunction_New(&stop_streams_def, nullptr));
    if (!atexit || !hook) {
        return false;
    }
    Ref done = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    return static_cast<bool>(done);
}

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
        Py_CLEAR(p->close);
        stream->release(stream);
        delete stream;
    }
    return capsule;
}

}  // namespace vantrel::arrow
