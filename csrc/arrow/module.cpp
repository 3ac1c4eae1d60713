// vantrel._arrow: Arrow record batches built straight from TABLE bodies.
//
// The module holds its exception classes and the TableDecoder type in its
// state; everything else lives in the decoder and stream objects.
#include "compat.h"
#include "decoder.h"
#include "pyglue.h"
#include "stream.h"

namespace vantrel::arrow {

namespace {

ModuleState* get_state(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

bool add(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) {
        return false;
    }
    Py_INCREF(value);
    if (PyModule_AddObject(module, name, value) < 0) {
        Py_DECREF(value);
        return false;
    }
    return true;
}

int exec_module(PyObject* module) {
    ModuleState* st = get_state(module);
    // Both errors are also vantrel.Error, the root of the package's failures.
    Ref errors = Ref::steal(PyImport_ImportModule("vantrel.share.errors"));
    Ref root = errors ? Ref::steal(PyObject_GetAttrString(errors.get(), "Error")) : Ref();
    Ref value_bases = root ? Ref::steal(PyTuple_Pack(2, root.get(), PyExc_ValueError)) : Ref();
    Ref type_bases = root ? Ref::steal(PyTuple_Pack(2, root.get(), PyExc_TypeError)) : Ref();
    if (!value_bases || !type_bases) {
        return -1;
    }
    st->DecodeError = PyErr_NewExceptionWithDoc(
        "vantrel._arrow.DecodeError", "A TABLE body that cannot be read as a table.", value_bases.get(), nullptr);
    if (!add(module, "DecodeError", st->DecodeError)) {
        return -1;
    }
    st->ColumnTypeError = PyErr_NewExceptionWithDoc(
        "vantrel._arrow.ColumnTypeError",
        "A value that does not fit its column (the text names the column, the row and both types).",
        type_bases.get(), nullptr);
    if (!add(module, "ColumnTypeError", st->ColumnTypeError)) {
        return -1;
    }
    st->decoder_type = PyType_FromModuleAndSpec(module, &decoder_spec, nullptr);
    return add(module, "TableDecoder", st->decoder_type) && register_exit_hook() ? 0 : -1;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = get_state(module);
    Py_VISIT(st->decoder_type);
    Py_VISIT(st->DecodeError);
    Py_VISIT(st->ColumnTypeError);
    return 0;
}

int clear_module(PyObject* module) {
    ModuleState* st = get_state(module);
    Py_CLEAR(st->decoder_type);
    Py_CLEAR(st->DecodeError);
    Py_CLEAR(st->ColumnTypeError);
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // The stream callbacks enter the interpreter through the GIL state API,
    // which knows only the main interpreter.
    VANTREL_SLOT_MULTIPLE_INTERPRETERS(Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED)
    // The lock orders a stream's callbacks against its release and guards
    // the decoders' busy marks (docs/free-threading.md).
    VANTREL_SLOT_GIL_USED
    {0, nullptr},
};

PyMethodDef module_methods[] = {
    {"header_names", header_names, METH_O,
     "header_names(body, /)\n--\n\nThe distinct column names of a first TABLE body's header row, in order."},
    {"schema_names", schema_names, METH_O,
     "schema_names(schema, /)\n--\n\nThe field names of an Arrow schema, whatever their types."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vantrel._arrow",
    "Arrow record batches built straight from the MessagePack bodies of TABLE packets.",
    sizeof(ModuleState),
    module_methods,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

}  // namespace vantrel::arrow

PyMODINIT_FUNC PyInit__arrow(void) { return PyModuleDef_Init(&vantrel::arrow::module_def); }
