// Faults and conversion errors as Python exceptions.
#include "python/errors.h"

#include <string>

namespace ls::py {

namespace {
// Created once, under the interpreter lock, and kept for the process: the
// core has no module state and an internal fault may come from any call.
PyObject* g_internal_fault = nullptr;
}  // namespace

PyObject* internal_fault_type() {
  if (!g_internal_fault) {
    g_internal_fault = PyErr_NewExceptionWithDoc(
        "_larkspine.InternalFault",
        "An internal invariant of the Larkspine core failed. Derived from BaseException so that "
        "handlers for ordinary errors do not swallow it; please report it with the input.",
        PyExc_BaseException, nullptr);
    if (!g_internal_fault) return nullptr;
  }
  Py_INCREF(g_internal_fault);
  return g_internal_fault;
}

PyObject* raise_fault(const Fault& fault) {
  switch (fault.kind) {
    case FaultKind::kOutOfMemory:
      return PyErr_NoMemory();
    case FaultKind::kDocumentTooLarge:
    case FaultKind::kBatchTooLarge:
      PyErr_SetString(PyExc_ValueError, fault.message.c_str());
      return nullptr;
    case FaultKind::kInternal:
    case FaultKind::kNone: {
      Ref type(internal_fault_type());
      if (!type) return nullptr;
      PyErr_SetString(type.get(), fault.message.empty() ? "larkspine: internal fault"
                                                         : fault.message.c_str());
      return nullptr;
    }
  }
  return nullptr;
}

void add_param_note(const char* param) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  std::string note = std::string("while processing '") + param + "'";
  if (value) {
    Ref r(PyObject_CallMethod(value, "add_note", "s", note.c_str()));
    if (!r) {
      // Keep the original error; a failing add_note must not replace it.
      PyErr_Clear();
    }
  }
  PyErr_Restore(type, value, tb);
}

std::string type_name(PyObject* obj) {
  PyTypeObject* t = Py_TYPE(obj);
  Ref name(PyType_GetName(t));
  if (!name) {
    PyErr_Clear();
    return "?";
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
  if (!s) {
    PyErr_Clear();
    return "?";
  }
  return std::string(s, static_cast<size_t>(n));
}

void raise_conversion(PyObject* obj, const char* expected) {
  std::string msg = "'";
  msg.append(type_name(obj)).append("' object cannot be converted to '").append(expected).append("'");
  PyErr_SetString(PyExc_TypeError, msg.c_str());
}

}  // namespace ls::py
