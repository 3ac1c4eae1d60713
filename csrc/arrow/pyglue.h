// Python-side helpers of the vantrel._arrow module: its state, the turning
// of a builder Failure into a Python exception, and the guards that let the
// Arrow callbacks (which a consumer may call from any thread) enter the
// interpreter safely.
#pragma once

#include "ref.h"
#include "types.h"

namespace vantrel::arrow {

struct ModuleState {
    PyObject* decoder_type = nullptr;
    PyObject* DecodeError = nullptr;      // a body that is not a table body
    PyObject* ColumnTypeError = nullptr;  // a value that does not fit its column
};

// Raises the exception that describes `failure` (nothing to do for a
// failure that is already a Python exception).  Returns nullptr.
PyObject* raise_failure(const ModuleState& st, const Failure& failure);

// True while Python objects may be touched from a callback: the interpreter
// is initialised and not finalising.  At and after the interpreter's exit a
// callback leaves every Python object alone (and leaks it).
bool interpreter_alive() noexcept;

// Keeps the exception being handled (if any) aside for a scope, so that
// Python code can run in between, e.g. in a release callback called while an
// exception propagates.
class SavedError {
public:
    SavedError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exc_, &tb_);
#endif
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
#else
        PyErr_Restore(type_, exc_, tb_);
#endif
    }

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
    PyObject* exc_ = nullptr;
};

// The text of the exception being raised ("TypeName: message"), cleared.
std::string take_error_text();

}  // namespace vantrel::arrow
