// Python objects to MessagePack (see packer.h).
#include "packer.h"

#include <cstdint>
#include <cstring>

#include "calls.h"
#include "msgpack_reader.h"

namespace vantrel::codec {

namespace {

using msgpack::kMaxDepth;  // containers may nest this deep; an object below it is refused
constexpr std::uint64_t kU32 = 0xffffffffull;

class Packer {
public:
    Packer(const PackTypes& types, Buffer& out) noexcept : types_(types), out_(out) {}
    bool pack(PyObject* o, int depth);

private:
    bool put1(std::uint8_t b) {
        if (!out_.reserve(1)) {
            return false;
        }
        out_.put(b);
        return true;
    }
    bool integer(PyObject* o);
    bool signed_int(long long v);
    bool unsigned_int(unsigned long long v);
    bool real(double v);
    bool str(PyObject* o);
    bool bin(const char* p, std::size_t n);
    bool ext(int code, const char* p, std::size_t n);
    // The head of a str, array or map of n elements: the fix form (fix | n)
    // below fix_limit, else an 8 (only if w8), 16 or 32-bit length.
    bool head(std::size_t n, std::uint8_t fix, std::size_t fix_limit, std::uint8_t w8, std::uint8_t w16,
              std::uint8_t w32, const char* too_large);
    bool array(PyObject* o, int depth);
    bool map(PyObject* o, int depth);
    bool mapping(PyObject* o, int depth);
    [[gnu::cold]] static bool changed_size();
    bool ext_type(PyObject* o);
    bool timestamp(PyObject* o);

    const PackTypes& types_;
    Buffer& out_;
};

bool Packer::unsigned_int(unsigned long long v) {
    if (!out_.reserve(9)) {
        return false;
    }
    if (v < 0x80) {
        out_.put(static_cast<std::uint8_t>(v));
    } else if (v <= 0xff) {
        out_.put(0xcc);
        out_.put_be(static_cast<std::uint8_t>(v));
    } else if (v <= 0xffff) {
        out_.put(0xcd);
        out_.put_be(static_cast<std::uint16_t>(v));
    } else if (v <= kU32) {
        out_.put(0xce);
        out_.put_be(static_cast<std::uint32_t>(v));
    } else {
        out_.put(0xcf);
        out_.put_be(static_cast<std::uint64_t>(v));
    }
    return true;
}

bool Packer::signed_int(long long v) {
    if (v >= 0) {  // non-negative values take the unsigned forms
        return unsigned_int(static_cast<unsigned long long>(v));
    }
    if (!out_.reserve(9)) {
        return false;
    }
    if (v >= -32) {
        out_.put(static_cast<std::uint8_t>(static_cast<std::int8_t>(v)));
    } else if (v >= INT8_MIN) {
        out_.put(0xd0);
        out_.put_be(static_cast<std::uint8_t>(v));
    } else if (v >= INT16_MIN) {
        out_.put(0xd1);
        out_.put_be(static_cast<std::uint16_t>(v));
    } else if (v >= INT32_MIN) {
        out_.put(0xd2);
        out_.put_be(static_cast<std::uint32_t>(v));
    } else {
        out_.put(0xd3);
        out_.put_be(static_cast<std::uint64_t>(v));
    }
    return true;
}

bool Packer::integer(PyObject* o) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) {
        if (v == -1 && PyErr_Occurred()) {
            return false;
        }
        return signed_int(v);
    }
    if (overflow > 0) {
        unsigned long long u = PyLong_AsUnsignedLongLong(o);
        if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            return unsigned_int(u);
        }
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            return false;
        }
        PyErr_Clear();
    }
    PyErr_SetString(PyExc_OverflowError, "Integer value out of range");
    return false;
}

bool Packer::real(double v) {
    if (!out_.reserve(9)) {
        return false;
    }
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    out_.put(0xcb);
    out_.put_be(bits);
    return true;
}

bool Packer::head(std::size_t n, std::uint8_t fix, std::size_t fix_limit, std::uint8_t w8, std::uint8_t w16,
                  std::uint8_t w32, const char* too_large) {
    if (!out_.reserve(5)) {
        return false;
    }
    if (n < fix_limit) {
        out_.put(static_cast<std::uint8_t>(fix | n));
    } else if (w8 != 0 && n <= 0xff) {
        out_.put(w8);
        out_.put_be(static_cast<std::uint8_t>(n));
    } else if (n <= 0xffff) {
        out_.put(w16);
        out_.put_be(static_cast<std::uint16_t>(n));
    } else if (n <= kU32) {
        out_.put(w32);
        out_.put_be(static_cast<std::uint32_t>(n));
    } else {
        PyErr_SetString(PyExc_ValueError, too_large);
        return false;
    }
    return true;
}

