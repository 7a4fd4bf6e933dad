// The module's private entries: what the pure-Python layer needs from the
// core beyond the documented functions. They are set on the module without
// entering `__all__`, and may change with the package that calls them.
//
//   _query_syntax_error(query, sub_field=False) -> None | (position, expected)
//     Whether a query is malformed (it parses in no reading of CSS or XPath
//     1.0, and the subset compilers do not serve it either): the code-point
//     position where the grammar stopped and what it expected there.
//   _sub_field_budget(groups) -> (sub_fields, max_sub_fields)
//     The group sub-fields a schema declares, against their limit.
//   _join_link_array(values, pages, fallback) -> (offsets, data)
//     An Arrow string array's links joined, page by page, each to its page's
//     base, into the buffers of a new array (links.cc).
//   _join_links(links, base, https, origin, directory, fragmentless)
//     -> (answers, unproven)
//     A list of links joined to one base where the core proves urljoin's
//     answer; None where it does not (links.cc).
//   _records_text(batch, format, *, escape_formulas=True, row_ends=False)
//     -> text or (text, ends)
//     A record batch's rows as JSON Lines or CSV bytes, as the writers of
//     the Python layer write them (records.cc).
//   _gunzip(data, limit) / _gunzip_fd(fd, limit) -> (content or None, end, reason)
//     Every member of a gzip stream inflated into one bytes object, at most
//     `limit` bytes (reader/gunzip.h); `end` is the GunzipEnd's number, and
//     content is None unless it is 0 (kDone). A descriptor is read from its
//     start when it is a regular file, else from where it is; never closed.
#include "python/private.h"

#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "archive/sources.h"
#include "lib.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/links.h"
#include "python/records.h"
#include "reader/gunzip.h"
#include "syntax.h"

namespace ls::py {

namespace {

PyObject* py_query_syntax_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"query", "sub_field"};
  static const Signature kSig{"_query_syntax_error", kNames, 2, 1, 0};
  PyObject* a[2];
  if (!bind_args(kSig, args, nargs, kwnames, a)) return nullptr;
  std::string query;
  if (!convert_str(a[0], query)) return nullptr;
  int sub = a[1] ? PyObject_IsTrue(a[1]) : 0;
  if (sub < 0) return nullptr;
  std::optional<SyntaxError> error;
  Fault fault;
  Py_BEGIN_ALLOW_THREADS
  fault = guarded([&] { error = sub ? sub_field_syntax_error(query) : query_syntax_error(query); });
  Py_END_ALLOW_THREADS
  if (fault) return raise_fault(fault);
  if (!error) Py_RETURN_NONE;
  return Py_BuildValue("(ks#)", static_cast<unsigned long>(error->position), error->expected.data(),
                       static_cast<Py_ssize_t>(error->expected.size()));
}

PyObject* py_sub_field_budget(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"groups"};
  static const Signature kSig{"_sub_field_budget", kNames, 1, 1, 0};
  PyObject* a[1];
  if (!bind_args(kSig, args, nargs, kwnames, a)) return nullptr;
  std::vector<GroupQuery> groups;
  if (!convert_groups(a[0], groups)) return nullptr;
  uint64_t n = 0;
  for (const GroupQuery& g : groups) n += g.fields.size();
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(n), static_cast<unsigned long long>(kMaxSubFields));
}

using FastCallKw = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyCFunction as_method(FastCallKw fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn));
}

// A positive int up to `max` (the Python layer passes checked values).
bool small_count(PyObject* obj, uint64_t max, uint64_t& out) {
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if (v > max) {
    PyErr_SetString(PyExc_ValueError, "larkspine: a count out of range");
    return false;
  }
  out = v;
  return true;
}

// A GunzipResult as (content or None, end, reason); `out` freed before the
// bytes object is made only where it is not needed.
PyObject* gunzip_result(const reader::GunzipResult& r, const std::string& out) {
  if (r.end != reader::GunzipEnd::kDone) {
    return Py_BuildValue("(OiN)", Py_None, static_cast<int>(r.end),
                         PyUnicode_DecodeUTF8(r.reason.data(), static_cast<Py_ssize_t>(r.reason.size()), "replace"));
  }
  return Py_BuildValue("(y#is)", out.data(), static_cast<Py_ssize_t>(out.size()), 0, "");
}

