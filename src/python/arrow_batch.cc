// The ArrowBatch type: what Plan.extract_arrow returns.
//
// An instance holds a shared reference to one immutable core batch. Each
// __arrow_c_array__ / __arrow_c_stream__ / __arrow_c_schema__ call exports new
// C structs that share the same buffers, so consumers (pyarrow, polars,
// DuckDB) take the columns without a copy, and the buffers are freed when
// the last exported struct is released and the instance is gone, in any
// order. Capsule names and destructors follow the Arrow PyCapsule interface:
// a destructor releases a struct the consumer did not take (release still
// set), then frees the struct itself.
#include "python/arrow_batch.h"

#include <cstdlib>
#include <new>
#include <string>

#include "python/convert.h"

namespace ls::py {

namespace {

struct ArrowBatchObject {
  PyObject_HEAD
  std::shared_ptr<const ArrowBatch>* batch;  // owned; never null once constructed
};

const std::shared_ptr<const ArrowBatch>& batch_of(PyObject* self) {
  return *reinterpret_cast<ArrowBatchObject*>(self)->batch;
}

constexpr char kSchemaCapsule[] = "arrow_schema";
constexpr char kArrayCapsule[] = "arrow_array";
constexpr char kStreamCapsule[] = "arrow_array_stream";

template <class T, const char* kName>
void free_capsule(PyObject* capsule) {
  if (!PyCapsule_IsValid(capsule, kName)) return;
  T* s = static_cast<T*>(PyCapsule_GetPointer(capsule, kName));
  if (s->release) s->release(s);
  std::free(s);
}

// A capsule owning a malloc'd struct that `fill` initialises; on failure the
// struct is freed and the exception set.
template <class T, const char* kName, class F>
PyObject* make_capsule(F&& fill) {
  T* s = static_cast<T*>(std::malloc(sizeof(T)));
  if (!s) return PyErr_NoMemory();
  s->release = nullptr;
  if (!fill(s)) {
    std::free(s);
    return PyErr_NoMemory();
  }
  PyObject* capsule = PyCapsule_New(s, kName, free_capsule<T, kName>);
  if (!capsule) {
    s->release(s);
    std::free(s);
  }
  return capsule;
}

PyObject* schema_capsule(PyObject* self) {
  return make_capsule<ArrowSchema, kSchemaCapsule>(
      [&](ArrowSchema* s) { return export_schema(batch_of(self), s); });
}

// The optional requested_schema of the PyCapsule interface. The batch has one
// layout; a request is not honoured (the interface allows a producer to
// return its own schema), so the argument is only bound.
bool bind_requested_schema(const char* display, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const char* const kNames[] = {"requested_schema"};
  const Signature sig{display, kNames, 1, 0, 1};
  PyObject* a[1];
  return bind_args(sig, args, nargs, kwnames, a);
}

PyObject* batch_c_schema(PyObject* self, PyObject*) { return schema_capsule(self); }

PyObject* batch_c_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_requested_schema("ArrowBatch.__arrow_c_array__", args, nargs, kwnames)) return nullptr;
  Ref schema(schema_capsule(self));
  if (!schema) return nullptr;
  Ref array(make_capsule<ArrowArray, kArrayCapsule>(
      [&](ArrowArray* a) { return export_array(batch_of(self), a); }));
  if (!array) return nullptr;
  return PyTuple_Pack(2, schema.get(), array.get());
}

PyObject* batch_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_requested_schema("ArrowBatch.__arrow_c_stream__", args, nargs, kwnames)) return nullptr;
  return make_capsule<ArrowArrayStream, kStreamCapsule>(
      [&](ArrowArrayStream* s) { return export_stream(batch_of(self), s); });
}

PyObject* batch_get_num_rows(PyObject* self, void*) { return PyLong_FromLongLong(batch_of(self)->rows); }

