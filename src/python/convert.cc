// Argument binding and conversion for the module's functions and Plan.
#include "python/convert.h"

#include <cstring>

#include "whatwg/labels.h"

namespace ls::py {

namespace {

std::string plural(Py_ssize_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

bool utf8_of(PyObject* str, Bytes& out) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(str, &n);
  if (!s) return false;
  out = Bytes(s, static_cast<size_t>(n));
  return true;
}

inline bool is_str(PyObject* o) { return PyType_GetFlags(Py_TYPE(o)) & Py_TPFLAGS_UNICODE_SUBCLASS; }
inline bool is_bytes(PyObject* o) { return PyType_GetFlags(Py_TYPE(o)) & Py_TPFLAGS_BYTES_SUBCLASS; }
inline bool is_tuple(PyObject* o) { return PyType_GetFlags(Py_TYPE(o)) & Py_TPFLAGS_TUPLE_SUBCLASS; }

// A list argument must be a sequence, and a str (a sequence of characters)
// is refused rather than split.
bool check_sequence(PyObject* obj) {
  if (is_str(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_conversion(obj, "Sequence");
    return false;
  }
  return true;
}

// A sequence that is not a str, iterated in order; calls `each` per item.
template <class F>
bool for_each_item(PyObject* obj, F&& each) {
  if (!check_sequence(obj)) return false;
  Ref it(PyObject_GetIter(obj));
  if (!it) return false;
  while (Ref item{PyIter_Next(it.get())}) {
    if (!each(item.get())) return false;
  }
  return !PyErr_Occurred();
}

// A tuple of exactly `len` items; fills borrowed references.
bool unpack_tuple(PyObject* obj, Py_ssize_t len, PyObject** items) {
  if (!is_tuple(obj)) {
    raise_conversion(obj, "tuple");
    return false;
  }
  Py_ssize_t n = PyTuple_Size(obj);
  if (n < 0) return false;
  if (n != len) {
    std::string msg = "expected tuple of length " + std::to_string(len) +
                      ", but got tuple of length " + std::to_string(n);
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
  }
  for (Py_ssize_t i = 0; i < len; ++i) {
    items[i] = PyTuple_GetItem(obj, i);
    if (!items[i]) return false;
  }
  return true;
}

// A string rendered as a double-quoted literal with backslash escapes.
std::string debug_quote(Bytes s) {
  std::string out = "\"";
  static const char* kHex = "0123456789abcdef";
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    uint32_t cp = c;
    size_t len = 1;
    if (c >= 0xC2 && c <= 0xDF && i + 1 < s.size()) {
      cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
      len = 2;
    }
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case 0: out += "\\0"; break;
      default:
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
          // Control characters are written as \u{hex}.
          out += "\\u{";
          bool started = false;
          for (int shift = 20; shift >= 0; shift -= 4) {
            unsigned d = (cp >> shift) & 0xF;
            if (d || started || shift == 0) {
              out.push_back(kHex[d]);
              started = true;
            }
          }
          out += "}";
        } else {
          out.append(s.data() + i, len);
        }
    }
    i += len - 1;
  }
  out += "\"";
  return out;
}

// The WHATWG encoding a label names, asking Python's codecs for labels the
// standard does not list. Any failure on the codecs path means "unknown".
std::optional<whatwg::Encoding> encoding_for_str_label(const std::string& label) {
  if (auto e = whatwg::for_label(label)) return e;
  Ref codecs(PyImport_ImportModule("codecs"));
  if (!codecs) {
    PyErr_Clear();
    return std::nullopt;
  }
  Ref info(PyObject_CallMethod(codecs.get(), "lookup", "s#", label.data(),
                               static_cast<Py_ssize_t>(label.size())));
  if (!info) {
    PyErr_Clear();
    return std::nullopt;
  }
  Ref name(PyObject_GetAttrString(info.get(), "name"));
  if (!name || !is_str(name.get())) {
    PyErr_Clear();
    return std::nullopt;
  }
  Bytes n;
  if (!utf8_of(name.get(), n)) {
    PyErr_Clear();
    return std::nullopt;
  }
  return whatwg::for_label(n);
}

}  // namespace

bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) {
  const int positional = sig.positional < 0 ? sig.count : sig.positional;
  for (int i = 0; i < sig.count; ++i) out[i] = i < nargs && i < positional ? args[i] : nullptr;
  Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GetItem(kwnames, k);
    if (!key) return false;
    Bytes name;
    if (!is_str(key) || !utf8_of(key, name)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.display);
      return false;
    }
    int slot = -1;
    for (int i = 0; i < sig.count; ++i)
      if (name == sig.names[i]) slot = i;
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.display,
                   key);
      return false;
    }
    if (out[slot]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.display,
                   sig.names[slot]);
      return false;
    }
    out[slot] = args[nargs + k];
  }
  if (nargs > positional) {
    int lo = sig.required + sig.self_count, hi = positional + sig.self_count;
    std::string takes = lo == hi ? plural(hi, "positional argument")
                                 : "from " + std::to_string(lo) + " to " + std::to_string(hi) +
                                       " positional arguments";
    Py_ssize_t given = nargs + sig.self_count;
    std::string msg = std::string(sig.display) + "() takes " + takes + " but " +
                      std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
  }
  std::vector<const char*> missing;
  for (int i = 0; i < sig.required; ++i)
    if (!out[i]) missing.push_back(sig.names[i]);
  if (!missing.empty()) {
    std::string list;
    for (size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
      list += std::string("'") + missing[i] + "'";
    }
    std::string msg = std::string(sig.display) + "() missing " +
                      plural(static_cast<Py_ssize_t>(missing.size()), "required positional argument") +
                      ": " + list;
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
  }
  return true;
}

bool convert_html(PyObject* obj, Html& out) {
  if (is_bytes(obj)) {
    char* data = PyBytes_AsString(obj);
    Py_ssize_t n = PyBytes_Size(obj);
    if (!data || n < 0) return false;
    out = Html{Bytes(data, static_cast<size_t>(n)), false};
    return true;
  }
  std::string name;
  if (is_str(obj)) {
    Bytes text;
    if (utf8_of(obj, text)) {
      out = Html{text, true};
      return true;
    }
    PyErr_Clear();  // lone surrogates: no UTF-8 form
    name = "str";
  } else {
    name = type_name(obj);
  }
  std::string msg =
      "larkspine: html must be bytes (preferred - the engine tokenizes raw bytes) or str "
      "(already-decoded text, e.g. a browser snapshot), got " +
      name + ". For a bytearray/memoryview use the larkspine.extract wrapper, which converts them.";
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return false;
}

HeldDocuments::~HeldDocuments() {
  for (std::unique_ptr<Py_buffer>& v : views_) PyBuffer_Release(v.get());
}

bool convert_documents(PyObject* obj, HeldDocuments& out) {
  if (is_str(obj) || is_bytes(obj) || PyObject_CheckBuffer(obj)) {
    std::string msg = "larkspine: documents must be an iterable of documents, got one " + type_name(obj);
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
  }
  Ref it(PyObject_GetIter(obj));
  if (!it) return false;
  Py_ssize_t hint = PyObject_Size(obj);  // capacity hint only
  if (hint < 0) PyErr_Clear();
  else {
    out.docs.reserve(static_cast<size_t>(hint));
    out.objects_.reserve(static_cast<size_t>(hint));
  }
  while (Ref item{PyIter_Next(it.get())}) {
    PyObject* doc = item.get();
    if (is_bytes(doc) || is_str(doc)) {
      Html html;
      if (!convert_html(doc, html)) {
        // A str without a UTF-8 form: the message names the document.
        std::string msg = "larkspine: document " + std::to_string(out.docs.size()) +
                          " is a str without a UTF-8 form (lone surrogates)";
        PyErr_SetString(PyExc_TypeError, msg.c_str());
        return false;
      }
      out.docs.push_back(html);
    } else if (PyObject_CheckBuffer(doc)) {
      auto view = std::make_unique<Py_buffer>();
      if (PyObject_GetBuffer(doc, view.get(), PyBUF_SIMPLE) < 0) return false;
      Bytes bytes(static_cast<const char*>(view->buf), static_cast<size_t>(view->len));
      if (view->readonly) {
        out.views_.push_back(std::move(view));
      } else {
        auto copy = std::make_unique<std::string>(bytes);
        PyBuffer_Release(view.get());
        bytes = *copy;
        out.copies_.push_back(std::move(copy));
      }
      out.docs.push_back(Html{bytes, false});
    } else {
      std::string msg = "larkspine: document " + std::to_string(out.docs.size()) +
                        " must be bytes, a bytes-like object or str, got " + type_name(doc);
      PyErr_SetString(PyExc_TypeError, msg.c_str());
      return false;
    }
    out.objects_.push_back(std::move(item));
  }
  return !PyErr_Occurred();
}

bool convert_str(PyObject* obj, std::string& out) {
  if (!is_str(obj)) {
    raise_conversion(obj, "str");
    return false;
  }
  Bytes b;
  if (!utf8_of(obj, b)) return false;
  out.assign(b);
  return true;
}

bool convert_str_list(PyObject* obj, std::vector<std::string>& out) {
  out.clear();
  return for_each_item(obj, [&](PyObject* item) {
    std::string s;
    if (!convert_str(item, s)) return false;
    out.push_back(std::move(s));
    return true;
  });
}

