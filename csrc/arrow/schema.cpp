#include "schema.h"

#include <cstring>
#include <string>

#include "abi.h"

namespace vantrel::arrow {

namespace {

constexpr const char* kSupported = "int64, double, bool, string, binary or null";

bool type_from_format(const char* format, ColType& type) {
    static const struct {
        const char* format;
        ColType type;
    } known[] = {{"n", ColType::Null}, {"b", ColType::Bool},  {"l", ColType::Int64},
                 {"g", ColType::Float64}, {"u", ColType::Utf8}, {"z", ColType::Binary}};
    for (const auto& k : known) {
        if (std::strcmp(format, k.format) == 0) {
            type = k.type;
            return true;
        }
    }
    return false;
}

bool type_from_name(const char* name, ColType& type) {
    static const struct {
        const char* name;
        ColType type;
    } known[] = {{"null", ColType::Null},     {"bool", ColType::Bool},     {"int64", ColType::Int64},
                 {"double", ColType::Float64}, {"float64", ColType::Float64}, {"string", ColType::Utf8},
                 {"utf8", ColType::Utf8},     {"binary", ColType::Binary}};
    for (const auto& k : known) {
        if (std::strcmp(name, k.name) == 0) {
            type = k.type;
            return true;
        }
    }
    return false;
}

bool from_capsule(PyObject* capsule, std::vector<Field>& fields) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (schema == nullptr) {
        return false;
    }
    if (schema->release == nullptr || std::strcmp(schema->format, "+s") != 0) {
        PyErr_SetString(PyExc_TypeError, "arrow_schema must describe a struct of columns (a schema)");
        return false;
    }
    for (std::int64_t k = 0; k < schema->n_children; ++k) {
        const ArrowSchema* child = schema->children[k];
        Field field;
        field.name = child->name != nullptr ? child->name : "";
        if (child->dictionary != nullptr || !type_from_format(child->format, field.type)) {
            PyErr_Format(PyExc_TypeError, "column '%s': the Arrow type '%s' is not supported (use %s)",
                         field.name.c_str(), child->format, kSupported);
            return false;
        }
        field.nullable = (child->flags & ARROW_FLAG_NULLABLE) != 0;
        fields.push_back(std::move(field));
    }
    return true;
}

bool from_pairs(PyObject* spec, std::vector<Field>& fields) {
    Ref pairs = PyDict_Check(spec) ? Ref::steal(PyDict_Items(spec)) : Ref::new_ref(spec);
    if (!pairs) {
        return false;
    }
    Ref items = Ref::steal(PySequence_Fast(pairs.get(), "arrow_schema must be an Arrow schema, a mapping of "
                                                           "column names to type names or a list of pairs"));
    if (!items) {
        return false;
    }
    // The size is read at each step: `items` may be the caller's own list.
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(items.get()); ++k) {
        Ref pair = Ref::new_ref(PySequence_Fast_GET_ITEM(items.get(), k));
        PyObject *name = nullptr, *type = nullptr;
        if (!PyTuple_Check(pair.get()) || !PyArg_ParseTuple(pair.get(), "UU", &name, &type)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "arrow_schema pairs must be (column name, type name) strings");
            return false;
        }
        Field field;
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(name, &size);
        const char* type_text = text ? PyUnicode_AsUTF8(type) : nullptr;
        if (type_text == nullptr) {
            return false;
        }
        field.name.assign(text, static_cast<std::size_t>(size));
        if (!type_from_name(type_text, field.type)) {
            PyErr_Format(PyExc_TypeError, "column '%s': unknown type name '%s' (use %s)", field.name.c_str(),
                         type_text, kSupported);
            return false;
        }
        fields.push_back(std::move(field));
    }
    return true;
}

}  // namespace

bool parse_schema(PyObject* spec, std::vector<Field>& fields) {
    if (PyCapsule_CheckExact(spec)) {
        return from_capsule(spec, fields);
    }
    Ref method = Ref::steal(PyObject_GetAttrString(spec, "__arrow_c_schema__"));
    if (method) {
        Ref capsule = Ref::steal(PyObject_CallNoArgs(method.get()));
        return capsule && from_capsule(capsule.get(), fields);
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return false;
    }
    PyErr_Clear();
    return from_pairs(spec, fields);
}

}  // namespace vantrel::arrow
