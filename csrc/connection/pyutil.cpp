#include "pyutil.h"

#include <cstddef>
#include <cstdint>

namespace vantrel {

#if VANTREL_DICT_VERSION
namespace {

// The module's bindings as last looked up, borrowed from its namespace and
// good while the namespace keeps the version they were read at: rebinding or
// deleting any module attribute changes it, and the next look-up reads the
// namespace again.  Direct-mapped by the name's address; names found only
// among the built-in names are not kept.  Where dicts have no version
// (compat.h), every look-up reads the namespace.
struct GlobalsSeen {
    static constexpr std::size_t kSlots = 32;
    unsigned long long version = 0;
    PyObject* names[kSlots] = {};
    PyObject* values[kSlots] = {};
};
GlobalsSeen globals_seen;

inline std::size_t global_slot(PyObject* name) noexcept {
    auto bits = reinterpret_cast<std::uintptr_t>(name);
    return ((bits >> 4) ^ (bits >> 9)) % GlobalsSeen::kSlots;
}

}  // namespace
#endif

Ref lookup_global(PyObject* name) {
    PyObject* dict = state().module_dict;
#if VANTREL_DICT_VERSION
    GlobalsSeen& seen = globals_seen;
    unsigned long long version = dict_version(dict);
    std::size_t slot = global_slot(name);
    if (seen.version == version) {
        if (seen.names[slot] == name) {
            return Ref::new_ref(seen.values[slot]);
        }
    } else {
        seen = GlobalsSeen{};
        seen.version = version;
    }
#endif
    PyObject* value = PyDict_GetItemWithError(dict, name);  // borrowed
    if (value != nullptr) {
#if VANTREL_DICT_VERSION
        // A key's __eq__ may have run code that changed the namespace.
        if (dict_version(dict) == version) {
            seen.names[slot] = name;
            seen.values[slot] = value;
        }
#endif
        return Ref::new_ref(value);
    }
    if (PyErr_Occurred()) {
        return {};
    }
    Ref builtins = Ref::steal(compat::frame_builtins());
    if (builtins) {
        value = PyDict_GetItemWithError(builtins.get(), name);
    }
    if (value == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::new_ref(value);  // while builtins still holds it
}

Ref global_member(PyObject* global, PyObject* member) {
    Ref owner = lookup_global(global);
    if (!owner) {
        return {};
    }
    return getattr(owner.get(), member);
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

int compare(PyObject* a, PyObject* b, int op) {
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

int compare_length(Py_ssize_t n, PyObject* obj, int op) {
    if (PyLong_CheckExact(obj)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (v == -1 && PyErr_Occurred()) {
            return -1;
        }
        // An overflowing value lies beyond any length in its direction.
        long long len = static_cast<long long>(n);
        int cmp = overflow != 0 ? -overflow : (len < v ? -1 : (len > v ? 1 : 0));
        return outcome(cmp, op);
    }
    Ref boxed = Ref::steal(PyLong_FromSsize_t(n));
    if (!boxed) {
        return -1;
    }
    return compare(boxed.get(), obj, op);
}

bool unpack_exact(PyObject* obj, Py_ssize_t n, Ref* out) {
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        // No code runs from the size check to the last new reference.
        Py_ssize_t size = PyTuple_CheckExact(obj) ? PyTuple_GET_SIZE(obj) : PyList_GET_SIZE(obj);
        if (size < n) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, size);
            return false;
        }
        if (size > n) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
            return false;
        }
        PyObject** items = PyTuple_CheckExact(obj) ? &PyTuple_GET_ITEM(obj, 0) : &PyList_GET_ITEM(obj, 0);
        for (Py_ssize_t i = 0; i < n; ++i) {
            out[i] = Ref::new_ref(items[i]);
        }
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(obj)->tp_iter == nullptr && !PySequence_Check(obj)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj)->tp_name);
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

void chain_to(PyObject* handled) noexcept {
    Ref current = fetch_exception();
    if (current && handled != nullptr && current.get() != handled) {
        PyException_SetContext(current.get(), Ref::new_ref(handled).release());
    }
    restore_exception(std::move(current));
}

bool raise_object(PyObject* obj) {
    if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
        return false;
    }
    if (!PyExceptionClass_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return false;
    }
    Ref instance = Ref::steal(PyObject_CallNoArgs(obj));
    if (!instance) {
        return false;
    }
    if (!PyExceptionInstance_Check(instance.get())) {
        PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %.200s",
                     obj, Py_TYPE(instance.get())->tp_name);
        return false;
    }
    PyErr_SetObject(obj, instance.get());
    return false;
}

bool raise_protocol_error(const Ref& text) {
    if (!text) {
        return false;
    }
    Ref cls = lookup_global(state().ProtocolError);
    if (!cls) {
        return false;
    }
    Ref exc = call(cls.get(), text.get());
    if (!exc) {
        return false;
    }
    return raise_object(exc.get());
}

bool raise_protocol_error_format(const char* fmt, PyObject* value) {
    Ref shown = Ref::steal(PyObject_Format(value, state().empty));
    if (!shown) {
        return false;
    }
    return raise_protocol_error(Ref::steal(PyUnicode_FromFormat(fmt, shown.get())));
}