bool Packer::str(PyObject* o) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (s == nullptr) {
        return false;
    }
    const auto len = static_cast<std::size_t>(n);
    return head(len, 0xa0, 32, 0xd9, 0xda, 0xdb, "unicode string is too large") && out_.append(s, len);
}

bool Packer::bin(const char* p, std::size_t n) {
    if (n > kU32) {
        PyErr_SetString(PyExc_ValueError, "bytes object is too large");
        return false;
    }
    if (!out_.reserve(5)) {
        return false;
    }
    if (n <= 0xff) {
        out_.put(0xc4);
        out_.put_be(static_cast<std::uint8_t>(n));
    } else if (n <= 0xffff) {
        out_.put(0xc5);
        out_.put_be(static_cast<std::uint16_t>(n));
    } else {
        out_.put(0xc6);
        out_.put_be(static_cast<std::uint32_t>(n));
    }
    return out_.append(p, n);
}

bool Packer::ext(int code, const char* p, std::size_t n) {
    if (n > kU32) {
        PyErr_SetString(PyExc_ValueError, "EXT data is too large");
        return false;
    }
    if (!out_.reserve(6)) {
        return false;
    }
    switch (n) {
        case 1: out_.put(0xd4); break;
        case 2: out_.put(0xd5); break;
        case 4: out_.put(0xd6); break;
        case 8: out_.put(0xd7); break;
        case 16: out_.put(0xd8); break;
        default:
            if (n <= 0xff) {
                out_.put(0xc7);
                out_.put_be(static_cast<std::uint8_t>(n));
            } else if (n <= 0xffff) {
                out_.put(0xc8);
                out_.put_be(static_cast<std::uint16_t>(n));
            } else {
                out_.put(0xc9);
                out_.put_be(static_cast<std::uint32_t>(n));
            }
    }
    out_.put(static_cast<std::uint8_t>(code));
    return out_.append(p, n);
}

bool Packer::array(PyObject* o, int depth) {
    const bool list = PyList_Check(o);
    const Py_ssize_t n = list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o);
    if (!head(static_cast<std::size_t>(n), 0x90, 16, 0, 0xdc, 0xdd, "list is too large")) {
        return false;
    }
    if (!list) {  // a tuple's items cannot change while it is packed
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!pack(PyTuple_GET_ITEM(o, i), depth + 1)) {
                return false;
            }
        }
        return true;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Packing an item can run code (a dict subclass's items()) that
        // changes this list: its size is read afresh and its item held.
        if (i >= PyList_GET_SIZE(o)) {
            PyErr_SetString(PyExc_RuntimeError, "list changed size during packing");
            return false;
        }
        Ref item = Ref::new_ref(PyList_GET_ITEM(o, i));
        if (!pack(item.get(), depth + 1)) {
            return false;
        }
    }
    return true;
}

// A dict subclass, as msgpack-python packs one: the head counts len(o), the
// pairs come from iterating o.items().  Both run the subclass's code, and so
// may packing a pair (a nested subclass's items(), a key's __index__): the
// iterator and every pair are held while they are used, since that code may
// empty the list items() returned.  Where msgpack-python would write a head
// that disagrees with the pairs that follow, this is refused.
bool Packer::mapping(PyObject* o, int depth) {
    const Py_ssize_t n = PyObject_Size(o);
    if (n < 0 || !head(static_cast<std::size_t>(n), 0x80, 16, 0, 0xde, 0xdf, "dict is too large")) {
        return false;
    }
    Ref items = call_method(types_.items, o);
    Ref it = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
    if (!it) {
        return false;
    }
    Py_ssize_t count = 0;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref pair = PyTuple_CheckExact(item.get()) ? std::move(item) : Ref::steal(PySequence_Tuple(item.get()));
        if (!pair) {
            return false;
        }
        if (PyTuple_GET_SIZE(pair.get()) != 2) {
            PyErr_SetString(PyExc_ValueError, "items() must give pairs");
            return false;
        }
        // The tuple, held here, holds its key and value.
        if (++count > n || !pack(PyTuple_GET_ITEM(pair.get(), 0), depth + 1) ||
            !pack(PyTuple_GET_ITEM(pair.get(), 1), depth + 1)) {
            return changed_size();
        }
    }
    if (PyErr_Occurred()) {
        return false;
    }
    return count == n || changed_size();
}

bool Packer::map(PyObject* o, int depth) {
    if (!PyDict_CheckExact(o)) {
        return mapping(o, depth);
    }
    const Py_ssize_t n = PyDict_Size(o);
    if (!head(static_cast<std::size_t>(n), 0x80, 16, 0, 0xde, 0xdf, "dict is too large")) {
        return false;
    }
    Py_ssize_t pos = 0;
    Py_ssize_t count = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(o, &pos, &k, &v)) {
        Ref key = Ref::new_ref(k);
        Ref value = Ref::new_ref(v);
        if (++count > n || !pack(key.get(), depth + 1) || !pack(value.get(), depth + 1)) {
            return changed_size();
        }
    }
    return count == n || changed_size();
}

