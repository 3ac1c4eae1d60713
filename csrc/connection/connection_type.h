// The Connection class: an ordinary class of the interpreter (made by the
// metaclass `type`, base `object`, instance __dict__, subclassable) whose
// methods are implemented in C++.
#pragma once

#include "ref.h"

namespace vantrel {

// Builds the class; `create_connection` becomes the initial socket factory.
Ref make_connection_class(PyObject* module_name, PyObject* create_connection);

}  // namespace vantrel
