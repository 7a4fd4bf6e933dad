// Turning core faults and conversion failures into Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "base.h"

namespace ls::py {

// Raises the exception for a core fault (which must be set): MemoryError,
// ValueError for a document too large, or the internal-fault type, which
// derives from BaseException so that `except Exception` does not swallow it.
// Always returns nullptr.
PyObject* raise_fault(const Fault& fault);

// The internal-fault exception type (a new reference), created on first use.
PyObject* internal_fault_type();

// Adds the note "while processing '<param>'" to the pending exception.
void add_param_note(const char* param);

// Raises TypeError("'<type>' object cannot be converted to '<expected>'").
void raise_conversion(PyObject* obj, const char* expected);

// The type's name for messages, or "?" when it cannot be obtained.
std::string type_name(PyObject* obj);

// A new reference or nullptr with the exception set.
inline PyObject* str_from(Bytes s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// Owns one reference.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* o) : o_(o) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& r) noexcept : o_(r.release()) {}
  Ref& operator=(Ref&& r) noexcept {
    if (this != &r) {
      Py_XDECREF(o_);
      o_ = r.release();
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(o_); }
  PyObject* get() const { return o_; }
  PyObject* release() {
    PyObject* o = o_;
    o_ = nullptr;
    return o;
  }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  PyObject* o_ = nullptr;
};

}  // namespace ls::py
