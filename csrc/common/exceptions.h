// The exception being raised, taken out of the error indicator and put back,
// alike on every supported CPython (3.12 keeps it as one object; before, as
// type, value and traceback).
#pragma once

#include "ref.h"

namespace vantrel {

// The exception being raised (normalised, its traceback attached), taken out
// of the error indicator; empty when none is set.
inline Ref fetch_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) {
        return {};
    }
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) {
        PyException_SetTraceback(value, tb);
    }
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
#endif
}

// Raises `exc` again, as fetch_exception took it; nothing when it is empty.
inline void restore_exception(Ref exc) noexcept {
    if (!exc) {
        return;
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

}  // namespace vantrel