bool convert_groups(PyObject* obj, std::vector<GroupQuery>& out) {
  out.clear();
  return for_each_item(obj, [&](PyObject* item) {
    PyObject* pair[2];
    if (!unpack_tuple(item, 2, pair)) return false;
    GroupQuery g;
    if (!convert_str(pair[0], g.container)) return false;
    bool ok = for_each_item(pair[1], [&](PyObject* field) {
      PyObject* nq[2];
      if (!unpack_tuple(field, 2, nq)) return false;
      std::pair<std::string, std::string> f;
      if (!convert_str(nq[0], f.first) || !convert_str(nq[1], f.second)) return false;
      g.fields.push_back(std::move(f));
      return true;
    });
    if (!ok) return false;
    out.push_back(std::move(g));
    return true;
  });
}

bool convert_optional_str(PyObject* obj, std::optional<std::string>& out) {
  out.reset();
  if (!obj || obj == Py_None) return true;
  std::string s;
  if (!convert_str(obj, s)) return false;
  out = std::move(s);
  return true;
}

bool convert_first_only(PyObject* obj, std::vector<bool>& out) {
  out.clear();
  if (!obj || obj == Py_None) return true;
  if (!check_sequence(obj)) return false;
  Py_ssize_t hint = PyObject_Size(obj);  // capacity hint only
  if (hint < 0) PyErr_Clear();
  else out.reserve(static_cast<size_t>(hint));
  return for_each_item(obj, [&](PyObject* item) {
    if (PyBool_Check(item)) {
      out.push_back(item == Py_True);
      return true;
    }
    // NumPy's boolean scalar (numpy.bool / numpy.bool_) through its __bool__.
    Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(item)), "__module__"));
    if (!module) PyErr_Clear();
    std::string tname = type_name(item);
    Bytes mod;
    bool numpy_bool = module && is_str(module.get()) && utf8_of(module.get(), mod) &&
                      mod == "numpy" && (tname == "bool" || tname == "bool_");
    if (PyErr_Occurred()) PyErr_Clear();
    if (!numpy_bool) {
      raise_conversion(item, "bool");
      return false;
    }
    Ref method(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(item)), "__bool__"));
    if (!method || !PyCallable_Check(method.get())) {
      PyErr_Clear();
      std::string msg = "object of type 'numpy." + tname + "' does not define a '__bool__' conversion";
      PyErr_SetString(PyExc_TypeError, msg.c_str());
      return false;
    }
    Ref value(PyObject_CallFunctionObjArgs(method.get(), item, nullptr));
    if (!value) return false;
    if (!PyBool_Check(value.get())) {
      raise_conversion(value.get(), "bool");
      return false;
    }
    out.push_back(value.get() == Py_True);
    return true;
  });
}

bool html_label(const Html& html, const std::optional<std::string>& label,
                std::optional<std::string>& out) {
  if (!html.is_str) {
    out = label;
    return true;
  }
  if (label) {
    std::optional<whatwg::Encoding> e = encoding_for_str_label(*label);
    if (e && *e != whatwg::Encoding::kUtf8) {
      std::string msg =
          "larkspine: html is already-decoded str (tokenized as UTF-8), but encoding=" +
          debug_quote(*label) + " resolves to " + whatwg::canonical_name(*e) +
          ", which would decode those bytes wrongly \xE2\x80\x94 pass the original bytes with the "
          "label, or drop the label.";
      PyErr_SetString(PyExc_ValueError, msg.c_str());
      return false;
    }
  }
  out = std::string("utf-8");
  return true;
}

bool check_budget(BudgetUsage usage) {
  if (std::optional<std::string> msg = budget_error(usage)) {
    PyErr_SetString(PyExc_ValueError, msg->c_str());
    return false;
  }
  return true;
}

PyObject* build_column(const Column& column) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(column.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < column.size(); ++i) {
    PyObject* s = str_from(column[i]);
    if (!s) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), s);  // steals s
  }
  return list.release();
}

namespace {
template <class T, class F>
PyObject* build_list(const std::vector<T>& items, F&& build_item) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* item = build_item(items[i]);
    if (!item) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}
}  // namespace

PyObject* build_flat(const FlatResult& flat) { return build_list(flat, build_column); }

PyObject* build_grouped(const GroupedResult& grouped) {
  return build_list(grouped, [](const std::vector<std::vector<Column>>& rows) {
    return build_list(rows, [](const std::vector<Column>& row) { return build_list(row, build_column); });
  });
}

PyObject* build_result_tuple(const ExtractResult& result) {
  Ref flat(build_flat(result.flat));
  if (!flat) return nullptr;
  Ref grouped(build_grouped(result.grouped));
  if (!grouped) return nullptr;
  return PyTuple_Pack(2, flat.get(), grouped.get());
}

}  // namespace ls::py
