// Small building blocks over the C API: calls, look-ups, comparisons,
// unpacking and raising, each with the semantics of the Python statement it
// stands for.  All return an empty Ref / -1 / false with the error set.
#pragma once

#include "module_state.h"
#include "ref.h"

namespace vantrel {

// --- calls -------------------------------------------------------------------

// f(args...) through vectorcall; the spare slot in front lets the callee
// prepend a bound self without copying the arguments.
template <typename... A>
inline Ref call(Borrowed f, A... args) {
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    return Ref::steal(PyObject_Vectorcall(
        f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(args...), looked up on the object at the moment of the call (an
// instance attribute or a subclass's method takes effect), without making a
// bound-method object.
template <typename... A>
inline Ref call_method(Borrowed name, Borrowed obj, A... args) {
    PyObject* argv[] = {nullptr, obj.get(), static_cast<PyObject*>(args)...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, argv + 1, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref getattr(Borrowed obj, Borrowed name) {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// A module-level name as the methods see it: the module's namespace first,
// then the built-in names, else NameError.  Looked up at each use, so that a
// rebound module attribute changes every later call.
Ref lookup_global(Borrowed name);

// getattr(<module global>, member), e.g. MSG_TYPE.RESPONSE.
Ref global_member(Borrowed global, Borrowed member);

// --- comparisons -------------------------------------------------------------

// bool(a <op> b): the rich comparison followed by the truth test.  1, 0 or -1.
int compare(Borrowed a, Borrowed b, int op);

// bool(n <op> obj) for a length n against a Python object (HEADER_LENGTH, a
// header's body length).  Exact ints are compared without a temporary object.
int compare_length(Py_ssize_t n, Borrowed obj, int op);

// --- unpacking ---------------------------------------------------------------

// a, b, ... = obj  with exactly n targets and the interpreter's own errors
// (ValueError for a wrong count, TypeError for a non-iterable).
bool unpack_exact(Borrowed obj, Py_ssize_t n, Ref* out);

// --- exceptions --------------------------------------------------------------

// The exception being raised, taken out of the error indicator (normalised,
// with its traceback attached), and put back unchanged.
Ref fetch_exception() noexcept;
void restore_exception(Ref exc) noexcept;

// raise obj: an exception instance is raised (chained to the exception being
// handled, as the raise statement does), a class is instantiated first,
// anything else gives the interpreter's TypeError.  Always returns false.
bool raise_object(Borrowed obj);

// With an error set that arose while `handled` was being handled, make
// `handled` its __context__, as the interpreter does inside an except block.
void chain_to(Borrowed handled) noexcept;

// raise ProtocolError(text), ProtocolError being looked up at this moment.
bool raise_protocol_error(Ref text);

// raise ProtocolError(fmt.format(value)); fmt holds one %U for format(value, "").
bool raise_protocol_error_format(const char* fmt, Borrowed value);

// raise ProtocolError(fmt.format(MSG_TYPE[msg_type])); fmt holds one %U.
bool raise_unexpected(const char* fmt, Borrowed msg_type);

// --- arguments ---------------------------------------------------------------

// The name the interpreter shows for a Connection method in argument errors
// ("Connection.execute" from 3.10 on, "execute" before).
Ref shown_name(const char* func);

// Binds the arguments of a method whose parameters (after self) are `names`,
// all required, positional or keyword, with the interpreter's error texts.
bool bind_args(const char* func, const char* const* names, Py_ssize_t n,
               PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

}  // namespace vantrel