bool Packer::changed_size() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during packing");
    }
    return false;
}

bool Packer::ext_type(PyObject* o) {
    Ref code = Ref::steal(PyObject_GetAttrString(o, "code"));
    Ref data = code ? Ref::steal(PyObject_GetAttrString(o, "data")) : Ref();
    if (!data) {
        return false;
    }
    long c = PyLong_AsLong(code.get());
    if (c == -1 && PyErr_Occurred()) {
        return false;
    }
    if (!PyBytes_Check(data.get())) {
        PyErr_SetString(PyExc_TypeError, "ExtType data must be bytes");
        return false;
    }
    return ext(static_cast<int>(c), PyBytes_AS_STRING(data.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())));
}

bool Packer::timestamp(PyObject* o) {
    Ref sec = Ref::steal(PyObject_GetAttr(o, types_.seconds));
    Ref nsec = sec ? Ref::steal(PyObject_GetAttr(o, types_.nanoseconds)) : Ref();
    if (!nsec) {
        return false;
    }
    long long seconds = PyLong_AsLongLong(sec.get());
    if (seconds == -1 && PyErr_Occurred()) {
        return false;
    }
    unsigned long nanoseconds = PyLong_AsUnsignedLong(nsec.get());
    if (nanoseconds == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
        return false;
    }
    char data[12];
    std::size_t n;
    if ((seconds >> 34) == 0) {
        const std::uint64_t ns64 = nanoseconds;  // unsigned long: 32 or 64 bits
        std::uint64_t data64 = (ns64 << 34) | static_cast<std::uint64_t>(seconds);
        if ((data64 & 0xffffffff00000000ull) == 0) {
            n = 4;
            for (int k = 0; k < 4; ++k) data[k] = static_cast<char>(data64 >> (8 * (3 - k)));
        } else {
            n = 8;
            for (int k = 0; k < 8; ++k) data[k] = static_cast<char>(data64 >> (8 * (7 - k)));
        }
    } else {
        n = 12;
        auto ns = static_cast<std::uint32_t>(nanoseconds);
        auto s = static_cast<std::uint64_t>(seconds);
        for (int k = 0; k < 4; ++k) data[k] = static_cast<char>(ns >> (8 * (3 - k)));
        for (int k = 0; k < 8; ++k) data[4 + k] = static_cast<char>(s >> (8 * (7 - k)));
    }
    return ext(-1, data, n);
}

bool Packer::pack(PyObject* o, int depth) {
    if (depth > kMaxDepth) {
        PyErr_SetString(PyExc_ValueError, "recursion limit exceeded.");
        return false;
    }
    // The exact built-in types first, then the same order of tests as
    // msgpack-python, which decides what a subclass is packed as.
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyUnicode_Type) {
        return str(o);
    }
    if (t == &PyLong_Type) {
        return integer(o);
    }
    if (t == &PyList_Type || t == &PyTuple_Type) {
        return array(o, depth);
    }
    if (t == &PyDict_Type) {
        return map(o, depth);
    }
    if (t == &PyFloat_Type) {
        return real(PyFloat_AS_DOUBLE(o));
    }
    if (o == Py_None) {
        return put1(0xc0);
    }
    if (PyBool_Check(o)) {
        return put1(o == Py_True ? 0xc3 : 0xc2);
    }
    if (PyLong_Check(o)) {
        return integer(o);
    }
    if (PyFloat_Check(o)) {
        return real(PyFloat_AS_DOUBLE(o));
    }
    if (PyBytes_Check(o)) {
        return bin(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
    }
    if (PyByteArray_Check(o)) {
        return bin(PyByteArray_AS_STRING(o), static_cast<std::size_t>(PyByteArray_GET_SIZE(o)));
    }
    if (PyUnicode_Check(o)) {
        return str(o);
    }
    if (PyDict_Check(o)) {
        return map(o, depth);
    }
    if (PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(types_.ext_type))) {
        return ext_type(o);
    }
    if (reinterpret_cast<PyObject*>(t) == types_.timestamp) {
        return timestamp(o);
    }
    if (PyList_Check(o) || PyTuple_Check(o)) {
        return array(o, depth);
    }
    if (PyMemoryView_Check(o)) {
        Py_buffer view;
        if (PyObject_GetBuffer(o, &view, PyBUF_SIMPLE) < 0) {
            return false;
        }
        bool ok = bin(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
        PyBuffer_Release(&view);
        return ok;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "__name__"));
    if (name) {
        PyErr_Format(PyExc_TypeError, "can not serialize %R object", name.get());
    }
    return false;
}

}  // namespace

bool pack_msgpack(const PackTypes& types, PyObject* obj, Buffer& out) {
    Packer packer(types, out);
    return packer.pack(obj, 0);
}

}  // namespace vantrel::codec
