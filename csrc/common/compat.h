// What differs between the CPython versions the modules are built for, in
// one place: every check of PY_VERSION_HEX is made here, and the code
// elsewhere uses what this header gives.
//
// Two kinds of things:
//   - the C API as each version offers it (a function renamed or added,
//     a module slot that older versions lack): one inline function or
//     macro per difference;
//   - the fast paths that read CPython's private layouts, each compiled
//     only for the versions its layout was read from, never for a
//     free-threaded or limited-API build, and never when the build asks for
//     the public API alone (VANTREL_PUBLIC_API, the CMake option of that
//     name).  Where a path is off, its caller takes the public API.  The
//     module reports which paths are compiled in (`_fast_paths`).
#pragma once

#include "ref.h"  // Python.h, as every file of the modules includes it

// --- the fast paths over CPython's internals --------------------------------

#ifndef VANTREL_PUBLIC_API
#define VANTREL_PUBLIC_API 0
#endif

#if !VANTREL_PUBLIC_API && !defined(Py_GIL_DISABLED) && !defined(Py_LIMITED_API)
#define VANTREL_INTERNALS 1
#else
#define VANTREL_INTERNALS 0
#endif

// The layout of a combined dict table that dict_entries.h mirrors: 309 for
// 3.9 and 3.10 (Objects/dict-common.h), 311 for 3.11 to 3.13
// (Include/internal/pycore_dict.h), 0 where none is known.
#if VANTREL_INTERNALS && PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x030B0000
#define VANTREL_DICT_LAYOUT 309
#elif VANTREL_INTERNALS && PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
#define VANTREL_DICT_LAYOUT 311
#else
#define VANTREL_DICT_LAYOUT 0
#endif

// A dict's ma_version_tag (the module-globals cache, pyutil.cpp): kept up to
// date by 3.9 to 3.13 (deprecated from 3.12 on); 3.14 replaced the field.
#if VANTREL_INTERNALS && PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x030E0000
#define VANTREL_DICT_VERSION 1
#else
#define VANTREL_DICT_VERSION 0
#endif

// --- module slots -----------------------------------------------------------

// {Py_mod_multiple_interpreters, value}, from 3.12 on (nothing before).
#if PY_VERSION_HEX >= 0x030C0000
#define VANTREL_SLOT_MULTIPLE_INTERPRETERS(value) {Py_mod_multiple_interpreters, value},
#else
#define VANTREL_SLOT_MULTIPLE_INTERPRETERS(value)
#endif

// {Py_mod_gil, Py_MOD_GIL_USED}, from 3.13 on: the module relies on the GIL
// (docs/free-threading.md); a build with the GIL ignores the slot.
#if PY_VERSION_HEX >= 0x030D0000
#define VANTREL_SLOT_GIL_USED {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define VANTREL_SLOT_GIL_USED
#endif

// --- the C API --------------------------------------------------------------

namespace vantrel::compat {

// The names the interpreter shows for a method in argument errors are
// qualified ("Connection.execute") from 3.10 on.
inline constexpr bool kQualifiedMethodNames = PY_VERSION_HEX >= 0x030A0000;

// The exception being raised, taken out of the error indicator (normalised,
// its traceback attached); NULL when none is set.  A new reference.
inline PyObject* take_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) {
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) {
        PyException_SetTraceback(value, tb);
    }
    Py_DECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Raises `exc` (a reference stolen) as it was taken.
inline void set_raised_exception(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

// getattr(obj, name) that does not raise AttributeError: 1 found (*out a
// new reference), 0 not found, -1 another error.
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** out) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    return _PyObject_LookupAttr(obj, name, out);
#endif
}

// The built-in names as the running code sees them; a new reference.
inline PyObject* frame_builtins() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyEval_GetFrameBuiltins();
#else
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed; deprecated from 3.13 on
    Py_XINCREF(builtins);
    return builtins;
#endif
}

// time.monotonic(), in seconds; false with the error set.
inline bool monotonic(double& seconds) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyTime_t now;
    if (PyTime_Monotonic(&now) < 0) {
        return false;
    }
    seconds = PyTime_AsSecondsDouble(now);
#else
    seconds = _PyTime_AsSecondsDouble(_PyTime_GetMonotonicClock());
#endif
    return true;
}

// The interpreter is running and not being finalised.
inline bool interpreter_running() noexcept {
    if (!Py_IsInitialized()) {
        return false;
    }
#if PY_VERSION_HEX >= 0x030D0000
    return !Py_IsFinalizing();
#else
    return !_Py_IsFinalizing();
#endif
}

// gc.disable() and gc.enable(): whether the collector was enabled before
// (false also when that could not be found out: no error is left set).
#if PY_VERSION_HEX >= 0x030A0000
inline bool gc_disable() noexcept { return PyGC_Disable() != 0; }
inline void gc_enable() noexcept { PyGC_Enable(); }
#else
inline bool gc_disable() noexcept {
    PyObject* gc = PyImport_ImportModule("gc");
    PyObject* enabled = gc != nullptr ? PyObject_CallMethod(gc, "isenabled", nullptr) : nullptr;
    bool was_enabled = enabled == Py_True;
    PyObject* done = was_enabled ? PyObject_CallMethod(gc, "disable", nullptr) : nullptr;
    bool ok = enabled != nullptr && (!was_enabled || done != nullptr);
    Py_XDECREF(done);
    Py_XDECREF(enabled);
    Py_XDECREF(gc);
    if (!ok) {
        PyErr_Clear();  // no pause, then
        return false;
    }
    return was_enabled;
}
inline void gc_enable() noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);  // an error being raised stays the error
    PyObject* gc = PyImport_ImportModule("gc");
    PyObject* done = gc != nullptr ? PyObject_CallMethod(gc, "enable", nullptr) : nullptr;
    Py_XDECREF(done);
    Py_XDECREF(gc);
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
}
#endif

// Whether allocating a tracked object can start a garbage collection on the
// spot, and with it run any code.  3.12 and 3.13 only ask for a collection,
// which the interpreter's loop runs later (read from their gc.c); elsewhere the
// answer is the collector's state (3.10+) or, on 3.9, always yes.
#if VANTREL_INTERNALS && PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
#define VANTREL_DEFERRED_GC 1
inline bool collection_may_start() noexcept { return false; }
#elif PY_VERSION_HEX >= 0x030A0000
#define VANTREL_DEFERRED_GC 0
inline bool collection_may_start() noexcept { return PyGC_IsEnabled() != 0; }
#else
#define VANTREL_DEFERRED_GC 0
inline bool collection_may_start() noexcept { return true; }
#endif

}  // namespace vantrel::compat