PyObject* batch_get_column_names(PyObject* self, void*) {
  const std::vector<ArrowNode>& cols = batch_of(self)->columns;
  Ref t(PyTuple_New(static_cast<Py_ssize_t>(cols.size())));
  if (!t) return nullptr;
  for (size_t i = 0; i < cols.size(); ++i) {
    PyObject* name = str_from(cols[i].name);
    if (!name || PyTuple_SetItem(t.get(), static_cast<Py_ssize_t>(i), name) < 0) return nullptr;
  }
  return t.release();
}

// Bytes held by the batch's buffers (offsets, validity and values).
size_t node_bytes(const ArrowNode& n) {
  size_t total = n.validity.size() + n.offsets.size() + n.data.size();
  for (const ArrowNode& c : n.children) total += node_bytes(c);
  return total;
}

PyObject* batch_get_nbytes(PyObject* self, void*) {
  size_t total = 0;
  for (const ArrowNode& c : batch_of(self)->columns) total += node_bytes(c);
  return PyLong_FromSize_t(total);
}

Py_ssize_t batch_len(PyObject* self) { return static_cast<Py_ssize_t>(batch_of(self)->rows); }

PyObject* batch_repr(PyObject* self) {
  Ref names(batch_get_column_names(self, nullptr));
  if (!names) return nullptr;
  return PyUnicode_FromFormat("<ArrowBatch rows=%lld columns=%R>",
                              static_cast<long long>(batch_of(self)->rows), names.get());
}

void batch_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ArrowBatchObject*>(self)->batch;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

using FastCallKw = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyCFunction as_method(FastCallKw fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn));
}

PyMethodDef kMethods[] = {
    {"__arrow_c_schema__", batch_c_schema, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\n"
     "The batch's schema (a struct of its columns) as an \"arrow_schema\" PyCapsule."},
    {"__arrow_c_array__", as_method(batch_c_array), METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_array__($self, requested_schema=None)\n--\n\n"
     "(schema capsule, array capsule): the batch as one struct array, without a copy.\n"
     "A requested schema is not honoured; the batch has one layout."},
    {"__arrow_c_stream__", as_method(batch_c_stream), METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "An \"arrow_array_stream\" PyCapsule that yields this batch once, without a copy.\n"
     "A requested schema is not honoured; the batch has one layout."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"num_rows", batch_get_num_rows, nullptr, "One row per document, in input order.", nullptr},
    {"column_names", batch_get_column_names, nullptr,
     "The column names: flat queries, then groups (tuple of str).", nullptr},
    {"nbytes", batch_get_nbytes, nullptr, "Bytes held by the batch's buffers.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char kDoc[] =
    "The columnar result of Plan.extract_arrow: one row per document, one column per flat\n"
    "query and per group.\n\n"
    "It implements the Arrow PyCapsule interface (__arrow_c_array__, __arrow_c_stream__,\n"
    "__arrow_c_schema__), so pyarrow.record_batch(b), pyarrow.table(b), polars.from_arrow(b)\n"
    "and DuckDB take its buffers without copying them. It cannot be created directly.";

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_repr, reinterpret_cast<void*>(batch_repr)},
    {Py_sq_length, reinterpret_cast<void*>(batch_len)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "_larkspine.ArrowBatch",
    static_cast<int>(sizeof(ArrowBatchObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

PyObject* arrow_batch_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &kSpec, nullptr); }

PyObject* new_arrow_batch(PyObject* type, std::shared_ptr<const ArrowBatch> batch) {
  auto* held = new (std::nothrow) std::shared_ptr<const ArrowBatch>(std::move(batch));
  if (!held) return PyErr_NoMemory();
  auto* t = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(t, Py_tp_alloc));
  PyObject* self = alloc ? alloc(t, 0) : nullptr;
  if (!self) {
    delete held;
    return PyErr_Occurred() ? nullptr : PyErr_NoMemory();
  }
  reinterpret_cast<ArrowBatchObject*>(self)->batch = held;
  return self;
}

}  // namespace ls::py
