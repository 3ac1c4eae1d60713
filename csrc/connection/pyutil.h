// Small building blocks over the C API: calls, look-ups, comparisons,
// unpacking, raising and the recurring steps of the exchange, each with the
// semantics of the Python statement it stands for.  All return an empty
// Ref / -1 / false with the error set.  PyObject* arguments are borrowed.
#pragma once

#include "calls.h"
#include "compat.h"
#include "exceptions.h"
#include "module_state.h"
#include "ref.h"

namespace vantrel {

// --- calls -------------------------------------------------------------------

// call(f, args...) and call_method(name, obj, args...): calls.h

inline Ref getattr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

// The version of a dict's contents: every dict gets a new one when it is made
// and whenever a key is added, removed or bound to another object, so an
// equal version means the same dict with the same bindings.  (Deprecated
// from 3.12 on, but kept up to date through 3.13; compiled only for the
// versions that have it, compat.h.)
#if VANTREL_DICT_VERSION
inline unsigned long long dict_version(PyObject* dict) noexcept {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}
#endif

// A module-level name as the methods see it: the module's namespace first,
// then the built-in names, else NameError.  Looked up at each use, so that a
// rebound module attribute changes every later call.
Ref lookup_global(PyObject* name);

// getattr(<module global>, member), e.g. MSG_TYPE.RESPONSE.
Ref global_member(PyObject* global, PyObject* member);

// --- comparisons -------------------------------------------------------------

// bool(a <op> b): the rich comparison followed by the truth test.  1, 0 or -1.
int compare(PyObject* a, PyObject* b, int op);

// bool(n <op> obj) for a length n against a Python object (HEADER_LENGTH, a
// header's body length).  Exact ints are compared without a temporary object.
int compare_length(Py_ssize_t n, PyObject* obj, int op);

// --- unpacking ---------------------------------------------------------------

// a, b, ... = obj  with exactly n targets and the interpreter's own errors
// (ValueError for a wrong count, TypeError for a non-iterable).
bool unpack_exact(PyObject* obj, Py_ssize_t n, Ref* out);

// --- exceptions --------------------------------------------------------------

// fetch_exception() and restore_exception(): exceptions.h

// raise obj: an exception instance is raised (chained to the exception being
// handled, as the raise statement does), a class is instantiated first,
// anything else gives the interpreter's TypeError.  Always returns false.
bool raise_object(PyObject* obj);

// With an error set that arose while `handled` was being handled, make
// `handled` its __context__, as the interpreter does inside an except block.
void chain_to(PyObject* handled) noexcept;

// raise ProtocolError(text), ProtocolError being looked up at this moment.
bool raise_protocol_error(const Ref& text);

// raise ProtocolError(fmt.format(value)); fmt holds one %U for format(value, "").
bool raise_protocol_error_format(const char* fmt, PyObject* value);

// raise ProtocolError(fmt.format(MSG_TYPE[msg_type])); fmt holds one %U.
bool raise_unexpected(const char* fmt, PyObject* msg_type);

// --- steps of the exchange ---------------------------------------------------

// msg_type, body = self._read_one_packet()
bool read_packet(PyObject* self, Ref& msg_type, Ref& body);

// bool(msg_type == MSG_TYPE.<member>) (or another comparison): 1, 0 or -1.
int is_type(PyObject* msg_type, PyObject* member, int op = Py_EQ);

// pack_one(payload, MSG_TYPE.<member>, DEFAULT_SERIALIZER_TYPE,
// DEFAULT_COMPRESSION_METHOD), with force_compress=True when asked.
Ref pack_with_defaults(PyObject* payload, PyObject* member, bool force_compress);

// --- arguments ---------------------------------------------------------------

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction of a PyMethodDef.
#define FASTCALL_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

// The name the interpreter shows for a Connection method in argument errors
// ("Connection.execute" from 3.10 on, "execute" before).
Ref shown_name(const char* func);

// Binds the arguments of a method `func(self, <names>)` whose n parameters
// are all required, positional or keyword, as the interpreter binds those of
// a Python method, with its error texts and in its order of checks.
bool bind_args(const char* func, const char* const* names, Py_ssize_t n, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out);

// A method that takes nothing besides self.
inline bool bind_no_args(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return (nargs == 0 && kwnames == nullptr) || bind_args(func, nullptr, 0, args, nargs, kwnames, nullptr);
}

// Binds the one positional-only parameter `name` of `func(name, /)` (a
// Connection static method when `method`, else a module function), as the
// interpreter does; NULL with its TypeError otherwise.
PyObject* bind_positional_only(const char* func, bool method, const char* name, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames);

// `method`, an attribute as looked up on self, is the C function `fn` bound
// to self: the class's own method, neither overridden in a subclass nor
// replaced by an instance attribute.
bool is_own_method(PyObject* method, PyObject* self, PyCFunction fn) noexcept;

// TypeError("<func>() got multiple values for argument '<name>'")
void multiple_values_error(const char* func, const char* name);

}  // namespace vantrel
