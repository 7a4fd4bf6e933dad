// The module `_larkspine`: creation and the free functions.
//
// Arguments are converted to plain core values with the interpreter lock
// held; compile and scan run with it released; results are built after it
// is taken again. The core never sees a PyObject and never throws here.
#include <optional>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "encoding.h"
#include "lib.h"
#include "python/convert.h"
#include "python/archive.h"
#include "python/arrow_batch.h"
#include "python/errors.h"
#include "python/plan.h"
#include "python/private.h"

namespace ls::py {

namespace {

constexpr char kModuleDoc[] = "Native Larkspine core: treeless, one-pass HTML extraction.";

std::optional<Bytes> as_bytes(const std::optional<std::string>& s) {
  if (!s) return std::nullopt;
  return Bytes(*s);
}

// Converts one bound argument, adding the parameter note on failure.
template <class F>
bool convert_param(const char* name, F&& convert) {
  if (convert()) return true;
  add_param_note(name);
  return false;
}

// Compiles the throw-away plan of a free call with the lock released, then
// checks its budget (counted from the same compiled selectors) with the lock
// held. False with an exception set when the schema is refused.
bool compile_checked(const std::vector<std::string>& flat, const std::vector<GroupQuery>& groups,
                     ls::Plan& plan) {
  Fault fault;
  Py_BEGIN_ALLOW_THREADS
  fault = compile_first_only(flat, groups, {}, plan);
  Py_END_ALLOW_THREADS
  if (fault) {
    raise_fault(fault);
    return false;
  }
  return check_budget(plan.usage());
}

PyObject* py_extract(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"html", "queries", "encoding"};
  static const Signature kSig{"extract", kNames, 3, 2, 0};
  PyObject* a[3];
  if (!bind_args(kSig, args, nargs, kwnames, a)) return nullptr;
  Html html;
  std::vector<std::string> queries;
  std::optional<std::string> label;
  if (!convert_param("html", [&] { return convert_html(a[0], html); }) ||
      !convert_param("queries", [&] { return convert_str_list(a[1], queries); }) ||
      !convert_param("encoding", [&] { return convert_optional_str(a[2], label); }))
    return nullptr;
  ls::Plan plan;
  if (!compile_checked(queries, {}, plan)) return nullptr;
  std::optional<std::string> use_label;
  if (!html_label(html, label, use_label)) return nullptr;

  ExtractResult result;
  Fault fault;
  Py_BEGIN_ALLOW_THREADS
  fault = plan.extract(html.bytes, as_bytes(use_label), result);
  Py_END_ALLOW_THREADS
  if (fault) return raise_fault(fault);
  return build_flat(result.flat);
}

PyObject* py_extract_grouped(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const char* const kNames[] = {"html", "flat_queries", "groups", "encoding"};
  static const Signature kSig{"extract_grouped", kNames, 4, 3, 0};
  PyObject* a[4];
  if (!bind_args(kSig, args, nargs, kwnames, a)) return nullptr;
  Html html;
  std::vector<std::string> flat_queries;
  std::vector<GroupQuery> groups;
  std::optional<std::string> label;
  if (!convert_param("html", [&] { return convert_html(a[0], html); }) ||
      !convert_param("flat_queries", [&] { return convert_str_list(a[1], flat_queries); }) ||
      !convert_param("groups", [&] { return convert_groups(a[2], groups); }) ||
      !convert_param("encoding", [&] { return convert_optional_str(a[3], label); }))
    return nullptr;
  ls::Plan plan;
  if (!compile_checked(flat_queries, groups, plan)) return nullptr;
  std::optional<std::string> use_label;
  if (!html_label(html, label, use_label)) return nullptr;

  ExtractResult result;
  Fault fault;
  Py_BEGIN_ALLOW_THREADS
  fault = plan.extract(html.bytes, as_bytes(use_label), result);
  Py_END_ALLOW_THREADS
  if (fault) return raise_fault(fault);
  return build_result_tuple(result);
}

PyObject* py_audit_schema(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"flat_queries", "groups"};
  static const Signature kSig{"audit_schema", kNames, 2, 2, 0};
  PyObject* a[2];
  if (!bind_args(kSig, args, nargs, kwnames, a)) return nullptr;
  std::vector<std::string> flat_queries;
  std::vector<GroupQuery> groups;
  if (!convert_param("flat_queries", [&] { return convert_str_list(a[0], flat_queries); }) ||
      !convert_param("groups", [&] { return convert_groups(a[1], groups); }))
    return nullptr;
  SchemaAudit audit;
  Fault fault = guarded([&] { audit = ls::audit_schema(flat_queries, groups); });
  if (fault) return raise_fault(fault);

