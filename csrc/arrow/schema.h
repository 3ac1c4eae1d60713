// Reading the columns a caller fixes: an Arrow schema (a PyCapsule named
// "arrow_schema", or any object with __arrow_c_schema__, such as a
// pyarrow.Schema) or a sequence of (name, type name) pairs.
#pragma once

#include <vector>

#include "ref.h"
#include "types.h"

namespace vantrel::arrow {

// False with a Python exception set when `spec` is not a usable schema.
bool parse_schema(PyObject* spec, std::vector<Field>& fields);
// The field names of an Arrow schema (capsule or __arrow_c_schema__), whatever
// their types; false with a Python exception set when it is not one.
bool parse_schema_names(PyObject* spec, std::vector<std::string>& names);

}  // namespace vantrel::arrow
