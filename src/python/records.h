// _records_text(): a record batch written as JSON Lines or CSV (see
// records_text.h in the core).
#pragma once

#include "python/errors.h"

namespace ls::py {

PyObject* py_records_text(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

extern const char kRecordsTextDoc[];

}  // namespace ls::py
