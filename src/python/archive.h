// The private Python type `_ArchiveRun` (see archive.cc).
#pragma once

#include "python/errors.h"

namespace ls::py {

// Creates the _ArchiveRun type for `module` (a new reference, or nullptr).
PyObject* archive_run_type(PyObject* module);

}  // namespace ls::py
