// _join_links(links, base, https, origin, directory, fragmentless): each link
// joined as urljoin joins it, where the core proves the answer is a
// concatenation; None where it does not (the caller asks urljoin), with
// the count of those.
//
// One pass over the list with the lock held: each answer is a new str (a
// prefix and the link) or the link itself, no Python call per link.
//
// _join_link_array(values, pages, fallback): the same joins over an Arrow
// string array's buffers, page by page, into the buffers of a new array of
// the same length: no Python object for a link the core proves; `fallback`
// (urljoin, memoised by the caller) answers the others.
#include "python/links.h"

#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "arrow.h"
#include "link_join.h"
#include "python/convert.h"

namespace ls::py {

const char kJoinLinksDoc[] =
    "_join_links(links, base, https, origin, directory, fragmentless)\n--\n\n"
    "Private: each of links (a list of str) joined to base as urllib.parse.urljoin(base, link)\n"
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


// One page's base, as the caller gives it: the base and its prefixes as
// UTF-8; `https` unset when the proofs do not hold for the base (every link
// then goes to the fallback).
struct PageBase {
  int64_t start = 0, stop = 0;
  bool copy = false;  // no base: the values as they are
  int https = -1;
  std::string_view base, origin, directory, fragmentless;
  bool has_directory = false, has_fragmentless = false;
};

// The UTF-8 of `o` (a str) into `out`; false with an exception set.
bool utf8_of(PyObject* o, std::string_view& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(o, &size);
  if (!data) return false;
  out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

// `pages` is copied into `kept`, a tuple of tuples, which holds every str the
// views in `out` point into while the fallback runs Python code (which could
// change the caller's list).
bool read_pages(PyObject* pages, int64_t length, Ref& kept, std::vector<PageBase>& out) {
  kept = Ref(PySequence_Tuple(pages));
  if (!kept) return false;
  const Py_ssize_t n = PyTuple_Size(kept.get());
  out.resize(static_cast<size_t>(n));
  int64_t previous = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GetItem(kept.get(), i);
    if (!item) return false;
    PyObject *start = nullptr, *stop = nullptr, *spec = nullptr;
    if (!PyTuple_Check(item) || !PyArg_UnpackTuple(item, "page", 3, 3, &start, &stop, &spec)) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "larkspine: pages must be (start, stop, base) tuples");
      return false;
    }
    PageBase& page = out[static_cast<size_t>(i)];
    page.start = PyLong_AsLongLong(start);
    page.stop = PyLong_AsLongLong(stop);
    if (PyErr_Occurred()) return false;
    if (page.start < previous || page.stop < page.start || page.stop > length) {
      PyErr_SetString(PyExc_ValueError, "larkspine: pages must be in order, within the array");
      return false;
    }
    previous = page.stop;
    if (spec == Py_None) {
      page.copy = true;
      continue;
    }
    PyObject *base = nullptr, *https = nullptr, *origin = nullptr, *directory = nullptr, *fragmentless = nullptr;
    if (!PyTuple_Check(spec) ||
        !PyArg_UnpackTuple(spec, "base", 5, 5, &base, &https, &origin, &directory, &fragmentless)) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "larkspine: a page's base must be a tuple");
      return false;
    }
    for (PyObject* text : {base, origin}) {
      if (!PyUnicode_Check(text)) {
        PyErr_SetString(PyExc_TypeError, "larkspine: a base and its origin must be str");
        return false;
      }
    }
    if (!utf8_of(base, page.base) || !utf8_of(origin, page.origin)) return false;
    if (https != Py_None) {
      page.https = PyObject_IsTrue(https);
      if (page.https < 0) return false;
    }
    if (PyUnicode_Check(directory)) {
      if (!utf8_of(directory, page.directory)) return false;
      page.has_directory = true;
    }
    if (PyUnicode_Check(fragmentless)) {
      if (!utf8_of(fragmentless, page.fragmentless)) return false;
      page.has_fragmentless = true;
    }
  }
  return true;
}

// What one value becomes: a prefix and the value's first `used` bytes, or
// (`unproven`) the fallback's answer.
struct Joined {
  std::string_view prefix;
  size_t used = 0;
  bool unproven = false;
};

