// Owned references to Python objects.
//
// Every owned PyObject* in the extension lives in a Ref, which releases it on
// destruction.  A plain PyObject* is a borrowed reference, as in the C API:
// someone else keeps the object alive for as long as it is used.  Functions
// that can fail return an empty Ref with the Python error set.
//
// The extension is built without C++ exceptions.  CPython 3.9 to 3.13 end a
// daemon thread that wakes while the interpreter finalizes with pthread_exit,
// whose forced unwinding runs the clean-up code of every frame it leaves.
// Without exceptions the compiler emits no such clean-up, so no Ref is
// released then (the GIL is not held and the objects may already be gone);
// the process is exiting and nothing is leaked for long.
#pragma once

// (Windows has no pthread_exit: MSVC builds keep their default.)
#if !defined(_WIN32) && (defined(__cpp_exceptions) || defined(__EXCEPTIONS))
#error "build with -fno-exceptions: a forced unwind must never run a Ref's destructor"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vantrel {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (possibly NULL, meaning an error is set).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes a new reference of its own to a borrowed object (NULL stays NULL).
    static Ref new_ref(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (for returning to the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace vantrel