  auto support_tuple = [](const Support& s) -> PyObject* {
    if (!s.reason) return Py_BuildValue("(OO)", Py_True, Py_None);
    return Py_BuildValue("(ON)", Py_False, str_from(*s.reason));
  };
  Ref flat(PyList_New(static_cast<Py_ssize_t>(audit.flat.size())));
  if (!flat) return nullptr;
  for (size_t i = 0; i < audit.flat.size(); ++i) {
    PyObject* t = support_tuple(audit.flat[i]);
    if (!t) return nullptr;
    PyList_SetItem(flat.get(), static_cast<Py_ssize_t>(i), t);
  }
  Ref grouped(PyList_New(static_cast<Py_ssize_t>(audit.groups.size())));
  if (!grouped) return nullptr;
  for (size_t g = 0; g < audit.groups.size(); ++g) {
    const auto& [container, subs] = audit.groups[g];
    Ref sub_list(PyList_New(static_cast<Py_ssize_t>(subs.size())));
    if (!sub_list) return nullptr;
    for (size_t j = 0; j < subs.size(); ++j) {
      PyObject* t = support_tuple(subs[j]);
      if (!t) return nullptr;
      PyList_SetItem(sub_list.get(), static_cast<Py_ssize_t>(j), t);
    }
    PyObject* entry = Py_BuildValue("(NO)", support_tuple(container), sub_list.get());
    if (!entry) return nullptr;
    PyList_SetItem(grouped.get(), static_cast<Py_ssize_t>(g), entry);
  }
  return Py_BuildValue("(OO(kkkk))", flat.get(), grouped.get(),
                       static_cast<unsigned long>(audit.budget.members), static_cast<unsigned long>(kMaxMembers),
                       static_cast<unsigned long>(audit.budget.sib_bits), static_cast<unsigned long>(kMaxSibBits));
}

