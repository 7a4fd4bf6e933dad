// The module's private entries (see private.cc).
#pragma once

#include "python/errors.h"

namespace ls::py {

// Sets them on the module, outside `__all__`. False with an exception set.
bool add_private_functions(PyObject* module);

}  // namespace ls::py
