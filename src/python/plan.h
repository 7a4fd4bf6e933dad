// The Python type `Plan`: a schema compiled once and reused across pages.
#pragma once

#include "python/errors.h"

namespace ls::py {

// Creates the Plan type for `module` (a new reference, or nullptr).
PyObject* plan_type(PyObject* module);

}  // namespace ls::py