PyObject* py_selector_terminals(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  static const char* const kNames[] = {"queries"};
  static const Signature kSig{"selector_terminals", kNames, 1, 1, 0};
  PyObject* a[1];
  if (!bind_args(kSig, args, nargs, kwnames, a)) return nullptr;
  std::vector<std::string> queries;
  if (!convert_param("queries", [&] { return convert_str_list(a[0], queries); })) return nullptr;
  std::vector<std::optional<const char*>> names;
  Fault fault = guarded([&] {
    for (const std::string& q : queries) {
      std::vector<Selector> sel = compile_query(q);
      names.push_back(sel.empty() ? std::nullopt
                                  : std::optional<const char*>(terminal_name(sel[0].terminal)));
    }
  });
  if (fault) return raise_fault(fault);
  Ref list(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < names.size(); ++i) {
    PyObject* item = names[i] ? PyUnicode_FromString(*names[i]) : Py_NewRef(Py_None);
    if (!item) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* py_selector_node_identity(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  static const char* const kNames[] = {"queries"};
  static const Signature kSig{"selector_node_identity", kNames, 1, 1, 0};
  PyObject* a[1];
  if (!bind_args(kSig, args, nargs, kwnames, a)) return nullptr;
  std::vector<std::string> queries;
  if (!convert_param("queries", [&] { return convert_str_list(a[0], queries); })) return nullptr;
  std::vector<NodeIdentity> ids;
  Fault fault = guarded([&] {
    for (const std::string& q : queries) ids.push_back(node_identity(compile_query(q)));
  });
  if (fault) return raise_fault(fault);
  Ref list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < ids.size(); ++i) {
    PyObject* tag = ids[i].pinned_tag ? str_from(*ids[i].pinned_tag) : Py_NewRef(Py_None);
    if (!tag) return nullptr;
    PyObject* item = Py_BuildValue("(NO)", tag, ids[i].synthesized ? Py_True : Py_False);
    if (!item) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* py_resolve_label(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"label"};
  static const Signature kSig{"resolve_label", kNames, 1, 1, 0};
  PyObject* a[1];
  if (!bind_args(kSig, args, nargs, kwnames, a)) return nullptr;
  std::string label;
  if (!convert_param("label", [&] { return convert_str(a[0], label); })) return nullptr;
  std::optional<whatwg::Encoding> e = whatwg::for_label(label);
  if (!e) Py_RETURN_NONE;
  return PyUnicode_FromString(whatwg::canonical_name(*e));
}

PyObject* py_detect_encoding(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const char* const kNames[] = {"html", "encoding"};
  static const Signature kSig{"detect_encoding", kNames, 2, 1, 0};
  PyObject* a[2];
  if (!bind_args(kSig, args, nargs, kwnames, a)) return nullptr;
  Html html;
  std::optional<std::string> label;
  if (!convert_param("html", [&] { return convert_html(a[0], html); }) ||
      !convert_param("encoding", [&] { return convert_optional_str(a[1], label); }))
    return nullptr;
  if (html.is_str) {
    std::optional<std::string> unused;
    if (!html_label(html, label, unused)) return nullptr;
    return PyUnicode_FromString("UTF-8");
  }
  whatwg::Encoding e = whatwg::Encoding::kUtf8;
  Fault fault = guarded([&] { e = resolve(html.bytes, as_bytes(label)); });
  if (fault) return raise_fault(fault);
  return PyUnicode_FromString(whatwg::canonical_name(e));
}

using FastCallKw = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// The interpreter calls a METH_FASTCALL | METH_KEYWORDS entry with this
// signature; PyMethodDef stores it as a plain PyCFunction.
PyCFunction as_method(FastCallKw fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn));
}

