#include "schema.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "abi.h"

namespace vantrel::arrow {

namespace {

constexpr const char* kSupported =
    "null, bool, int8/16/32/64, uint8/16/32/64, float, double, string, large_string, string_view, binary, "
    "large_binary, binary_view, date32[day], time64[us|ns], timestamp[s|ms|us|ns(, tz=...)], "
    "decimal128(p, s) or dictionary<values=string, indices=int32>";

struct Simple {
    const char* format;
    const char* name;
    ColType type;
};

// The types without parameters: their format and their names.
constexpr Simple kSimple[] = {
    {"n", "null", ColType::Null},          {"b", "bool", ColType::Bool},
    {"c", "int8", ColType::Int8},          {"s", "int16", ColType::Int16},
    {"i", "int32", ColType::Int32},        {"l", "int64", ColType::Int64},
    {"C", "uint8", ColType::UInt8},        {"S", "uint16", ColType::UInt16},
    {"I", "uint32", ColType::UInt32},      {"L", "uint64", ColType::UInt64},
    {"f", "float", ColType::Float32},      {"f", "float32", ColType::Float32},
    {"g", "double", ColType::Float64},     {"g", "float64", ColType::Float64},
    {"u", "string", ColType::Utf8},        {"u", "utf8", ColType::Utf8},
    {"U", "large_string", ColType::LargeUtf8}, {"U", "large_utf8", ColType::LargeUtf8},
    {"vu", "string_view", ColType::Utf8View},  {"z", "binary", ColType::Binary},
    {"Z", "large_binary", ColType::LargeBinary}, {"vz", "binary_view", ColType::BinaryView},
    {"tdD", "date32[day]", ColType::Date32},   {"tdD", "date32", ColType::Date32},
};

// Other formats, for the error texts: the type in words.
constexpr struct {
    const char* format;
    const char* words;
} kOtherWords[] = {
    {"e", "halffloat"},       {"tdm", "date64[ms]"}, {"tts", "time32[s]"},        {"ttm", "time32[ms]"},
    {"tDs", "duration[s]"},   {"tDm", "duration[ms]"}, {"tDu", "duration[us]"},   {"tDn", "duration[ns]"},
    {"tiM", "month_interval"}, {"tiD", "day_time_interval"}, {"tin", "month_day_nano_interval"},
    {"+l", "list"},           {"+L", "large_list"},  {"+vl", "list_view"},        {"+vL", "large_list_view"},
    {"+s", "struct"},         {"+m", "map"},         {"+ud", "dense_union"},      {"+us", "sparse_union"},
    {"+r", "run_end_encoded"},
};

std::string words_of(const char* format) {
    for (const auto& k : kSimple) {
        if (std::strcmp(format, k.format) == 0) {
            return k.name;
        }
    }
    for (const auto& k : kOtherWords) {
        if (std::strcmp(format, k.format) == 0) {
            return k.words;
        }
    }
    if (std::strncmp(format, "w:", 2) == 0) {
        return std::string("fixed_size_binary[") + (format + 2) + "]";
    }
    if (std::strncmp(format, "+w:", 3) == 0) {
        return std::string("fixed_size_list[") + (format + 3) + "]";
    }
    if (std::strncmp(format, "d:", 2) == 0) {
        const char* comma = std::strchr(format, ',');
        const char* width = comma ? std::strchr(comma + 1, ',') : nullptr;
        std::string name = width ? "decimal" + std::string(width + 1) : std::string("decimal128");
        return name + "(" +
               std::string(format + 2, comma ? static_cast<std::size_t>(comma - format - 2) : 0) + ", " +
               (comma ? std::string(comma + 1, width ? static_cast<std::size_t>(width - comma - 1)
                                                     : std::strlen(comma + 1))
                      : "") +
               ")";
    }
    return "an Arrow type of another kind";
}

bool unit_of(char c, TimeUnit& unit) {
    switch (c) {
        case 's': unit = TimeUnit::Second; return true;
        case 'm': unit = TimeUnit::Milli; return true;
        case 'u': unit = TimeUnit::Micro; return true;
        case 'n': unit = TimeUnit::Nano; return true;
        default: return false;
    }
}

bool unit_named(const std::string& s, TimeUnit& unit) {
    if (s == "s" || s == "ms" || s == "us" || s == "ns") {
        return unit_of(s[0], unit);
    }
    return false;
}

// "p,s" or "p,s,128" (a format), "p, s" (a name): a decimal128's precision
// (1 to 38) and scale (0 to p).
bool decimal_of(const std::string& text, bool format, TypeSpec& spec) {
    char* end = nullptr;
    const long p = std::strtol(text.c_str(), &end, 10);
    if (*end != ',') {
        return false;
    }
    const char* rest = end + 1;
    if (!format && *rest == ' ') {
        ++rest;
    }
    const long s = std::strtol(rest, &end, 10);
    if (end == rest || (*end != '\0' && !(format && std::strcmp(end, ",128") == 0)) || p < 1 || p > 38 || s < 0 ||
        s > p) {
        return false;
    }
    spec.type = ColType::Decimal128;
    spec.precision = static_cast<int>(p);
    spec.scale = static_cast<int>(s);
    return true;
}

bool type_from_format(const ArrowSchema* schema, TypeSpec& spec) {
    const char* format = schema->format;
    if (schema->dictionary != nullptr) {
        if (std::strcmp(format, "i") != 0 || std::strcmp(schema->dictionary->format, "u") != 0) {
            return false;
        }
        spec.type = ColType::Dictionary;
        return true;
    }
    for (const auto& k : kSimple) {
        if (std::strcmp(format, k.format) == 0) {
            spec.type = k.type;
            return true;
        }
    }
    const std::size_t n = std::strlen(format);
    if (n == 3 && std::strncmp(format, "tt", 2) == 0 && (format[2] == 'u' || format[2] == 'n')) {
        spec.type = ColType::Time64;
        return unit_of(format[2], spec.unit);
    }
    if (n >= 4 && std::strncmp(format, "ts", 2) == 0 && format[3] == ':' && unit_of(format[2], spec.unit)) {
        spec.type = ColType::Timestamp;
        spec.has_zone = n > 4;
        spec.zone = format + 4;
        return true;
    }
    if (n > 2 && std::strncmp(format, "d:", 2) == 0) {
        return decimal_of(format + 2, true, spec);
    }
    return false;
}

bool type_from_name(const std::string& name, TypeSpec& spec) {
    for (const auto& k : kSimple) {
        if (name == k.name) {
            spec.type = k.type;
            return true;
        }
    }
    auto inside = [&](const char* head, char close) -> std::string {
        const std::size_t h = std::strlen(head);
        if (name.size() > h + 1 && name.compare(0, h, head) == 0 && name.back() == close) {
            return name.substr(h, name.size() - h - 1);
        }
        return std::string();
    };
    std::string args;
    if (!(args = inside("time64[", ']')).empty()) {
        spec.type = ColType::Time64;
        return (args == "us" || args == "ns") && unit_named(args, spec.unit);
    }
    if (!(args = inside("timestamp[", ']')).empty()) {
        spec.type = ColType::Timestamp;
        const std::size_t comma = args.find(", tz=");
        if (comma != std::string::npos) {
            spec.has_zone = true;
            spec.zone = args.substr(comma + 5);
            args.resize(comma);
        }
        return unit_named(args, spec.unit) && !(spec.has_zone && spec.zone.empty());
    }
    if (!(args = inside("decimal128(", ')')).empty()) {
        return decimal_of(args, false, spec);
    }
    if (name == "dictionary<values=string, indices=int32>" ||
        name == "dictionary<values=string, indices=int32, ordered=0>") {
        spec.type = ColType::Dictionary;
        return true;
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
        if (!type_from_format(child, field.spec)) {
            std::string words = words_of(child->format);
            if (child->dictionary != nullptr) {
                words = "dictionary<values=" + words_of(child->dictionary->format) + ", indices=" + words + ">";
            }
            PyErr_Format(PyExc_TypeError, "column '%s': the Arrow type %s is not supported (use %s)",
                         field.name.c_str(), words.c_str(), kSupported);
            return false;
        }
        field.type = field.spec.type;
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
        if (!type_from_name(type_text, field.spec)) {
            PyErr_Format(PyExc_TypeError, "column '%s': unknown type name '%s' (use %s)", field.name.c_str(),
                         type_text, kSupported);
            return false;
        }
        field.type = field.spec.type;
        fields.push_back(std::move(field));
    }
    return true;
}

}  // namespace

bool parse_schema_names(PyObject* spec, std::vector<std::string>& names) {
    Ref capsule = PyCapsule_CheckExact(spec) ? Ref::new_ref(spec) : Ref();
    if (!capsule) {
        Ref method = Ref::steal(PyObject_GetAttrString(spec, "__arrow_c_schema__"));
        capsule = method ? Ref::steal(PyObject_CallNoArgs(method.get())) : Ref();
        if (!capsule) {
            return false;
        }
    }
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule.get(), "arrow_schema"));
    if (schema == nullptr) {
        return false;
    }
    if (schema->release == nullptr || std::strcmp(schema->format, "+s") != 0) {
        PyErr_SetString(PyExc_TypeError, "the schema must describe a struct of columns");
        return false;
    }
    for (std::int64_t k = 0; k < schema->n_children; ++k) {
        const char* name = schema->children[k]->name;
        names.emplace_back(name != nullptr ? name : "");
    }
    return true;
}

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
