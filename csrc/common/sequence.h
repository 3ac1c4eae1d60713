// Direct access to exact lists and tuples, the shapes that decoded bodies and
// rows nearly always have.  Sizes and items are read afresh at each step:
// code run on the way (a key's hash, say) may change a list.
#pragma once

#include "ref.h"

namespace vantrel {

inline bool is_seq(PyObject* o) noexcept { return PyList_CheckExact(o) || PyTuple_CheckExact(o); }

inline Py_ssize_t seq_size(PyObject* o) noexcept {
    return PyList_CheckExact(o) ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o);
}

inline PyObject* seq_item(PyObject* o, Py_ssize_t i) noexcept {
    return PyList_CheckExact(o) ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i);
}

}  // namespace vantrel
