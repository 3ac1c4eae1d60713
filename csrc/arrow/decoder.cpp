#include "decoder.h"

#include <new>
#include <utility>

#include "schema.h"
#include "sources.h"
#include "stream.h"

namespace vantrel::arrow {

namespace {

struct DecoderObject {
    PyObject_HEAD
    Table* table;
    PyObject* first;  // the first body, owned while the table holds its batch
    bool frozen;
    bool streamed;
    bool busy;  // a body is being decoded (the lock may be released meanwhile)
};

DecoderObject* as_decoder(PyObject* self) { return reinterpret_cast<DecoderObject*>(self); }

const ModuleState& state_of(PyObject* self) {
    return *static_cast<ModuleState*>(PyType_GetModuleState(Py_TYPE(self)));
}

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"schema", nullptr};
    PyObject* schema = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:TableDecoder", const_cast<char**>(names), &schema)) {
        return nullptr;
    }
    std::vector<Field> fields;
    if (schema != Py_None && !parse_schema(schema, fields)) {
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    DecoderObject* d = as_decoder(self.get());
    d->table = new (std::nothrow) Table;
    d->first = nullptr;
    d->frozen = false;
    d->streamed = false;
    d->busy = false;
    if (d->table == nullptr) {
        return PyErr_NoMemory();
    }
    Failure failure;
    if (schema != Py_None && !d->table->set_schema(std::move(fields), failure)) {
        return raise_failure(state_of(self.get()), failure);
    }
    return self.release();
}

void decoder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_CLEAR(as_decoder(self)->first);
    delete as_decoder(self)->table;
    type->tp_free(self);
    Py_DECREF(type);
}

// The table is used by one body at a time: the decoding of a body may
// release the lock (bytes) or run Python code (the rows of a list subclass),
// and no other use of the decoder may change or read the table meanwhile.
bool check_idle(DecoderObject* d) {
    if (d->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the decoder is in use by another call");
        return false;
    }
    return true;
}

// Runs `step(source)` over a body: MessagePack bytes with the interpreter
// lock released, or decoded rows with it held.  Either way the decoder is
// marked busy, and this call owns what the step touches: the body and the
// decoder (whose table a release of its stream elsewhere would free).
template <typename Step>
bool over_body(PyObject* self, PyObject* body, Failure& failure, Step step) {
    DecoderObject* d = as_decoder(self);
    if (!check_idle(d)) {
        return failure.set(FailureKind::Python, "");
    }
    Ref hold_self = Ref::new_ref(self);
    Ref hold_body = Ref::new_ref(body);
    bool ok;
    d->busy = true;
    if (PyBytes_Check(body)) {
        MsgpackSource source(PyBytes_AS_STRING(body), static_cast<std::size_t>(PyBytes_GET_SIZE(body)));
        Py_BEGIN_ALLOW_THREADS
        ok = step(source);
        Py_END_ALLOW_THREADS
    } else if (PyList_Check(body)) {
        PythonSource source(body);
        ok = step(source);
    } else {
        ok = failure.set(FailureKind::Malformed,
                         std::string("a table body must be a list of rows, not a ") + Py_TYPE(body)->tp_name);
    }
    d->busy = false;
    return ok;
}

bool check_open(DecoderObject* d) {
    if (!check_idle(d)) {
        return false;
    }
    if (d->frozen) {
        PyErr_SetString(PyExc_RuntimeError, "the columns of this decoder are already fixed");
        return false;
    }
    return true;
}

PyObject* decoder_begin(PyObject* self, PyObject* body) {
    DecoderObject* d = as_decoder(self);
    if (!check_open(d)) {
        return nullptr;
    }
    if (d->table->started()) {
        PyErr_SetString(PyExc_RuntimeError, "begin() was already called");
        return nullptr;
    }
    Failure failure;
    bool typed = false;
    if (body == Py_None) {
        d->table->begin_empty();
        typed = true;
    } else if (!over_body(self, body, failure, [&](auto& source) { return d->table->begin(source, typed, failure); })) {
        return raise_failure(state_of(self), failure);
    } else if (d->table->first_ready()) {
        // Its batch is built: handed out when the stream comes to this body.
        Py_INCREF(body);
        d->first = body;
    }
    return PyBool_FromLong(typed);
}