bool raise_unexpected(const char* fmt, PyObject* msg_type) {
    Ref table = lookup_global(state().MSG_TYPE);
    if (!table) {
        return false;
    }
    Ref entry = Ref::steal(PyObject_GetItem(table.get(), msg_type));
    if (!entry) {
        return false;
    }
    return raise_protocol_error_format(fmt, entry.get());
}

bool read_packet(PyObject* self, Ref& msg_type, Ref& body) {
    Ref packet = call_method(state()._read_one_packet, self);
    if (!packet) {
        return false;
    }
    Ref fields[2];
    if (!unpack_exact(packet.get(), 2, fields)) {
        return false;
    }
    msg_type = std::move(fields[0]);
    body = std::move(fields[1]);
    return true;
}

int is_type(PyObject* msg_type, PyObject* member, int op) {
    Ref expected = global_member(state().MSG_TYPE, member);
    if (!expected) {
        return -1;
    }
    return compare(msg_type, expected.get(), op);
}

Ref pack_with_defaults(PyObject* payload, PyObject* member, bool force_compress) {
    ModuleState& ms = state();
    Ref pack = lookup_global(ms.pack_one);
    if (!pack) {
        return {};
    }
    Ref msg_type = global_member(ms.MSG_TYPE, member);
    if (!msg_type) {
        return {};
    }
    Ref serializer = lookup_global(ms.DEFAULT_SERIALIZER_TYPE);
    if (!serializer) {
        return {};
    }
    Ref compression = lookup_global(ms.DEFAULT_COMPRESSION_METHOD);
    if (!compression) {
        return {};
    }
    PyObject* argv[] = {nullptr, payload, msg_type.get(), serializer.get(), compression.get(), Py_True};
    return Ref::steal(PyObject_Vectorcall(pack.get(), argv + 1, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          force_compress ? ms.kw_force_compress : nullptr));
}

Ref shown_name(const char* func) {
    if constexpr (compat::kQualifiedMethodNames) {
        return Ref::steal(PyUnicode_FromFormat("Connection.%s", func));
    }
    return Ref::steal(PyUnicode_FromString(func));
}

void multiple_values_error(const char* func, const char* name) {
    Ref shown = shown_name(func);
    if (shown) {
        PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%s'", shown.get(), name);
    }
}

namespace {

void missing_error(const char* func, const char* const* names, Py_ssize_t n, PyObject** out) {
    Ref shown = shown_name(func);
    if (!shown) {
        return;
    }
    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        missing += out[i] == nullptr;
    }
    Ref list = Ref::steal(PyUnicode_FromString(""));
    Py_ssize_t seen = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!list) {
            return;
        }
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
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", shown.get(), missing,
                 missing == 1 ? "" : "s", list.get());
}

// The parameter a keyword names: its index, n for "self" (always bound
// already), -1 for none.
Py_ssize_t keyword_slot(PyObject* key, const char* const* names, Py_ssize_t n) {
    if (PyUnicode_CompareWithASCIIString(key, "self") == 0) {
        return n;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
            return i;
        }
    }
    return -1;
}

}  // namespace

// The interpreter's order: positional arguments fill the parameters, then
// each keyword in turn (unknown, or given twice), then the count of
// positional arguments, then what is missing.
bool bind_args(const char* func, const char* const* names, Py_ssize_t n, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = i < nargs ? args[i] : nullptr;
    }
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = keyword_slot(key, names, n);
        if (slot < 0) {
            Ref shown = shown_name(func);
            if (shown) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", shown.get(), key);
            }
            return false;
        }
        if (slot == n || out[slot] != nullptr) {
            multiple_values_error(func, slot == n ? "self" : names[slot]);
            return false;
        }
        out[slot] = args[nargs + k];
    }
    if (nargs > n) {
        Ref shown = shown_name(func);
        if (shown) {
            PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd were given", shown.get(),
                         n + 1, n + 1 == 1 ? "" : "s", nargs + 1);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (out[i] == nullptr) {
            missing_error(func, names, n, out);
            return false;
        }
    }
    return true;
}

PyObject* bind_positional_only(const char* func, bool method, const char* name, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs == 1 && kwnames == nullptr) {
        return args[0];
    }
    Ref shown = method ? shown_name(func) : Ref::steal(PyUnicode_FromString(func));
    if (!shown) {
        return nullptr;
    }
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, 0);
        if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
            PyErr_Format(PyExc_TypeError,
                         "%U() got some positional-only arguments passed as keyword arguments: '%s'", shown.get(),
                         name);
        } else {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", shown.get(), key);
        }
    } else if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%U() takes 1 positional argument but %zd were given", shown.get(), nargs);
    } else {
        PyErr_Format(PyExc_TypeError, "%U() missing 1 required positional argument: '%s'", shown.get(), name);
    }
    return nullptr;
}

bool is_own_method(PyObject* method, PyObject* self, PyCFunction fn) noexcept {
    return PyCFunction_Check(method) && PyCFunction_GET_SELF(method) == self &&
           reinterpret_cast<PyCFunctionObject*>(method)->m_ml->ml_meth == fn;
}

}  // namespace vantrel
