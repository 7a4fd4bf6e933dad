// The Python type `Plan`: a schema compiled once and reused across pages.
#pragma once

#include "arrow.h"
#include "python/errors.h"

namespace ls::py {

// Creates the Plan type for `module` (a new reference, or nullptr).
PyObject* plan_type(PyObject* module);

// The type Plan.extract_arrow returns (kept, with a reference, for the process).
void set_arrow_batch_type(PyObject* type);
// That type (borrowed; null before the module made it).
PyObject* arrow_batch_type_object();

// The core plan of a Plan instance and the layout of its Arrow batches with
// `names` (null or None: as Plan.extract_arrow names them). False with
// TypeError (not a Plan) or ValueError set. The plan lives as long as `obj`.
bool plan_layout(PyObject* obj, PyObject* names, const ls::Plan*& plan, BatchLayout& layout);

}  // namespace ls::py