PyObject* decoder_infer(PyObject* self, PyObject* body) {
    DecoderObject* d = as_decoder(self);
    if (!check_open(d)) {
        return nullptr;
    }
    if (!d->table->started()) {
        PyErr_SetString(PyExc_RuntimeError, "begin() must come first");
        return nullptr;
    }
    Failure failure;
    bool typed = false;
    if (!over_body(self, body, failure, [&](auto& source) { return d->table->infer(source, typed, failure); })) {
        return raise_failure(state_of(self), failure);
    }
    return PyBool_FromLong(typed);
}

void freeze(DecoderObject* d) {
    if (!d->frozen) {
        d->table->freeze();
        d->frozen = true;
    }
}

PyObject* decoder_stream(PyObject* self, PyObject* args) {
    PyObject *pull = nullptr, *close = nullptr;
    if (!PyArg_ParseTuple(args, "OO:stream", &pull, &close)) {
        return nullptr;
    }
    DecoderObject* d = as_decoder(self);
    if (!check_idle(d)) {
        return nullptr;
    }
    if (d->streamed) {
        PyErr_SetString(PyExc_RuntimeError, "this answer's stream was already taken");
        return nullptr;
    }
    freeze(d);
    PyObject* capsule = make_stream_capsule(self, pull, close);
    if (capsule != nullptr) {
        d->streamed = true;
    }
    return capsule;
}

void schema_capsule_destructor(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (schema == nullptr) {
        PyErr_Clear();
        return;
    }
    if (schema->release != nullptr) {
        schema->release(schema);
    }
    delete schema;
}

PyObject* decoder_schema_capsule(PyObject* self, PyObject*) {
    DecoderObject* d = as_decoder(self);
    if (!check_idle(d)) {
        return nullptr;
    }
    freeze(d);
    auto* schema = new (std::nothrow) ArrowSchema{};
    if (schema == nullptr) {
        return PyErr_NoMemory();
    }
    Failure failure;
    if (!d->table->export_schema(schema, failure)) {
        delete schema;
        return raise_failure(state_of(self), failure);
    }
    PyObject* capsule = PyCapsule_New(schema, "arrow_schema", schema_capsule_destructor);
    if (capsule == nullptr) {
        schema->release(schema);
        delete schema;
    }
    return capsule;
}

PyObject* decoder_names(PyObject* self, void*) {
    if (!check_idle(as_decoder(self))) {
        return nullptr;
    }
    const auto& fields = as_decoder(self)->table->fields();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(fields.size())));
    for (std::size_t k = 0; list && k < fields.size(); ++k) {
        PyObject* name = PyUnicode_FromStringAndSize(fields[k].name.data(), static_cast<Py_ssize_t>(fields[k].name.size()));
        if (name == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), name);
    }
    return list.release();
}

PyObject* decoder_types(PyObject* self, void*) {
    if (!check_idle(as_decoder(self))) {
        return nullptr;
    }
    const auto& fields = as_decoder(self)->table->fields();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(fields.size())));
    for (std::size_t k = 0; list && k < fields.size(); ++k) {
        const ColType t = fields[k].type;
        PyObject* name = t == ColType::Unknown ? (Py_INCREF(Py_None), Py_None)
                                               : PyUnicode_FromString(type_name(fields[k].spec).c_str());
        if (name == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), name);
    }
    return list.release();
}

