#include "pyutil.h"

#include <cstring>

namespace vantrel {

Ref lookup_global(Borrowed name) {
    PyObject* value = PyDict_GetItemWithError(state().module_dict, name);
    if (value != nullptr || PyErr_Occurred()) {
        return Ref::borrow(value);
    }
#if PY_VERSION_HEX >= 0x030D0000
    Ref builtins = Ref::steal(PyEval_GetFrameBuiltins());
#else
    Ref builtins = Ref::borrow(PyEval_GetBuiltins());  // deprecated from 3.13 on
#endif
    if (builtins) {
        value = PyDict_GetItemWithError(builtins.get(), name);
    }
    if (value == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    }
    return Ref::borrow(value);  // while builtins still holds it
}

Ref global_member(Borrowed global, Borrowed member) {
    Ref owner = lookup_global(global);
    if (!owner) {
        return {};
    }
    return getattr(owner.borrowed(), member);
}

namespace {

// Ints (and int subclasses that keep int's own comparison, such as the wire
// codes) compare by value without the generic dispatch.
inline bool plain_int(PyObject* o) noexcept {
    return PyLong_Check(o) && Py_TYPE(o)->tp_richcompare == PyLong_Type.tp_richcompare;
}

inline int outcome(int cmp, int op) noexcept {
    switch (op) {
        case Py_LT: return cmp < 0;
        case Py_LE: return cmp <= 0;
        case Py_EQ: return cmp == 0;
        case Py_NE: return cmp != 0;
        case Py_GT: return cmp > 0;
        default: return cmp >= 0;
    }
}

}  // namespace

int compare(Borrowed a, Borrowed b, int op) {
    if (plain_int(a) && plain_int(b)) {
        int overflow_a = 0, overflow_b = 0;
        long long x = PyLong_AsLongLongAndOverflow(a, &overflow_a);
        long long y = PyLong_AsLongLongAndOverflow(b, &overflow_b);
        if (overflow_a == 0 && overflow_b == 0) {
            return outcome(x < y ? -1 : (x > y ? 1 : 0), op);
        }
    }
    Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
    if (!result) {
        return -1;
    }
    if (result.get() == Py_True) {
        return 1;
    }
    if (result.get() == Py_False) {
        return 0;
    }
    return PyObject_IsTrue(result.get());
}

int compare_length(Py_ssize_t n, Borrowed obj, int op) {
    if (PyLong_CheckExact(obj.get())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (v == -1 && PyErr_Occurred()) {
            return -1;
        }
        // An overflowing value lies beyond any length in its direction.
        int cmp = overflow != 0 ? -overflow
                                : (static_cast<long long>(n) < v ? -1 : (static_cast<long long>(n) > v ? 1 : 0));
        return outcome(cmp, op);
    }
    Ref boxed = Ref::steal(PyLong_FromSsize_t(n));
    if (!boxed) {
        return -1;
    }
    return compare(boxed.borrowed(), obj, op);
}

bool unpack_exact(Borrowed obj, Py_ssize_t n, Ref* out) {
    PyObject* o = obj.get();
    if (PyTuple_CheckExact(o) || PyList_CheckExact(o)) {
        Py_ssize_t size = PyTuple_CheckExact(o) ? PyTuple_GET_SIZE(o) : PyList_GET_SIZE(o);
        if (size < n) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, size);
            return false;
        }
        if (size > n) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
            return false;
        }
        PyObject** items = PyTuple_CheckExact(o) ? &PyTuple_GET_ITEM(o, 0) : &PyList_GET_ITEM(o, 0);
        for (Py_ssize_t i = 0; i < n; ++i) {
            out[i] = Ref::borrow(items[i]);
        }
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(o));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(o)->tp_iter == nullptr && !PySequence_Check(o)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(o)->tp_name);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = Ref::steal(PyIter_Next(it.get()));
        if (!out[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
            }
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        return false;
    }
    return !PyErr_Occurred();
}

