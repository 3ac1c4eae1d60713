// Binding of a vectorcall's arguments to parameters by position or keyword,
// as a function defined in Python binds them.
#pragma once

#include "ref.h"

namespace vantrel::codec {

// Fills out[0..count) (borrowed; null for an optional one not given) from
// args/kwnames; the first `required` parameters must be given.  False with
// TypeError set.
bool bind_args(const char* fname, const char* const* names, int count, int required, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

}  // namespace vantrel::codec
