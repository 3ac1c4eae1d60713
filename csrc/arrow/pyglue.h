// Python-side helpers of the vantrel._arrow module: its state, the turning
// of a builder Failure into a Python exception, and the guards that let the
// Arrow callbacks (which a consumer may call from any thread) enter the
// interpreter safely.
#pragma once

#include <utility>

#include "exceptions.h"
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
    SavedError() noexcept : exc_(fetch_exception()) {}
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() {
        if (exc_) {
            restore_exception(std::move(exc_));
        } else {
            PyErr_Clear();  // as it was: no error
        }
    }

private:
    Ref exc_;
};

}  // namespace vantrel::arrow