PyMethodDef kFunctions[] = {
    {"extract", as_method(py_extract), METH_FASTCALL | METH_KEYWORDS,
     "extract(html, queries, encoding=None)\n--\n\n"
     "One streaming pass over html, without building a tree, returning one value-column per\n"
     "query, in query order; each column holds its values (str) in document order.\n\n"
     "html: bytes (or a bytes subclass such as web-poet's HttpResponseBody), or an\n"
     "already-decoded str. The pure-Python larkspine.extract wrapper converts the remaining\n"
     "bytes-likes (bytearray, memoryview).\n"
     "queries: a list of CSS (with ::text / ::attr(name)) or XPath queries.\n"
     "encoding: an optional charset label, as Scrapy passes it from Content-Type; None\n"
     "sniffs (BOM, then <meta>, then UTF-8).\n\n"
     "Unsupported queries yield an empty column; there is no fallback. Raises ValueError if\n"
     "the schema exceeds the member/sibling-bit budget (a caller error)."},
    {"extract_grouped", as_method(py_extract_grouped), METH_FASTCALL | METH_KEYWORDS,
     "extract_grouped(html, flat_queries, groups, encoding=None)\n--\n\n"
     "One streaming pass returning (flat_columns, grouped).\n\n"
     "groups is a list of (container_selector, [(subfield_name, subfield_selector), ...]).\n"
     "grouped[g] is that group's rows in document order, each row a list of sub-field\n"
     "value-columns ([group][row][subfield][value]). Sub-field names are carried by the\n"
     "caller (the pure-Python Page/webpoet layer); the engine keys sub-columns positionally.\n"
     "Same one-pass, no-DOM, no-fallback semantics as extract."},
    {"audit_schema", as_method(py_audit_schema), METH_FASTCALL | METH_KEYWORDS,
     "audit_schema(flat_queries, groups)\n--\n\n"
     "Audit a schema without parsing any HTML.\n\n"
     "For each flat query, group container and sub-field, reports whether the engine supports\n"
     "it and, if not, a best-effort reason, plus the member / sibling-bit budget usage against\n"
     "the limits. The no-fallback contract makes an unsupported selector indistinguishable\n"
     "from a legitimately empty field at run time; this lets a caller check a schema up front.\n"
     "Returns (flat, groups, budget): flat is a list of (supported, reason); groups a list of\n"
     "((c_supported, c_reason), [(supported, reason), ...]); budget is\n"
     "(members, max_members, sib_bits, max_sib_bits). The pure-Python larkspine.check wraps\n"
     "it into a named report (see larkspine.page)."},
    {"selector_terminals", as_method(py_selector_terminals), METH_FASTCALL | METH_KEYWORDS,
     "selector_terminals(queries)\n--\n\n"
     "The value terminal each query produces: \"text\", \"attr\", \"outer\",\n"
     "\"normalize-space\", or None for a query that does not compile.\n\n"
     "\"outer\" means the column holds the matched element's raw source, a node reference\n"
     "rather than a scalar, which is the one case the pure-Python larkspine.webpoet layer has\n"
     "to re-parse before handing it to a field processor. Derived from the same compiler\n"
     "front end that extract uses, so it cannot drift from how the query is actually routed."},
    {"selector_node_identity", as_method(py_selector_node_identity), METH_FASTCALL | METH_KEYWORDS,
     "selector_node_identity(queries)\n--\n\n"
     "Per query, (pinned_tag, can_match_a_synthesized_frame): the matched-node identity that\n"
     "the web-poet layer needs before it re-parses an outer-HTML value."},
    {"resolve_label", as_method(py_resolve_label), METH_FASTCALL | METH_KEYWORDS,
     "resolve_label(label)\n--\n\n"
     "Resolve label against the engine's charset-label set (WHATWG labels).\n\n"
     "Returns the canonical encoding name (such as \"UTF-8\" or \"windows-1252\"), or None if\n"
     "unrecognized. The pure-Python layer uses it to fail fast on labels the engine would\n"
     "otherwise silently ignore: falling through to byte-order-mark and <meta> sniffing would\n"
     "be a plausible wrong decode, which the no-fallback rule forbids surfacing silently."},
    {"detect_encoding", as_method(py_detect_encoding), METH_FASTCALL | METH_KEYWORDS,
     "detect_encoding(html, encoding=None)\n--\n\n"
     "The encoding extract would scan this document with, as a WHATWG canonical name.\n\n"
     "encoding is the caller's or HTTP charset label, or None to sniff. An already-decoded\n"
     "str is answered \"UTF-8\" without sniffing: those bytes are UTF-8, and a <meta charset>\n"
     "surviving in a browser snapshot describes the document the browser already decoded,\n"
     "not the string in hand."},
    {nullptr, nullptr, 0, nullptr},
};

// Appends `name` to __all__ (created on first use), then sets the attribute.
// Steals `value`.
bool add_to_module(PyObject* module, const char* name, PyObject* value) {
  Ref owned(value);
  if (!value) return false;
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  Ref n(PyUnicode_FromString(name));
  if (!n || PyList_Append(all.get(), n.get()) < 0) return false;
  return PyObject_SetAttr(module, n.get(), value) == 0;
}

int module_exec(PyObject* module) {
  if (!add_to_module(module, "__doc__", PyUnicode_FromString(kModuleDoc))) return -1;
  Ref modname(PyModule_GetNameObject(module));
  if (!modname) return -1;
  for (PyMethodDef* def = kFunctions; def->ml_name; ++def)
    if (!add_to_module(module, def->ml_name, PyCMethod_New(def, module, modname.get(), nullptr)))
      return -1;
  if (!add_to_module(module, "Plan", plan_type(module))) return -1;
  Ref batch_type(arrow_batch_type(module));
  if (!batch_type) return -1;
  set_arrow_batch_type(batch_type.get());
  if (!add_to_module(module, "ArrowBatch", batch_type.release())) return -1;
  if (!add_private_functions(module)) return -1;
  // Private: set on the module, not listed in __all__.
  Ref run_type(archive_run_type(module));
  if (!run_type || PyObject_SetAttrString(module, "_ArchiveRun", run_type.get()) < 0) return -1;
  return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_larkspine", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace ls::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__larkspine(void) {
  return PyModuleDef_Init(&ls::py::kModule);
}
