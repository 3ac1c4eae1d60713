// Calls through vectorcall, with owned results: what every module uses to
// call into Python.
#pragma once

#include "ref.h"

namespace vantrel {

// f(args...) through vectorcall; the spare slot in front lets the callee
// prepend a bound self without copying the arguments.
template <typename... A>
inline Ref call(PyObject* f, A... args) {
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    return Ref::steal(PyObject_Vectorcall(f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(args...), looked up on the object at the moment of the call (an
// instance attribute or a subclass's method takes effect), without making a
// bound-method object.
template <typename... A>
inline Ref call_method(PyObject* name, PyObject* obj, A... args) {
    PyObject* argv[] = {nullptr, obj, static_cast<PyObject*>(args)...};
    return Ref::steal(
        PyObject_VectorcallMethod(name, argv + 1, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace vantrel
