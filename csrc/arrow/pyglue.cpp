#include "pyglue.h"

#include "compat.h"

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
    return compat::interpreter_running();
}

}  // namespace vantrel::arrow
