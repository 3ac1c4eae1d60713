// Stream bodies decoded straight into their results: the rows of a TABLE
// body into row dictionaries, the elements of a TABLE2 body and the items of
// a FEED body into the result list, with no intermediate list for the body
// or its rows.  The MSGPACK reader and the object builder are the codec's
// (msgpack_objects.h).
#pragma once

#include <cstddef>

#include "module_state.h"
#include "rows.h"

namespace vantrel {

// data[0:size] holds one MSGPACK array of rows: out.append(dict(zip(keys,
// row))) for each.  False with an error set when the body cannot be decoded
// this way or a row cannot be made; `out` may then hold a part of the body's
// rows.  (The caller takes the general path then, which gives the error of
// record: the body may not be an array at all, and an undecodable byte after a
// bad row is reported before the row.)
// With `after_head`, the array's element 0 is the header row of the first
// body of a table, and is passed over.
bool append_rows(const msgpack::ObjectContext& ctx, const char* data, std::size_t size, RowBuilder& rows,
                 PyObject* out, bool after_head = false);

// Element 0 of the MSGPACK array data[0:size]: the header row of a table's
// first body.  Empty with an error set when there is none.
Ref head_of(const msgpack::ObjectContext& ctx, const char* data, std::size_t size);

// data[0:size] holds one MSGPACK array: out.append(element) for each; the
// same failures as above.
bool append_items(const msgpack::ObjectContext& ctx, const char* data, std::size_t size, PyObject* out);

// Runs `decode`, one straight decoding of a body into the exact list `out`.
// 1 on success.  0 after an ordinary exception: it is dropped and `out` is
// cut back to its length before, so that the body can take the general path.
// -1 with any other exception (KeyboardInterrupt, ...) set.
template <typename Decode>
int decode_straight(PyObject* out, Decode&& decode) {
    Py_ssize_t before = PyList_GET_SIZE(out);
    if (decode()) {
        return 1;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return -1;
    }
    PyErr_Clear();
    Py_ssize_t after = PyList_GET_SIZE(out);
    if (after > before && PyList_SetSlice(out, before, after, nullptr) < 0) {
        return -1;
    }
    return 0;
}

// The body itself, or its expansion with `cm` by the native codec's
// decompress (as its unpack_one expands a body: anything but the int NONE).
// Empty with the decompressor's exception set.
Ref expanded_body(ModuleState& ms, PyObject* body, PyObject* cm);

// The module's private functions for the asyncio client: the same straight
// decoding of one body with the native codec.
//   _extend_rows(result, keys, body, cm) -> bool
//   _extend_items(result, body, cm) -> bool
// True when the whole body went into `result`; False when it cannot go
// straight (result unchanged): the caller then decodes it with unpack_one.
PyObject* module_extend_rows(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* module_extend_items(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vantrel