PyMethodDef decoder_methods[] = {
    {"begin", decoder_begin, METH_O,
     "begin(body, /)\n--\n\nThe first TABLE body (header row, then rows), or None for an answer without one.\n"
     "True when every column has a type."},
    {"infer", decoder_infer, METH_O,
     "infer(body, /)\n--\n\nA later body held back to type the columns still all None.\n"
     "True when every column has a type."},
    {"stream", decoder_stream, METH_VARARGS,
     "stream(pull, close, /)\n--\n\nFixes the columns and returns an 'arrow_array_stream' PyCapsule whose\n"
     "batches are built from the bodies pull() returns as (body, first) pairs, until it returns None.\n"
     "close(error) is called once, when the stream fails or is released."},
    {"schema", decoder_schema_capsule, METH_NOARGS,
     "schema()\n--\n\nFixes the columns and returns their schema as an 'arrow_schema' PyCapsule."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef decoder_getset[] = {
    {"names", decoder_names, nullptr, "The column names.", nullptr},
    {"types", decoder_types, nullptr, "The column type names (None: not known yet).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot decoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decoder_dealloc)},
    {Py_tp_methods, decoder_methods},
    {Py_tp_getset, decoder_getset},
    {Py_tp_doc, const_cast<char*>("TableDecoder(schema=None)\n--\n\n"
                                  "Builds Arrow record batches from the TABLE bodies of one answer.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec decoder_spec = {
    "vantrel._arrow.TableDecoder",
    sizeof(DecoderObject),
    0,
    Py_TPFLAGS_DEFAULT,
    decoder_slots,
};

bool decoder_build(PyObject* decoder, PyObject* body, bool first, ArrowArray* out) {
    DecoderObject* d = as_decoder(decoder);
    Table* table = d->table;
    Failure failure;
    Ref begun = Ref::steal(std::exchange(d->first, nullptr));
    if (first && begun.get() == body && !d->busy && table->first_ready()) {
        // (a bytes body: what begin() read of it cannot have changed)
        if (!table->take_first(out, failure)) {
            raise_failure(state_of(decoder), failure);
            return false;
        }
        return true;
    }
    if (!over_body(decoder, body, failure, [&](auto& source) { return table->build(source, first, out, failure); })) {
        raise_failure(state_of(decoder), failure);
        return false;
    }
    return true;
}

namespace {

PyObject* names_list(const std::vector<std::string>& names) {
    Ref list = Ref::steal(PyList_New(0));
    Ref seen = Ref::steal(PySet_New(nullptr));
    if (!list || !seen) {
        return nullptr;
    }
    for (const std::string& n : names) {
        Ref name = Ref::steal(PyUnicode_FromStringAndSize(n.data(), static_cast<Py_ssize_t>(n.size())));
        if (!name) {
            return nullptr;
        }
        const int known = PySet_Contains(seen.get(), name.get());
        if (known < 0 || (known == 0 && (PySet_Add(seen.get(), name.get()) < 0 ||
                                         PyList_Append(list.get(), name.get()) < 0))) {
            return nullptr;
        }
    }
    return list.release();
}

}  // namespace

PyObject* header_names(PyObject* module, PyObject* body) {
    std::vector<std::string> header;
    std::int64_t rows = 0;
    Failure failure;
    bool ok;
    if (PyBytes_Check(body)) {
        MsgpackSource source(PyBytes_AS_STRING(body), static_cast<std::size_t>(PyBytes_GET_SIZE(body)));
        ok = source.open(true, &header, rows, failure);
    } else {
        PythonSource source(body);
        ok = source.open(true, &header, rows, failure);
    }
    if (!ok) {
        return raise_failure(*static_cast<ModuleState*>(PyModule_GetState(module)), failure);
    }
    return names_list(header);
}

PyObject* schema_names(PyObject*, PyObject* schema) {
    std::vector<std::string> names;
    if (!parse_schema_names(schema, names)) {
        return nullptr;
    }
    Ref list = Ref::steal(PyList_New(0));
    for (const std::string& n : names) {
        Ref name = Ref::steal(PyUnicode_FromStringAndSize(n.data(), static_cast<Py_ssize_t>(n.size())));
        if (!list || !name || PyList_Append(list.get(), name.get()) < 0) {
            return nullptr;
        }
    }
    return list.release();
}

bool decoder_schema(PyObject* decoder, ArrowSchema* out, Failure& failure) {
    return as_decoder(decoder)->table->export_schema(out, failure);
}

}  // namespace vantrel::arrow
