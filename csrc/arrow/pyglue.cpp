#include "pyglue.h"

namespace vantrel::arrow {

PyObject* raise_failure(const ModuleState& st, const Failure& failure) {
    switch (failure.kind) {
        case FailureKind::Malformed:
            PyErr_SetString(st.DecodeError, failure.message.c_str());
            break;
        case FailureKind::Column:
            PyErr_SetString(st.ColumnTypeError, failure.message.c_str());
            break;
        case FailureKind::NoMemory:
            PyErr_NoMemory();
            break;
        case FailureKind::Python:
        case FailureKind::None:
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_SystemError, "table decoder failed without an error");
            }
            break;
    }
    return nullptr;
}

bool interpreter_alive() noexcept {
    if (!Py_IsInitialized()) {
        return false;
    }
#if PY_VERSION_HEX >= 0x030D0000
    return !Py_IsFinalizing();
#else
    return !_Py_IsFinalizing();
#endif
}

}  // namespace vantrel::arrow
