#include "compression.h"

namespace vantrel::codec {

Ref compress(State& st, const char* data, std::size_t size, long cm) {
    Ref body = Ref::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size)));
    Ref method = body ? Ref::steal(PyLong_FromLong(cm)) : Ref();
    Ref out = method ? Ref::steal(PyObject_CallFunctionObjArgs(st.py_compress, body.get(), method.get(), nullptr))
                     : Ref();
    if (out && !PyBytes_Check(out.get())) {
        PyErr_SetString(PyExc_TypeError, "a compressor returned no bytes");
        return Ref();
    }
    return out;
}

Ref decompress(State& st, PyObject* body, PyObject* cm, PyObject* limit) {
    return Ref::steal(PyObject_CallFunctionObjArgs(st.py_decompress, body, cm,
                                                   limit != nullptr ? limit : st.max_decompressed, nullptr));
}

}  // namespace vantrel::codec
