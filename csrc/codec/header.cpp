#include "header.h"

#include "module_state.h"

namespace vantrel::codec {

namespace {

// A Python integer as struct.pack reads one; struct.error when it is none.
bool integer(PyObject* struct_error, PyObject* o, long long& out, int& overflow) {
    Ref index;  // an int already is its own index (a subclass's value is its own)
    if (!PyLong_Check(o)) {
        if (!PyIndex_Check(o)) {
            PyErr_SetString(struct_error, "required argument is not an integer");
            return false;
        }
        index = Ref::steal(PyNumber_Index(o));
        if (!index) {
            return false;
        }
        o = index.get();
    }
    out = PyLong_AsLongLongAndOverflow(o, &overflow);
    return !(out == -1 && PyErr_Occurred());
}

}  // namespace

Ref code_of(PyObject* o, long& value) {
    Ref number = PyLong_Check(o) ? Ref::new_ref(o) : Ref::steal(PyNumber_Index(o));
    if (!number) {
        return {};
    }
    int overflow = 0;
    value = PyLong_AsLongAndOverflow(number.get(), &overflow);
    if (overflow != 0) {
        value = -1;
    } else if (value == -1 && PyErr_Occurred()) {
        return {};
    }
    return number;
}

bool header_byte(PyObject* struct_error, PyObject* o, std::uint8_t& out) {
    long long v = 0;
    int overflow = 0;
    if (!integer(struct_error, o, v, overflow)) {
        return false;
    }
    return header_byte_value(struct_error, overflow != 0 ? -1 : v, out);
}

bool header_byte_value(PyObject* struct_error, long long v, std::uint8_t& out) {
    if (v < 0 || v > 255) {
        PyErr_SetString(struct_error, "ubyte format requires 0 <= number <= 255");
        return false;
    }
    out = static_cast<std::uint8_t>(v);
    return true;
}

PyObject* pack_header(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    State& st = state_of(module);
    if (nargs != 4) {
        PyErr_Format(st.struct_error, "pack expected 4 items for packing (got %zd)", nargs);
        return nullptr;
    }
    std::uint8_t fields[3];
    for (int k = 0; k < 3; ++k) {
        if (!header_byte(st.struct_error, args[k], fields[k])) {
            return nullptr;
        }
    }
    long long length = 0;
    int overflow = 0;
    if (!integer(st.struct_error, args[3], length, overflow)) {
        return nullptr;
    }
    if (overflow != 0) {
        PyErr_SetString(st.struct_error, "argument out of range");
        return nullptr;
    }
    PyObject* out = PyBytes_FromStringAndSize(nullptr, kHeaderLength);
    if (out != nullptr) {
        write_header(PyBytes_AS_STRING(out), fields[0], fields[1], fields[2], length);
    }
    return out;
}

PyObject* unpack_header(PyObject* module, PyObject* header) {
    Py_buffer view{};
    const unsigned char* p;
    Py_ssize_t size;
    const bool bytes = PyBytes_Check(header);
    if (bytes) {
        p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(header));
        size = PyBytes_GET_SIZE(header);
    } else {
        if (PyObject_GetBuffer(header, &view, PyBUF_SIMPLE) < 0) {
            return nullptr;
        }
        p = static_cast<const unsigned char*>(view.buf);
        size = view.len;
    }
    PyObject* out = nullptr;
    if (size != static_cast<Py_ssize_t>(kHeaderLength)) {
        PyErr_Format(state_of(module).struct_error, "unpack requires a buffer of %zu bytes", kHeaderLength);
    } else {
        std::uint64_t u = 0;
        for (int k = 4; k < 12; ++k) {
            u = (u << 8) | p[k];
        }
        PyObject* items[4] = {PyLong_FromLong(p[0]), PyLong_FromLong(p[1]), PyLong_FromLong(p[2]),
                              PyLong_FromLongLong(static_cast<long long>(u))};
        out = items[0] && items[1] && items[2] && items[3] ? PyTuple_New(4) : nullptr;
        for (int k = 0; k < 4; ++k) {
            if (out != nullptr) {
                PyTuple_SET_ITEM(out, k, items[k]);
            } else {
                Py_XDECREF(items[k]);
            }
        }
    }
    if (!bytes) {
        PyBuffer_Release(&view);
    }
    return out;
}

}  // namespace vantrel::codec