Ref fetch_exception() noexcept {
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

void restore_exception(Ref exc) noexcept {
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

void chain_to(Borrowed handled) noexcept {
    Ref current = fetch_exception();
    if (current && current.get() != handled.get() && handled) {
        PyException_SetContext(current.get(), Ref::borrow(handled).release());
    }
    restore_exception(std::move(current));
}

bool raise_object(Borrowed obj) {
    PyObject* o = obj.get();
    if (PyExceptionInstance_Check(o)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(o)), o);
        return false;
    }
    if (PyExceptionClass_Check(o)) {
        Ref instance = Ref::steal(PyObject_CallNoArgs(o));
        if (!instance) {
            return false;
        }
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %.200s",
                         o, Py_TYPE(instance.get())->tp_name);
            return false;
        }
        PyErr_SetObject(o, instance.get());
        return false;
    }
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return false;
}

bool raise_protocol_error(Ref text) {
    if (!text) {
        return false;
    }
    Ref cls = lookup_global(state().ProtocolError);
    if (!cls) {
        return false;
    }
    Ref exc = call(cls.borrowed(), text.get());
    if (!exc) {
        return false;
    }
    return raise_object(exc.borrowed());
}

bool raise_protocol_error_format(const char* fmt, Borrowed value) {
    Ref shown = Ref::steal(PyObject_Format(value, state().empty));
    if (!shown) {
        return false;
    }
    return raise_protocol_error(Ref::steal(PyUnicode_FromFormat(fmt, shown.get())));
}

bool raise_unexpected(const char* fmt, Borrowed msg_type) {
    Ref table = lookup_global(state().MSG_TYPE);
    if (!table) {
        return false;
    }
    Ref entry = Ref::steal(PyObject_GetItem(table.get(), msg_type));
    if (!entry) {
        return false;
    }
    return raise_protocol_error_format(fmt, entry.borrowed());
}

Ref shown_name(const char* func) {
#if PY_VERSION_HEX >= 0x030A0000
    return Ref::steal(PyUnicode_FromFormat("Connection.%s", func));
#else
    return Ref::steal(PyUnicode_FromString(func));
#endif
}

namespace {

void missing_error(const char* func, const char* const* names, Py_ssize_t n, PyObject** out) {
    Ref fname = shown_name(func);
    if (!fname) {
        return;
    }
    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        missing += out[i] == nullptr;
    }
    Ref list = Ref::steal(PyUnicode_FromString(""));
    Py_ssize_t seen = 0;
    for (Py_ssize_t i = 0; i < n && list; ++i) {
        if (out[i] != nullptr) {
            continue;
        }
        ++seen;
        const char* sep = seen == 1 ? "" : (seen == missing ? (missing == 2 ? " and " : ", and ") : ", ");
        list = Ref::steal(PyUnicode_FromFormat("%U%s'%s'", list.get(), sep, names[i]));
    }
    if (!list) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", fname.get(),
                 missing, missing == 1 ? "" : "s", list.get());
}

}  // namespace

bool bind_args(const char* func, const char* const* names, Py_ssize_t n, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (nargs > n) {
        Ref fname = shown_name(func);
        if (fname) {
            PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd were given", fname.get(),
                         n + 1, n + 1 == 1 ? "" : "s", nargs + 1);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = i < nargs ? args[i] : nullptr;
    }
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
                slot = i;
                break;
            }
        }
        Ref fname = slot < 0 || out[slot] != nullptr ? shown_name(func) : Ref();
        if (slot < 0) {
            if (fname) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", fname.get(), key);
            }
            return false;
        }
        if (out[slot] != nullptr) {
            if (fname) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%s'", fname.get(),
                             names[slot]);
            }
            return false;
        }
        out[slot] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (out[i] == nullptr) {
            missing_error(func, names, n, out);
            return false;
        }
    }
    return true;
}

}  // namespace vantrel
