// vantrel._arrow.TableDecoder: the Python face of a Table.
//
// The answer reader (Python) hands it the bodies of the TABLE packets of one
// answer: begin() the first (whose batch, for MessagePack bytes without a
// schema, is built as its values type the columns, and kept for the stream
// unless a held-back body changes a type), infer() any body held back to
// type columns that were all None so far, then stream() returns the PyCapsule of an
// ArrowArrayStream that pulls the remaining bodies as its consumer asks for
// batches.  A body is the MessagePack bytes of the packet (decoded here,
// with the interpreter lock released) or the rows already decoded from JSON.
#pragma once

#include "abi.h"
#include "pyglue.h"
#include "table.h"

namespace vantrel::arrow {

extern PyType_Spec decoder_spec;

// One record batch from one body into `out`; false with a Python exception
// set.  Called with the interpreter lock held.
bool decoder_build(PyObject* decoder, PyObject* body, bool first, ArrowArray* out);
// The schema of the batches; never touches Python.
bool decoder_schema(PyObject* decoder, ArrowSchema* out, Failure& failure);

// Module functions: the distinct column names of a first body's header row
// (header_names(body)), and the field names of a schema (schema_names(schema),
// whatever its types), for the checks of a requested schema.
PyObject* header_names(PyObject* module, PyObject* body);
PyObject* schema_names(PyObject* module, PyObject* schema);

}  // namespace vantrel::arrow
