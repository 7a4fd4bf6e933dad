// The Python type `ArrowBatch`: a finished columnar batch, handed to Arrow
// consumers through the Arrow PyCapsule interface.
#pragma once

#include <memory>

#include "arrow.h"
#include "python/errors.h"

namespace ls::py {

// Creates the ArrowBatch type for `module` (a new reference, or nullptr).
PyObject* arrow_batch_type(PyObject* module);

// A new ArrowBatch owning `batch` (or nullptr with the exception set).
// `type` is the ArrowBatch type.
PyObject* new_arrow_batch(PyObject* type, std::shared_ptr<const ArrowBatch> batch);

}  // namespace ls::py
