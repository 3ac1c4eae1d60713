// Owned and borrowed references to Python objects.
//
// Every owned PyObject* in the extension lives in a Ref, which releases it on
// destruction; a Borrowed names a reference that someone else keeps alive.
// Functions that can fail return an empty Ref with the Python error set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vantrel {

class Borrowed {
public:
    constexpr Borrowed() noexcept = default;
    constexpr Borrowed(PyObject* p) noexcept : p_(p) {}  // NOLINT: implicit by design
    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }  // NOLINT
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

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
    // Makes a new reference to an object kept alive elsewhere.
    static Ref borrow(Borrowed p) noexcept {
        Py_XINCREF(p.get());
        return Ref(p.get());
    }

    PyObject* get() const noexcept { return p_; }
    Borrowed borrowed() const noexcept { return Borrowed(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (for returning to the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace vantrel
