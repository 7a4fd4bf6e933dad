// The Plan type.
//
// An instance owns one core Plan, moved in at construction and only read
// afterwards, so any number of threads may extract with it at once while the
// interpreter lock is released. Instances hold no Python references, so the
// type takes no part in cyclic garbage collection.
#include "python/plan.h"

#include <new>
#include <vector>

#include "lib.h"
#include "python/convert.h"

namespace ls::py {

namespace {

struct PlanObject {
  PyObject_HEAD
  ls::Plan* plan;  // owned; never null once constructed
};

template <class F>
bool convert_param(const char* name, F&& convert) {
  if (convert()) return true;
  add_param_note(name);
  return false;
}

PyObject* plan_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"flat_queries", "groups", "first_only"};
  static const Signature kSig{"Plan", kNames, 3, 2, 0};
  // Re-shape (tuple, dict) into the fast-call form that bind_args reads.
  Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return nullptr;
  std::vector<PyObject*> flat_args;
  for (Py_ssize_t i = 0; i < nargs; ++i) flat_args.push_back(PyTuple_GetItem(args, i));
  Ref kwnames;
  if (kwargs && PyDict_Size(kwargs) > 0) {
    kwnames = Ref(PyTuple_New(PyDict_Size(kwargs)));
    if (!kwnames) return nullptr;
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_INCREF(key);
      PyTuple_SetItem(kwnames.get(), k++, key);
      flat_args.push_back(value);
    }
  }
  PyObject* a[3];
  if (!bind_args(kSig, flat_args.data(), nargs, kwnames.get(), a)) return nullptr;

  std::vector<std::string> flat_queries;
  std::vector<GroupQuery> groups;
  std::vector<bool> first_only;
  if (!convert_param("flat_queries", [&] { return convert_str_list(a[0], flat_queries); }) ||
      !convert_param("groups", [&] { return convert_groups(a[1], groups); }) ||
      !convert_param("first_only", [&] { return convert_first_only(a[2], first_only); }))
    return nullptr;

  auto* plan = new (std::nothrow) ls::Plan();
  if (!plan) return PyErr_NoMemory();
  // Compiled with the lock held: construction is once per schema.
  if (Fault f = compile_first_only(flat_queries, groups, first_only, *plan)) {
    delete plan;
    return raise_fault(f);
  }
  if (!check_budget(plan->usage())) {
    delete plan;
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc ? alloc(type, 0) : nullptr;
  if (!self) {
    delete plan;
    return PyErr_Occurred() ? nullptr : PyErr_NoMemory();
  }
  reinterpret_cast<PlanObject*>(self)->plan = plan;
  return self;
}

void plan_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<PlanObject*>(self)->plan;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// Shared by both methods: converts (html, encoding) and runs one scan.
bool plan_run(PyObject* self, const char* display, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames, ExtractResult& result) {
  static const char* const kNames[] = {"html", "encoding"};
  const Signature sig{display, kNames, 2, 1, 1};
  PyObject* a[2];
  if (!bind_args(sig, args, nargs, kwnames, a)) return false;
  Html html;
  std::optional<std::string> label;
  if (!convert_param("html", [&] { return convert_html(a[0], html); }) ||
      !convert_param("encoding", [&] { return convert_optional_str(a[1], label); }))
    return false;
  std::optional<std::string> use_label;
  if (!html_label(html, label, use_label)) return false;
  const ls::Plan& plan = *reinterpret_cast<PlanObject*>(self)->plan;
  std::optional<Bytes> label_view;
  if (use_label) label_view = Bytes(*use_label);
  Fault fault;
  Py_BEGIN_ALLOW_THREADS
  fault = plan.extract(html.bytes, label_view, result);
  Py_END_ALLOW_THREADS
  if (fault) {
    raise_fault(fault);
    return false;
  }
  return true;
}

PyObject* plan_extract(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ExtractResult result;
  if (!plan_run(self, "Plan.extract", args, nargs, kwnames, result)) return nullptr;
  return build_flat(result.flat);
}

PyObject* plan_extract_grouped(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  ExtractResult result;
  if (!plan_run(self, "Plan.extract_grouped", args, nargs, kwnames, result)) return nullptr;
  return build_result_tuple(result);
}

using FastCallKw = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyCFunction as_method(FastCallKw fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn));
}

PyMethodDef kMethods[] = {
    {"extract", as_method(plan_extract), METH_FASTCALL | METH_KEYWORDS,
     "extract($self, html, encoding=None)\n--\n\n"
     "One streaming pass over html, returning one value-column per flat query (query order).\n\n"
     "The interpreter lock is released for the duration of the scan (html is an immutable\n"
     "buffer and the compiled plan is read-only), so concurrent extracts on a thread pool run\n"
     "in parallel."},
    {"extract_grouped", as_method(plan_extract_grouped), METH_FASTCALL | METH_KEYWORDS,
     "extract_grouped($self, html, encoding=None)\n--\n\n"
     "One streaming pass returning (flat_columns, grouped), as the extract_grouped free\n"
     "function. It also releases the interpreter lock for the duration of the scan."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kPlanDoc[] =
    "Plan(flat_queries, groups, first_only=None)\n--\n\n"
    "A schema compiled once and reused across pages.\n\n"
    "The native object behind the Python layer's larkspine.Page / LarkPage, which build a Plan\n"
    "a single time and call it per response instead of re-sending string selectors (and\n"
    "re-parsing them) every page. The budget is validated at construction, so an over-budget\n"
    "schema raises ValueError there, once, not on every extract.";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(plan_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plan_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(kPlanDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "_larkspine.Plan",
    static_cast<int>(sizeof(PlanObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* plan_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &kSpec, nullptr); }

}  // namespace ls::py
