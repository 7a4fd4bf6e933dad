// The Plan type.
//
// An instance owns one core Plan, moved in at construction and only read
// afterwards, so any number of threads may extract with it at once while the
// interpreter lock is released. Instances hold no Python references, so the
// type takes no part in cyclic garbage collection.
#include "python/plan.h"

#include <new>
#include <vector>

#include "arrow.h"
#include "lib.h"
#include "python/arrow_batch.h"
#include "python/convert.h"

namespace ls::py {

namespace {

// The schema as the caller gave it, kept for introspection, repr and
// pickling. First-only flags are normalised to one per flat query (missing
// flags are false, extra ones were ignored by the compiler anyway), so a plan
// rebuilt from these fields compiles to the same schema.
struct PlanSource {
  std::vector<std::string> flat_queries;
  std::vector<GroupQuery> groups;
  std::vector<bool> first_only;
  bool has_flags = false;  // first_only was given (not None)
};

struct PlanObject {
  PyObject_HEAD
  ls::Plan* plan;       // owned; never null once constructed
  PlanSource* source;  // owned; never null once constructed
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
  auto* source = new (std::nothrow) PlanSource();
  if (!source) {
    delete plan;
    return PyErr_NoMemory();
  }
  // Compiled with the lock held: construction is once per schema.
  auto drop = [&] {
    delete plan;
    delete source;
  };
  if (Fault f = compile_first_only(flat_queries, groups, first_only, *plan)) {
    drop();
    return raise_fault(f);
  }
  if (!check_budget(plan->usage())) {
    drop();
    return nullptr;
  }
  Fault kept = guarded([&] {
    source->has_flags = a[2] != nullptr && a[2] != Py_None;
    source->first_only.assign(flat_queries.size(), false);
    for (size_t i = 0; i < flat_queries.size() && i < first_only.size(); ++i)
      source->first_only[i] = first_only[i];
    source->flat_queries = std::move(flat_queries);
    source->groups = std::move(groups);
  });
  if (kept) {
    drop();
    return raise_fault(kept);
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc ? alloc(type, 0) : nullptr;
  if (!self) {
    drop();
    return PyErr_Occurred() ? nullptr : PyErr_NoMemory();
  }
  reinterpret_cast<PlanObject*>(self)->plan = plan;
  reinterpret_cast<PlanObject*>(self)->source = source;
  return self;
}

void plan_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<PlanObject*>(self)->plan;
  delete reinterpret_cast<PlanObject*>(self)->source;
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

const PlanSource& source_of(PyObject* self) {
  return *reinterpret_cast<PlanObject*>(self)->source;
}

// extract_arrow's `encoding`: None, one label for every document, or a
// sequence of one label (or None) per document.
bool convert_batch_labels(PyObject* obj, size_t count, std::vector<std::optional<std::string>>& out) {
  out.assign(count, std::nullopt);
  if (!obj || obj == Py_None) return true;
  if (PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_UNICODE_SUBCLASS) {
    std::string label;
    if (!convert_str(obj, label)) return false;
    for (std::optional<std::string>& l : out) l = label;
    return true;
  }
  if (!PySequence_Check(obj)) {
    raise_conversion(obj, "str | Sequence[str | None]");
    return false;
  }
  Ref it(PyObject_GetIter(obj));
  if (!it) return false;
  size_t i = 0;
  while (Ref item{PyIter_Next(it.get())}) {
    if (i < count && !convert_optional_str(item.get(), out[i])) return false;
    ++i;
  }
  if (PyErr_Occurred()) return false;
  if (i != count) {
    std::string msg = "larkspine: encoding has " + std::to_string(i) + " labels for " +
                      std::to_string(count) + " documents";
    PyErr_SetString(PyExc_ValueError, msg.c_str());
    return false;
  }
  return true;
}

// The column names: as given (one per flat query, then one per group), or
// each column's index.
bool convert_batch_names(PyObject* obj, size_t count, std::vector<std::string>& out) {
  out.clear();
  if (!obj || obj == Py_None) {
    for (size_t i = 0; i < count; ++i) out.push_back(std::to_string(i));
    return true;
  }
  if (!convert_str_list(obj, out)) return false;
  if (out.size() != count) {
    std::string msg = "larkspine: names has " + std::to_string(out.size()) + " entries for " +
                      std::to_string(count) + " columns (the flat queries, then the groups)";
    PyErr_SetString(PyExc_ValueError, msg.c_str());
    return false;
  }
  return true;
}

bool convert_threads(PyObject* obj, unsigned& out) {
  out = 1;
  if (!obj) return true;
  if (!PyLong_Check(obj)) {
    raise_conversion(obj, "int");
    return false;
  }
  long n = PyLong_AsLong(obj);
  if (n == -1 && PyErr_Occurred()) return false;
  if (n < 0 || n > 4096) {
    std::string msg = "larkspine: threads must be from 0 (one per CPU) to 4096, got " + std::to_string(n);
    PyErr_SetString(PyExc_ValueError, msg.c_str());
    return false;
  }
  out = static_cast<unsigned>(n);
  return true;
}

// The ArrowBatch type, kept for the process once the module has made it.
PyObject* g_arrow_batch_type = nullptr;
// The Plan type, kept likewise (an instance is recognised by it).
PyObject* g_plan_type = nullptr;

PyObject* plan_extract_arrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const char* const kNames[] = {"documents", "encoding", "threads", "names"};
  static const Signature kSig{"Plan.extract_arrow", kNames, 4, 1, 1, 2};
  PyObject* a[4];
  if (!bind_args(kSig, args, nargs, kwnames, a)) return nullptr;
  if (!g_arrow_batch_type) {
    PyErr_SetString(PyExc_RuntimeError, "larkspine: the ArrowBatch type is not initialised");
    return nullptr;
  }
  const PlanSource& src = source_of(self);
  const size_t columns = src.flat_queries.size() + src.groups.size();
  HeldDocuments held;
  std::vector<std::optional<std::string>> labels;
  unsigned threads = 1;
  BatchLayout layout;
  if (!convert_param("documents", [&] { return convert_documents(a[0], held); }) ||
      !convert_param("encoding", [&] { return convert_batch_labels(a[1], held.docs.size(), labels); }) ||
      !convert_param("threads", [&] { return convert_threads(a[2], threads); }) ||
      !convert_param("names", [&] { return convert_batch_names(a[3], columns, layout.names); }))
    return nullptr;
  std::vector<BatchDocument> docs(held.docs.size());
  for (size_t i = 0; i < docs.size(); ++i) {
    std::optional<std::string> use_label;
    if (!html_label(held.docs[i], labels[i], use_label)) return nullptr;
    labels[i] = std::move(use_label);
    docs[i].bytes = held.docs[i].bytes;
    if (labels[i]) docs[i].label = Bytes(*labels[i]);
  }
  layout.first_only = src.first_only;
  for (const GroupQuery& g : src.groups) {
    std::vector<std::string> subs;
    for (const auto& field : g.fields) subs.push_back(field.first);
    layout.sub_names.push_back(std::move(subs));
  }
  const ls::Plan& plan = *reinterpret_cast<PlanObject*>(self)->plan;
  std::shared_ptr<const ArrowBatch> batch;
  Fault fault;
  // The one release of the lock for the whole batch: the views above stay
  // valid (held references, read-only buffers, copies) until `held` goes.
  Py_BEGIN_ALLOW_THREADS
  fault = extract_batch(plan, layout, docs, threads, batch);
  Py_END_ALLOW_THREADS
  if (fault) return raise_fault(fault);
  return new_arrow_batch(g_arrow_batch_type, std::move(batch));
}

// A tuple built from `n` new references made by `item(i)`.
template <class F>
PyObject* build_tuple(size_t n, F&& item) {
  Ref t(PyTuple_New(static_cast<Py_ssize_t>(n)));
  if (!t) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    PyObject* v = item(i);
    if (!v || PyTuple_SetItem(t.get(), static_cast<Py_ssize_t>(i), v) < 0) return nullptr;
  }
  return t.release();
}

PyObject* str_of(const std::string& s) { return str_from(Bytes(s)); }

PyObject* flat_queries_tuple(const PlanSource& src) {
  return build_tuple(src.flat_queries.size(), [&](size_t i) { return str_of(src.flat_queries[i]); });
}

// ((container, ((name, query), ...)), ...): the shape the constructor takes.
PyObject* groups_tuple(const PlanSource& src) {
  return build_tuple(src.groups.size(), [&](size_t g) -> PyObject* {
    const GroupQuery& group = src.groups[g];
    Ref fields(build_tuple(group.fields.size(), [&](size_t f) -> PyObject* {
      Ref name(str_of(group.fields[f].first));
      Ref query(str_of(group.fields[f].second));
      if (!name || !query) return nullptr;
      return PyTuple_Pack(2, name.get(), query.get());
    }));
    Ref container(str_of(group.container));
    if (!fields || !container) return nullptr;
    return PyTuple_Pack(2, container.get(), fields.get());
  });
}

PyObject* first_only_tuple(const PlanSource& src) {
  return build_tuple(src.first_only.size(), [&](size_t i) {
    return PyBool_FromLong(src.first_only[i] ? 1 : 0);
  });
}

PyObject* plan_get_flat_queries(PyObject* self, void*) { return flat_queries_tuple(source_of(self)); }
PyObject* plan_get_groups(PyObject* self, void*) { return groups_tuple(source_of(self)); }
PyObject* plan_get_first_only(PyObject* self, void*) { return first_only_tuple(source_of(self)); }

// The constructor's arguments: what pickling and the repr rebuild from.
// first_only is None when no flag was given, so a plan without flags
// round-trips to one without flags.
PyObject* constructor_args(PyObject* self) {
  const PlanSource& src = source_of(self);
  Ref flat(flat_queries_tuple(src));
  Ref groups(groups_tuple(src));
  if (!flat || !groups) return nullptr;
  Ref flags(src.has_flags ? first_only_tuple(src) : Py_NewRef(Py_None));
  if (!flags) return nullptr;
  return PyTuple_Pack(3, flat.get(), groups.get(), flags.get());
}

PyObject* plan_reduce(PyObject* self, PyObject*) {
  Ref args(constructor_args(self));
  if (!args) return nullptr;
  return Py_BuildValue("(OO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get());
}

// A plan is immutable, so a copy may be the plan itself.
PyObject* plan_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* plan_repr(PyObject* self) {
  Ref args(constructor_args(self));
  if (!args) return nullptr;
  const PlanSource& src = source_of(self);
  bool any_flag = false;
  for (bool f : src.first_only) any_flag = any_flag || f;
  if (any_flag)
    return PyUnicode_FromFormat("Plan(%R, %R, first_only=%R)", PyTuple_GetItem(args.get(), 0),
                                PyTuple_GetItem(args.get(), 1), PyTuple_GetItem(args.get(), 2));
  return PyUnicode_FromFormat("Plan(%R, %R)", PyTuple_GetItem(args.get(), 0),
                              PyTuple_GetItem(args.get(), 1));
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
    {"extract_arrow", as_method(plan_extract_arrow), METH_FASTCALL | METH_KEYWORDS,
     "extract_arrow($self, documents, encoding=None, *, threads=1, names=None)\n--\n\n"
     "Many documents in one call, returned as one Arrow record batch (an ArrowBatch).\n\n"
     "documents is an iterable of bytes, bytes-like objects or str; encoding is None, one\n"
     "charset label for all of them, or a sequence of one label (or None) per document. The\n"
     "batch has one row per document, in input order, and one column per flat query\n"
     "(list<string>; string, null when absent, for a first-only query) and per group\n"
     "(list<struct<one list<string> per sub-field>>), named by names (one per flat query,\n"
     "then one per group) or by their index (\"0\", \"1\", ...). Every value equals what\n"
     "extract / extract_grouped returns for that document.\n\n"
     "The interpreter lock is released once for the whole batch; threads=N splits the batch\n"
     "over N native threads (0: one per CPU). Values are copied once, into the batch's\n"
     "buffers, which pyarrow, polars and DuckDB take without a copy through the Arrow\n"
     "PyCapsule interface. A column is limited to 2 GiB of values (32-bit offsets): a larger\n"
     "batch raises ValueError."},
    {"__reduce__", plan_reduce, METH_NOARGS,
     "Pickling support: a plan is rebuilt (and recompiled) from its queries."},
    {"__copy__", plan_copy, METH_NOARGS, "A plan is immutable: its copy is itself."},
    {"__deepcopy__", plan_copy, METH_O, "A plan is immutable: its copy is itself."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"flat_queries", plan_get_flat_queries, nullptr,
     "The flat queries, in column order (tuple of str).", nullptr},
    {"groups", plan_get_groups, nullptr,
     "The groups as ((container, ((name, query), ...)), ...).", nullptr},
    {"first_only", plan_get_first_only, nullptr,
     "One first-only flag per flat query (tuple of bool).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
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
    {Py_tp_getset, kGetSet},
    {Py_tp_repr, reinterpret_cast<void*>(plan_repr)},
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

PyObject* plan_type(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
  if (type) {
    Py_INCREF(type);
    Py_XDECREF(g_plan_type);
    g_plan_type = type;
  }
  return type;
}

bool plan_layout(PyObject* obj, PyObject* names, const ls::Plan*& plan, BatchLayout& layout) {
  if (!g_plan_type || Py_TYPE(obj) != reinterpret_cast<PyTypeObject*>(g_plan_type)) {
    raise_conversion(obj, "Plan | None");
    return false;
  }
  const PlanSource& src = source_of(obj);
  const size_t columns = src.flat_queries.size() + src.groups.size();
  if (!convert_param("names", [&] { return convert_batch_names(names, columns, layout.names); })) return false;
  Fault kept = guarded([&] {
    layout.first_only = src.first_only;
    layout.sub_names.clear();
    for (const GroupQuery& g : src.groups) {
      std::vector<std::string> subs;
      for (const auto& field : g.fields) subs.push_back(field.first);
      layout.sub_names.push_back(std::move(subs));
    }
  });
  if (kept) {
    raise_fault(kept);
    return false;
  }
  plan = reinterpret_cast<PlanObject*>(obj)->plan;
  return true;
}

PyObject* arrow_batch_type_object() { return g_arrow_batch_type; }

void set_arrow_batch_type(PyObject* type) {
  Py_XINCREF(type);
  Py_XDECREF(g_arrow_batch_type);
  g_arrow_batch_type = type;
}

}  // namespace ls::py
