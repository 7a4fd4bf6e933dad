// _join_links(): a page's links joined to its base URL where the core proves
// the concatenation (see link_join.h).
#pragma once

#include "python/errors.h"

namespace ls::py {

PyObject* py_join_links(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

extern const char kJoinLinksDoc[];

// _join_link_array(values, pages, fallback) -> (offsets, data): see links.cc.
PyObject* py_join_link_array(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace ls::py
