// join_links(links, base, https, origin, directory, fragmentless): each link
// joined as urljoin joins it, where the core proves the answer is a
// concatenation; None where it does not (the caller asks urljoin), with
// the count of those.
//
// One pass over the list with the lock held: each answer is a new str (a
// prefix and the link) or the link itself, no Python call per link.
#include "python/links.h"

#include <string_view>

#include "link_join.h"
#include "python/convert.h"

namespace ls::py {

const char kJoinLinksDoc[] =
    "join_links(links, base, https, origin, directory, fragmentless)\n--\n\n"
    "Each of links (a list of str) joined to base as urllib.parse.urljoin(base, link)\n"
    "joins it, where a cheap test proves the answer is the link or one of the given\n"
    "prefixes followed by it; None where it does not. base is an http(s) URL with a\n"
    "host, https tells which of the two; origin is its scheme://netloc, directory\n"
    "urljoin(base, 'x') less the 'x', fragmentless the base without its fragment.\n"
    "directory and fragmentless may be None: links that need them are then None.\n"
    "Returns (answers, how many of them are None).";

namespace {

// The prefix for `join`, or nullptr when it is not given.
PyObject* prefix_of(LinkJoin join, PyObject* const* prefixes) {
  switch (join) {
    case LinkJoin::kOrigin:
      return prefixes[0];
    case LinkJoin::kScheme:
      return prefixes[1];
    case LinkJoin::kDirectory:
      return prefixes[2];
    case LinkJoin::kFragmentless:
      return prefixes[3];
    default:
      return nullptr;
  }
}

// One link's answer: a new reference to the joined str, or to None when the
// core cannot prove it (or the prefix it needs was not given); nullptr with
// an exception set on failure.
PyObject* answer(PyObject* link, PyObject* base, bool https, PyObject* const* prefixes) {
  Py_ssize_t size = 0;
  // For an ASCII str this is its own data, made for nothing; the proofs cover
  // ASCII only, and other links (a str whose UTF-8 is longer) go to urljoin.
  const char* data = PyUnicode_AsUTF8AndSize(link, &size);
  if (!data) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
    PyErr_Clear();  // a lone surrogate: urljoin takes it as it is
    return Py_NewRef(Py_None);
  }
  const Py_ssize_t length = PyUnicode_GetLength(link);
  if (length < 0) return nullptr;
  if (size != length) return Py_NewRef(Py_None);
  const LinkShape shape = link_shape(std::string_view(data, static_cast<size_t>(size)), https);
  const auto used = static_cast<Py_ssize_t>(shape.length);
  switch (shape.join) {
    case LinkJoin::kUnproven:
      return Py_NewRef(Py_None);
    case LinkJoin::kBase:
      return Py_NewRef(base);
    case LinkJoin::kAsIs:
      return used == length ? Py_NewRef(link) : PyUnicode_Substring(link, 0, used);
    default:
      break;
  }
  PyObject* prefix = prefix_of(shape.join, prefixes);
  if (!prefix) return Py_NewRef(Py_None);
  if (used == 0) return Py_NewRef(prefix);
  if (used == length) return PyUnicode_Concat(prefix, link);
  Ref head(PyUnicode_Substring(link, 0, used));
  return head ? PyUnicode_Concat(prefix, head.get()) : nullptr;
}

}  // namespace

PyObject* py_join_links(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"links", "base", "https", "origin", "directory", "fragmentless"};
  static const Signature kSig{"join_links", kNames, 6, 6, 0};
  PyObject* a[6];
  if (!bind_args(kSig, args, nargs, kwnames, a)) return nullptr;
  PyObject* links = a[0];
  if (!PyList_Check(links)) {
    PyErr_Format(PyExc_TypeError, "larkspine: links must be a list of str, got %s", type_name(links).c_str());
    return nullptr;
  }
  const int https = PyObject_IsTrue(a[2]);
  if (https < 0) return nullptr;
  // base, origin and the two optional prefixes: str, the last two also None.
  for (int i : {1, 3, 4, 5}) {
    if (PyUnicode_Check(a[i]) || (i >= 4 && a[i] == Py_None)) continue;
    PyErr_Format(PyExc_TypeError, "larkspine: %s must be a str, got %s", kNames[i], type_name(a[i]).c_str());
    return nullptr;
  }
  Ref scheme(PyUnicode_FromString(https ? "https:" : "http:"));
  if (!scheme) return nullptr;
  PyObject* const prefixes[4] = {a[3], scheme.get(), a[4] == Py_None ? nullptr : a[4],
                                 a[5] == Py_None ? nullptr : a[5]};
  const Py_ssize_t n = PyList_Size(links);
  Py_ssize_t unproven = 0;
  Ref out(PyList_New(n));
  if (!out) return nullptr;
  // Nothing below runs Python code, so the caller's list cannot change under
  // the loop; PyList_GetItem checks the index all the same.
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* link = PyList_GetItem(links, i);
    if (!link) return nullptr;
    if (!PyUnicode_Check(link)) {
      PyErr_Format(PyExc_TypeError, "larkspine: links must be a list of str, got a %s in it",
                   type_name(link).c_str());
      return nullptr;
    }
    Ref joined(answer(link, a[1], https != 0, prefixes));
    if (!joined) return nullptr;
    unproven += joined.get() == Py_None;
    if (PyList_SetItem(out.get(), i, joined.release()) < 0) return nullptr;
  }
  Ref count(PyLong_FromSsize_t(unproven));
  if (!count) return nullptr;
  return PyTuple_Pack(2, out.get(), count.get());
}

}  // namespace ls::py
