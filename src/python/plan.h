// The Python type `Plan`: a schema compiled once and reused across pages.
#pragma once

#include "python/errors.h"

namespace ls::py {

// Creates the Plan type for `module` (a new reference, or nullptr).
PyObject* plan_type(PyObject* module);

// The type Plan.extract_arrow returns (kept, with a reference, for the process).
void set_arrow_batch_type(PyObject* type);

}  // namespace ls::py
