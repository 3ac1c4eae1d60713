#include "compression.h"

namespace vantrel::codec {

namespace {

// f(args...) through vectorcall; the spare slot in front lets the callee
// prepend a bound self without copying the arguments.
template <typename... A>
Ref call(PyObject* f, A... args) {
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    return Ref::steal(PyObject_Vectorcall(f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace

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