Joined join_one(std::string_view link, const PageBase& page) {
  if (page.copy) return {{}, link.size(), false};
  if (page.https < 0) return {{}, 0, true};
  for (const char c : link)
    if (static_cast<unsigned char>(c) >= 0x80) return {{}, 0, true};  // the proofs cover ASCII only
  const LinkShape shape = link_shape(link, page.https != 0);
  switch (shape.join) {
    case LinkJoin::kUnproven:
      return {{}, 0, true};
    case LinkJoin::kBase:
      return {page.base, 0, false};
    case LinkJoin::kAsIs:
      return {{}, shape.length, false};
    case LinkJoin::kOrigin:
      return {page.origin, shape.length, false};
    case LinkJoin::kScheme:
      return {page.https ? std::string_view("https:") : std::string_view("http:"), shape.length, false};
    case LinkJoin::kDirectory:
      if (!page.has_directory) return {{}, 0, true};
      return {page.directory, shape.length, false};
    case LinkJoin::kFragmentless:
      if (!page.has_fragmentless) return {{}, 0, true};
      return {page.fragmentless, shape.length, false};
  }
  return {{}, 0, true};
}

}  // namespace

PyObject* py_join_link_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"values", "pages", "fallback"};
  static const Signature kSig{"_join_link_array", kNames, 3, 3, 0};
  PyObject* a[3];
  if (!bind_args(kSig, args, nargs, kwnames, a)) return nullptr;
  if (!PyCallable_Check(a[2])) {
    PyErr_SetString(PyExc_TypeError, "larkspine: fallback must be callable");
    return nullptr;
  }
  Ref exported(PyObject_CallMethod(a[0], "__arrow_c_array__", nullptr));
  if (!exported) return nullptr;
  if (!PyTuple_Check(exported.get()) || PyTuple_Size(exported.get()) != 2) {
    PyErr_SetString(PyExc_TypeError, "larkspine: __arrow_c_array__ must return (schema capsule, array capsule)");
    return nullptr;
  }
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(PyTuple_GetItem(exported.get(), 0), "arrow_schema"));
  if (!schema) return nullptr;
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(PyTuple_GetItem(exported.get(), 1), "arrow_array"));
  if (!array) return nullptr;
  const std::string_view format = schema->format ? schema->format : "";
  const bool large = format == "U";
  if ((format != "u" && !large) || array->n_buffers != 3 || !array->buffers || array->length < 0 ||
      array->offset < 0 || array->length > std::numeric_limits<int64_t>::max() / 2 - array->offset) {
    PyErr_SetString(PyExc_TypeError, "larkspine: values must be a string array");
    return nullptr;
  }
  const int64_t length = array->length;
  const auto* validity = static_cast<const uint8_t*>(array->buffers[0]);
  const auto* offsets = static_cast<const uint8_t*>(array->buffers[1]);
  const auto* data = static_cast<const char*>(array->buffers[2]);
  if (array->null_count != 0 && !validity && array->null_count > 0) {
    PyErr_SetString(PyExc_ValueError, "larkspine: nulls without a validity buffer");
    return nullptr;
  }
  if (length > 0 && !offsets) {
    PyErr_SetString(PyExc_ValueError, "larkspine: a string array without offsets");
    return nullptr;
  }
  auto offset_at = [&](int64_t i) { return arrow_offset_at(offsets, array->offset + i, large); };
  auto is_null = [&](int64_t i) {
    if (!validity) return false;
    const int64_t at = array->offset + i;
    return ((validity[at >> 3] >> (at & 7)) & 1) == 0;
  };
  // Offsets must not go backwards: each value is cut from the data by them.
  for (int64_t i = 0, previous = length ? offset_at(0) : 0; i < length; ++i) {
    const int64_t next = offset_at(i + 1);
    if (previous < 0 || next < previous || (next > previous && !data)) {
      PyErr_SetString(PyExc_ValueError, "larkspine: a string array whose offsets go backwards");
      return nullptr;
    }
    previous = next;
  }
  std::vector<PageBase> pages;
  Ref kept;
  if (!read_pages(a[1], length, kept, pages)) return nullptr;
  auto value_at = [&](int64_t i) {
    const int64_t lo = offset_at(i);
    return std::string_view(data + lo, static_cast<size_t>(offset_at(i + 1) - lo));
  };

  // Both passes walk every value, in or out of a page, with the same cursor:
  // the page `i` lies in, or none.
  auto page_of = [&](int64_t i, size_t& p) -> const PageBase* {
    while (p < pages.size() && pages[p].stop <= i) ++p;
    return p < pages.size() && i >= pages[p].start ? &pages[p] : nullptr;
  };

  // First pass: the size of the answer, and the fallback's answers in order,
  // their bytes kept in one arena (a str object each would weigh several
  // times its text on a page of a million links).
  std::string arena;
  std::vector<size_t> answer_ends;
  uint64_t total = 0;
  size_t cursor = 0;
  for (int64_t i = 0; i < length; ++i) {
    const PageBase* page = page_of(i, cursor);
    if (is_null(i)) continue;
    const std::string_view link = value_at(i);
    if (!page) {
      total += link.size();  // outside every page: as it is
      continue;
    }
    const Joined j = join_one(link, *page);
    if (!j.unproven) {
      total += j.prefix.size() + j.used;
      continue;
    }
    Ref text(PyUnicode_DecodeUTF8(link.data(), static_cast<Py_ssize_t>(link.size()), "surrogateescape"));
    if (!text) return nullptr;
    Ref got(PyObject_CallFunction(a[2], "nO", static_cast<Py_ssize_t>(cursor), text.get()));
    if (!got) return nullptr;
    std::string_view joined;
    if (!PyUnicode_Check(got.get())) {
      PyErr_SetString(PyExc_TypeError, "larkspine: fallback must return a str");
      return nullptr;
    }
    if (!utf8_of(got.get(), joined)) {
      // A lone surrogate (from a link that was not UTF-8) has no UTF-8: the
      // link stays as written.
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
      PyErr_Clear();
      joined = link;
    }
    total += joined.size();
    arena.append(joined);
    answer_ends.push_back(arena.size());
  }
  const uint64_t limit = large ? static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
                               : static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
  if (total > limit) {
    PyErr_SetString(PyExc_OverflowError, "larkspine: the joined links do not fit a string array");
    return nullptr;
  }

  // Second pass: the new array's offsets and data, made in place in two bytes
  // objects of their final size.
  const size_t width = large ? 8 : 4;
  Ref offsets_out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>((length + 1) * width)));
  if (!offsets_out) return nullptr;
  Ref data_out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
  if (!data_out) return nullptr;
  char* o = PyBytes_AsString(offsets_out.get());
  char* d = PyBytes_AsString(data_out.get());
  if (!o || !d) return nullptr;
  uint64_t at = 0;
  size_t next_answer = 0;
  auto put_offset = [&](int64_t i) {
    if (large) {
      const int64_t v = static_cast<int64_t>(at);
      std::memcpy(o + i * 8, &v, 8);
    } else {
      const int32_t v = static_cast<int32_t>(at);
      std::memcpy(o + i * 4, &v, 4);
    }
  };
  // The first pass sized the data; a write past it (which only a broken
  // invariant could make) is refused, never made.
  bool overrun = false;
  auto put = [&](std::string_view s) {
    if (s.size() > total - at) {
      overrun = true;
      return;
    }
    if (!s.empty()) std::memcpy(d + at, s.data(), s.size());
    at += s.size();
  };
  cursor = 0;
  for (int64_t i = 0; i < length; ++i) {
    put_offset(i);
    const PageBase* page = page_of(i, cursor);
    if (is_null(i)) continue;
    const std::string_view link = value_at(i);
    if (!page) {
      put(link);
      continue;
    }
    const Joined j = join_one(link, *page);
    if (j.unproven && next_answer == answer_ends.size()) break;  // caught below
    if (j.unproven) {
      const size_t from = next_answer ? answer_ends[next_answer - 1] : 0;
      put(std::string_view(arena).substr(from, answer_ends[next_answer] - from));
      ++next_answer;
    } else {
      put(j.prefix);
      put(link.substr(0, j.used));
    }
  }
  put_offset(length);
  if (overrun || at != total || next_answer != answer_ends.size()) {
    PyErr_SetString(PyExc_SystemError, "larkspine: the joined links changed between passes");
    return nullptr;
  }
  return PyTuple_Pack(2, offsets_out.get(), data_out.get());
}

PyObject* py_join_links(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"links", "base", "https", "origin", "directory", "fragmentless"};
  static const Signature kSig{"_join_links", kNames, 6, 6, 0};
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
