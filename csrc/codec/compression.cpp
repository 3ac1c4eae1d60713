#include "compression.h"

#include "calls.h"

namespace vantrel::codec {

Ref compress(State& st, PyObject* body, long cm) {
    Ref method = Ref::steal(PyLong_FromLong(cm));
    Ref out = method ? call(st.py_compress, body, method.get()) : Ref();
    if (out && !PyBytes_Check(out.get())) {
        PyErr_SetString(PyExc_TypeError, "a compressor returned no bytes");
        return Ref();
    }
    return out;
}

Ref decompress(State& st, PyObject* body, PyObject* cm, PyObject* limit) {
    return call(st.py_decompress, body, cm, limit != nullptr ? limit : st.max_decompressed);
}

}  // namespace vantrel::codec