PyObject* py_gunzip(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"data", "limit"};
  static const Signature kSig{"_gunzip", kNames, 2, 2, 0};
  PyObject* a[2];
  if (!bind_args(kSig, args, nargs, kwnames, a)) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(a[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
  uint64_t limit = 0;
  if (!small_count(a[1], UINT64_MAX >> 1, limit)) {
    PyBuffer_Release(&view);
    return nullptr;
  }
  std::string out;
  reader::GunzipResult r;
  Fault fault;
  Py_BEGIN_ALLOW_THREADS
  fault = guarded([&] {
    reader::MemorySource source(Bytes(static_cast<const char*>(view.buf), static_cast<size_t>(view.len)));
    r = reader::gunzip(source, limit, out);
  });
  Py_END_ALLOW_THREADS
  PyBuffer_Release(&view);
  if (fault) return raise_fault(fault);
  return gunzip_result(r, out);
}

PyObject* py_gunzip_fd(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"fd", "limit"};
  static const Signature kSig{"_gunzip_fd", kNames, 2, 2, 0};
  PyObject* a[2];
  if (!bind_args(kSig, args, nargs, kwnames, a)) return nullptr;
  uint64_t fd = 0, limit = 0;
  if (!small_count(a[0], INT32_MAX, fd) || !small_count(a[1], UINT64_MAX >> 1, limit)) return nullptr;
  std::string out;
  reader::GunzipResult r;
  Fault fault;
  Py_BEGIN_ALLOW_THREADS
  fault = guarded([&] {
    struct stat st;
    const bool regular = ::fstat(static_cast<int>(fd), &st) == 0 && S_ISREG(st.st_mode);
    archive::FdSource source(static_cast<int>(fd), regular, 0, nullptr);
    r = reader::gunzip(source, limit, out);
  });
  Py_END_ALLOW_THREADS
  if (fault) return raise_fault(fault);
  return gunzip_result(r, out);
}

PyMethodDef kPrivate[] = {
    {"_query_syntax_error", as_method(py_query_syntax_error), METH_FASTCALL | METH_KEYWORDS,
     "_query_syntax_error(query, sub_field=False)\n--\n\n"
     "Private: None, or (position, expected) for a malformed query."},
    {"_sub_field_budget", as_method(py_sub_field_budget), METH_FASTCALL | METH_KEYWORDS,
     "_sub_field_budget(groups)\n--\n\n"
     "Private: (declared group sub-fields, their limit)."},
    {"_join_link_array", as_method(py_join_link_array), METH_FASTCALL | METH_KEYWORDS,
     "_join_link_array(values, pages, fallback)\n--\n\n"
     "Private: an Arrow string array's values joined to their page's base URL: the\n"
     "offsets and data of the new array. pages: (start, stop, None or (base, https,\n"
     "origin, directory, fragmentless)); fallback(page, link) answers what the core\n"
     "cannot prove."},
    {"_join_links", as_method(py_join_links), METH_FASTCALL | METH_KEYWORDS, kJoinLinksDoc},
    {"_records_text", as_method(py_records_text), METH_FASTCALL | METH_KEYWORDS, kRecordsTextDoc},
    {"_gunzip", as_method(py_gunzip), METH_FASTCALL | METH_KEYWORDS,
     "_gunzip(data, limit)\n--\n\n"
     "Private: (content or None, end, reason): every member of gzip data inflated, at most\n"
     "limit bytes; end 0 done, 1 truncated, 2 corrupt, 3 too large, 4 read error."},
    {"_gunzip_fd", as_method(py_gunzip_fd), METH_FASTCALL | METH_KEYWORDS,
     "_gunzip_fd(fd, limit)\n--\n\n"
     "Private: _gunzip over a file descriptor (a regular file from its start), not closed."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_private_functions(PyObject* module) {
  Ref modname(PyModule_GetNameObject(module));
  if (!modname) return false;
  for (PyMethodDef* def = kPrivate; def->ml_name; ++def) {
    Ref fn(PyCMethod_New(def, module, modname.get(), nullptr));
    if (!fn || PyObject_SetAttrString(module, def->ml_name, fn.get()) < 0) return false;
  }
  return true;
}

}  // namespace ls::py
