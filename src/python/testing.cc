// _larkspine_testing: a private module, built only by the test configuration,
// that exposes the core's internal forms (token events, prepared input, the
// prescan, decoders) so that tests can observe them directly. Nothing here is
// part of the product's interface.
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <chrono>

#include "diagnostics.h"
#include "encoding.h"
#include "fuzz/checks.h"
#include "selector.h"
#include "xpath.h"
#include "entities.h"
#include "matcher/decode.h"
#include "lib.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/testing_reader.h"
#include "tokenizer.h"
#include "whatwg/decode.h"

namespace ls::py {

namespace {

bool get_bytes(PyObject* obj, Bytes& out) {
  if (!PyBytes_Check(obj)) {
    raise_conversion(obj, "bytes");
    return false;
  }
  out = Bytes(PyBytes_AsString(obj), static_cast<size_t>(PyBytes_Size(obj)));
  return true;
}

PyObject* bytes_of(Bytes b) {
  return PyBytes_FromStringAndSize(b.data(), static_cast<Py_ssize_t>(b.size()));
}

// The bytes with every NUL removed, as the scan removes them: a copy only
// when there is one.
TextValue without_nul(TextValue v) {
  Bytes b = v.bytes();
  const void* nul = b.empty() ? nullptr : std::memchr(b.data(), 0, b.size());
  if (!nul) return v;
  std::string out;
  copy_without_nul(b, static_cast<size_t>(static_cast<const char*>(nul) - b.data()), out);
  return TextValue::owned(std::move(out));
}

// Records every event as a tuple. Models a pending text run the way the
// matcher does: the last text event's end, forgotten at the next tag.
class RecordingSink final : public TokenSink {
 public:
  RecordingSink(PyObject* list, Bytes doc, long stop_after)
      : list_(list), doc_(doc), stop_after_(stop_after) {}
  void start_tag(Bytes name, TagId tag, std::span<const Attr> attrs, bool self_closing, Offset start,
                 Offset end) override {
    if (tag != tag_id(name)) internal_fault("the scan's tag id is not that of the name");
    Ref alist(PyList_New(0));
    if (!alist) return fail();
    for (const Attr& a : attrs) {
      Ref value(a.has_value ? bytes_of(a.value) : Py_NewRef(Py_None));
      Ref pair(value ? Py_BuildValue("(NO)", bytes_of(a.name), value.get()) : nullptr);
      if (!pair || PyList_Append(alist.get(), pair.get()) < 0) return fail();
    }
    push(Py_BuildValue("(sNOOkk)", "start", bytes_of(name), alist.get(),
                       self_closing ? Py_True : Py_False, static_cast<unsigned long>(start),
                       static_cast<unsigned long>(end)));
    pending_end_ = -1;
  }
  void end_tag(Bytes name, TagId tag, Offset start, Offset end) override {
    if (tag != tag_id(name)) internal_fault("the scan's tag id is not that of the name");
    push(Py_BuildValue("(sNkk)", "end", bytes_of(name), static_cast<unsigned long>(start),
                       static_cast<unsigned long>(end)));
    pending_end_ = -1;
  }
  void text(Bytes text, bool decode, Offset start) override {
    // The view must lie inside the document at the offset reported.
    if (text.data() != doc_.data() + start) internal_fault("text view does not match its offset");
    push(Py_BuildValue("(sNOk)", "text", bytes_of(text), decode ? Py_True : Py_False,
                       static_cast<unsigned long>(start)));
    pending_end_ = static_cast<long long>(start) + static_cast<long long>(text.size());
  }
  void extend_pending_text(Offset lt, Offset to) override {
    if (pending_end_ != static_cast<long long>(lt)) return;
    push(Py_BuildValue("(skk)", "stretch", static_cast<unsigned long>(lt),
                       static_cast<unsigned long>(to)));
    pending_end_ = to;
  }
  bool should_stop() override { return stop_after_ >= 0 && count_ >= stop_after_; }
  void document_replaced(Bytes doc) override {
    // The NUL-free copy equals the old buffer before the first NUL, which is
    // at or after the end of every event recorded so far.
    for (Py_ssize_t i = 0; i < PyList_Size(list_); ++i) {
      PyObject* ev = PyList_GetItem(list_, i);
      PyObject* kind = PyTuple_GetItem(ev, 0);
      if (PyUnicode_CompareWithASCIIString(kind, "text") != 0) continue;
      const Py_ssize_t start = PyLong_AsSsize_t(PyTuple_GetItem(ev, 3));
      Bytes was = Bytes(PyBytes_AsString(PyTuple_GetItem(ev, 1)),
                        static_cast<size_t>(PyBytes_Size(PyTuple_GetItem(ev, 1))));
      if (doc.substr(static_cast<size_t>(start), was.size()) != was)
        internal_fault("the NUL-free copy changed delivered text");
    }
    doc_ = doc;
  }
  bool failed() const { return failed_; }

 private:
  void fail() { failed_ = true; }
  void push(PyObject* item) {
    Ref r(item);
    if (!r || PyList_Append(list_, r.get()) < 0) return fail();
    ++count_;
  }
  PyObject* list_;
  Bytes doc_;
  long stop_after_;
  long count_ = 0;
  long long pending_end_ = -1;
  bool failed_ = false;
};

// Counts events without building objects, for throughput measurements.
class CountingSink final : public TokenSink {
 public:
  void start_tag(Bytes, TagId, std::span<const Attr> attrs, bool, Offset, Offset) override {
    ++events;
    attrs_seen += attrs.size();
  }
  void end_tag(Bytes, TagId, Offset, Offset) override { ++events; }
  void text(Bytes t, bool, Offset) override {
    ++events;
    text_bytes += t.size();
  }
  uint64_t events = 0, attrs_seen = 0, text_bytes = 0;
};

// The scan variant named by `name` (None: the one tokenize uses); raises
// ValueError for a name this build or CPU cannot run.
bool isa_arg(const char* name, ScanIsa& out) {
  out = default_isa();
  if (!name) return true;
  static constexpr const char* kNames[] = {"portable", "sse2", "avx2"};
  for (ScanIsa isa : available_isas())
    if (std::strcmp(kNames[static_cast<int>(isa)], name) == 0) {
      out = isa;
      return true;
    }
  PyErr_Format(PyExc_ValueError, "scan variant %s is not available here", name);
  return false;
}

// isas() -> names of the scan variants this build and CPU run, the default last.
PyObject* t_isas(PyObject*, PyObject*) {
  static constexpr const char* kNames[] = {"portable", "sse2", "avx2"};
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (ScanIsa isa : available_isas()) {
    Ref name(PyUnicode_FromString(kNames[static_cast<int>(isa)]));
    if (!name || PyList_Append(list.get(), name.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* t_tokenize(PyObject*, PyObject* args) {
  PyObject* doc_obj;
  long stop_after = -1;
  const char* isa_name = nullptr;
  if (!PyArg_ParseTuple(args, "O|lz", &doc_obj, &stop_after, &isa_name)) return nullptr;
  Bytes doc;
  ScanIsa isa;
  if (!get_bytes(doc_obj, doc) || !isa_arg(isa_name, isa)) return nullptr;
  Ref events(PyList_New(0));
  if (!events) return nullptr;
  RecordingSink sink(events.get(), doc, stop_after);
  TokenizerScratch scratch;
  Fault f = guarded([&] { tokenize_with(isa, doc, sink, scratch, stop_after >= 0); });
  if (f) return raise_fault(f);
  if (sink.failed()) return nullptr;
  return events.release();
}

PyObject* t_count_events(PyObject*, PyObject* args) {
  PyObject* doc_obj;
  const char* isa_name = nullptr;
  if (!PyArg_ParseTuple(args, "O|z", &doc_obj, &isa_name)) return nullptr;
  Bytes doc;
  ScanIsa isa;
  if (!get_bytes(doc_obj, doc) || !isa_arg(isa_name, isa)) return nullptr;
  CountingSink sink;
  Fault f;
  Py_BEGIN_ALLOW_THREADS
  TokenizerScratch scratch;
  f = guarded([&] { tokenize_with(isa, doc, sink, scratch, false); });
  Py_END_ALLOW_THREADS
  if (f) return raise_fault(f);
  return Py_BuildValue("(KKK)", static_cast<unsigned long long>(sink.events),
                       static_cast<unsigned long long>(sink.attrs_seen),
                       static_cast<unsigned long long>(sink.text_bytes));
}

// memchr over the whole buffer counting '<', the floor a tokenizer is
// measured against.
PyObject* t_count_lt(PyObject*, PyObject* arg) {
  Bytes doc;
  if (!get_bytes(arg, doc)) return nullptr;
  unsigned long long n = 0;
  Py_BEGIN_ALLOW_THREADS
  const char* p = doc.data();
  const char* end = p + doc.size();
  while (p < end) {
    const void* hit = memchr(p, '<', static_cast<size_t>(end - p));
    if (!hit) break;
    ++n;
    p = static_cast<const char*>(hit) + 1;
  }
  Py_END_ALLOW_THREADS
  return PyLong_FromUnsignedLongLong(n);
}

// normalize(doc, strip_bom, owned) -> (bytes, borrowed_offset or None): the
// bytes the scan reads, trimmed and without NUL (removed as the scan does it).
PyObject* t_normalize(PyObject*, PyObject* args) {
  PyObject* doc_obj;
  int strip_bom, owned;
  if (!PyArg_ParseTuple(args, "Opp", &doc_obj, &strip_bom, &owned)) return nullptr;
  Bytes doc;
  if (!get_bytes(doc_obj, doc)) return nullptr;
  // An owned input is trimmed as a copy of the caller's bytes.
  const std::string copy = owned ? std::string(doc) : std::string();
  TextValue out;
  Fault f = guarded([&] { out = without_nul(TextValue::view(trim_document(owned ? Bytes(copy) : doc, strip_bom != 0))); });
  if (f) return raise_fault(f);
  Bytes v = out.bytes();
  Ref offset(owned || out.is_owned() ? Py_NewRef(Py_None)
                                     : PyLong_FromSsize_t(static_cast<Py_ssize_t>(v.data() - doc.data())));
  if (!offset) return nullptr;
  return Py_BuildValue("(NO)", bytes_of(v), offset.get());
}

// prepare(doc, label or None) -> (prepared bytes, encoding name)
PyObject* t_prepare(PyObject*, PyObject* args) {
  PyObject* doc_obj;
  const char* label = nullptr;
  if (!PyArg_ParseTuple(args, "O|z", &doc_obj, &label)) return nullptr;
  Bytes doc;
  if (!get_bytes(doc_obj, doc)) return nullptr;
  PreparedDocument prepared;
  Fault size_fault;
  Fault f = guarded([&] {
    std::optional<Bytes> l;
    if (label) l = Bytes(label);
    size_fault = prepare_document(doc, l, prepared);
  });
  if (f) return raise_fault(f);
  if (size_fault) return raise_fault(size_fault);
  // As the scan reads it: without NUL.
  TextValue scanned = without_nul(TextValue::view(prepared.bytes));
  return Py_BuildValue("(Ns)", bytes_of(scanned.bytes()), whatwg::canonical_name(prepared.encoding));
}

PyObject* t_check_prepared_size(PyObject*, PyObject* arg) {
  unsigned long long n = PyLong_AsUnsignedLongLong(arg);
  if (PyErr_Occurred()) return nullptr;
  if (Fault f = check_prepared_size(n)) return raise_fault(f);
  Py_RETURN_NONE;
}

PyObject* t_meta_prescan(PyObject*, PyObject* arg) {
  Bytes doc;
  if (!get_bytes(arg, doc)) return nullptr;
  std::optional<Encoding> e;
  Fault f = guarded([&] { e = meta_prescan(doc); });
  if (f) return raise_fault(f);
  if (!e) Py_RETURN_NONE;
  return PyUnicode_FromString(whatwg::canonical_name(*e));
}

PyObject* t_meta_attrs(PyObject*, PyObject* args) {
  PyObject* doc_obj;
  Py_ssize_t start, end;
  if (!PyArg_ParseTuple(args, "Onn", &doc_obj, &start, &end)) return nullptr;
  Bytes doc;
  if (!get_bytes(doc_obj, doc)) return nullptr;
  if (start < 0 || end < 0 || static_cast<size_t>(start) > doc.size()) {
    PyErr_SetString(PyExc_ValueError, "start out of range");
    return nullptr;
  }
  MetaAttrs m = meta_attrs(doc, static_cast<size_t>(start), static_cast<size_t>(end));
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (const auto& [n, v] : m.attrs) {
    Ref pair(Py_BuildValue("(s#s#)", n.data(), static_cast<Py_ssize_t>(n.size()), v.data(),
                           static_cast<Py_ssize_t>(v.size())));
    if (!pair || PyList_Append(list.get(), pair.get()) < 0) return nullptr;
  }
  return Py_BuildValue("(On)", list.get(), static_cast<Py_ssize_t>(m.end));
}

PyObject* t_scan_comment(PyObject*, PyObject* args) {
  PyObject* doc_obj;
  Py_ssize_t lt;
  if (!PyArg_ParseTuple(args, "On", &doc_obj, &lt)) return nullptr;
  Bytes doc;
  if (!get_bytes(doc_obj, doc)) return nullptr;
  if (lt < 0 || static_cast<size_t>(lt) + 4 > doc.size() || doc.substr(lt, 4) != "<!--") {
    PyErr_SetString(PyExc_ValueError, "lt must point at \"<!--\"");
    return nullptr;
  }
  return PyLong_FromSsize_t(static_cast<Py_ssize_t>(scan_comment(doc, static_cast<size_t>(lt))));
}

PyObject* t_raw_kind(PyObject*, PyObject* arg) {
  Bytes name;
  if (!get_bytes(arg, name)) return nullptr;
  return PyLong_FromLong(static_cast<long>(raw_kind(tag_id(name))));
}

// decode(encoding label, bytes) -> str, decoding without BOM handling.
PyObject* t_decode(PyObject*, PyObject* args) {
  const char* label;
  PyObject* doc_obj;
  if (!PyArg_ParseTuple(args, "sO", &label, &doc_obj)) return nullptr;
  Bytes doc;
  if (!get_bytes(doc_obj, doc)) return nullptr;
  auto e = whatwg::for_label(label);
  if (!e) {
    PyErr_SetString(PyExc_LookupError, label);
    return nullptr;
  }
  std::string out;
  Fault f = guarded([&] { whatwg::decode_append(*e, doc, out); });
  if (f) return raise_fault(f);
  return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyObject* t_trim(PyObject*, PyObject* arg) {
  std::string s;
  if (!convert_str(arg, s)) return nullptr;
  Bytes t = trim_unicode_whitespace(s);
  return str_from(t);
}

// budget(flat, groups) -> (members, sib_bits), without the limit check.
PyObject* t_budget(PyObject*, PyObject* args) {
  PyObject *flat_obj, *groups_obj;
  if (!PyArg_ParseTuple(args, "OO", &flat_obj, &groups_obj)) return nullptr;
  std::vector<std::string> flat;
  std::vector<GroupQuery> groups;
  if (!convert_str_list(flat_obj, flat) || !convert_groups(groups_obj, groups)) return nullptr;
  BudgetUsage u;
  if (Fault f = budget_usage_guarded(flat, groups, u)) return raise_fault(f);
  return Py_BuildValue("(kk)", static_cast<unsigned long>(u.members),
                       static_cast<unsigned long>(u.sib_bits));
}

// route(query) -> "xpath" or "css"; route_sub(field) -> (via, text, anchor)
PyObject* t_route(PyObject*, PyObject* arg) {
  std::string q;
  if (!convert_str(arg, q)) return nullptr;
  return PyUnicode_FromString(routes_to_xpath(trim_unicode_whitespace(q)) ? "xpath" : "css");
}

PyObject* t_route_sub(PyObject*, PyObject* arg) {
  std::string q;
  if (!convert_str(arg, q)) return nullptr;
  SubRoute r = route_sub(q);
  Ref anchor(r.anchor ? PyLong_FromUnsignedLong(*r.anchor) : Py_NewRef(Py_None));
  if (!anchor) return nullptr;
  return Py_BuildValue("(sNO)", r.via == SubRoute::Via::kXPath ? "xpath" : "compile_one",
                       str_from(r.query), anchor.get());
}

PyObject* text_result(const TextValue& v) {
  return Py_BuildValue("(NO)", str_from(v.bytes()), v.is_owned() ? Py_False : Py_True);
}

std::optional<whatwg::Encoding> encoding_arg(const char* label) {
  auto e = whatwg::for_label(label);
  if (!e) PyErr_SetString(PyExc_LookupError, label);
  return e;
}

// entities(bytes, in_attribute) -> (str, borrowed)
PyObject* t_entities(PyObject*, PyObject* args) {
  PyObject* obj;
  int in_attr;
  if (!PyArg_ParseTuple(args, "Op", &obj, &in_attr)) return nullptr;
  Bytes b;
  if (!get_bytes(obj, b)) return nullptr;
  TextValue v = entities::decode(b, in_attr != 0);
  return text_result(v);
}

// value(kind, bytes, label) with kind "text", "raw", "attr", "bytes", "crlf"
PyObject* t_value(PyObject*, PyObject* args) {
  const char *kind, *label;
  PyObject* obj;
  if (!PyArg_ParseTuple(args, "sOs", &kind, &obj, &label)) return nullptr;
  Bytes b;
  if (!get_bytes(obj, b)) return nullptr;
  auto e = encoding_arg(label);
  if (!e) return nullptr;
  TextValue v;
  Fault f = guarded([&] {
    Bytes k(kind);
    if (k == "text") v = finalize(b, true, *e);
    else if (k == "raw") v = finalize(b, false, *e);
    else if (k == "attr") v = decode_attr(b, *e);
    else if (k == "bytes") v = decode_bytes(b, *e);
    else if (k == "crlf") v = normalize_crlf(TextValue::view(b));
    else internal_fault("unknown value kind");
  });
  if (f) return raise_fault(f);
  return text_result(v);
}

PyObject* t_normalize_space(PyObject*, PyObject* arg) {
  std::string s;
  if (!convert_str(arg, s)) return nullptr;
  return str_from(normalize_space(s));
}

PyObject* t_raw_source(PyObject*, PyObject* args) {
  PyObject* obj;
  const char* label;
  unsigned long start, end;
  if (!PyArg_ParseTuple(args, "Oskk", &obj, &label, &start, &end)) return nullptr;
  Bytes b;
  if (!get_bytes(obj, b)) return nullptr;
  auto e = encoding_arg(label);
  if (!e) return nullptr;
  Bytes out;
  ValueArena arena;
  Fault f = guarded([&] {
    EncodedInput in{b, *e};
    out = in.raw_source(static_cast<Offset>(start), static_cast<Offset>(end), arena);
  });
  if (f) return raise_fault(f);
  return str_from(out);
}

// named(name) -> replacement or None; legacy(name) likewise.
PyObject* t_named(PyObject*, PyObject* args) {
  const char* name;
  int legacy;
  if (!PyArg_ParseTuple(args, "sp", &name, &legacy)) return nullptr;
  auto r = legacy ? entities::lookup_legacy(name) : entities::lookup_named(name);
  if (!r) Py_RETURN_NONE;
  return str_from(*r);
}

// time_pass(kind, label, data, repeat) -> best seconds of one pass, measured
// with the interpreter lock released. kind: "memchr", "validate", "decode",
// "entities".
PyObject* t_time_pass(PyObject*, PyObject* args) {
  const char *kind, *label;
  PyObject* obj;
  int repeat;
  if (!PyArg_ParseTuple(args, "ssOi", &kind, &label, &obj, &repeat)) return nullptr;
  Bytes b;
  if (!get_bytes(obj, b)) return nullptr;
  auto e = encoding_arg(label);
  if (!e) return nullptr;
  const Bytes k(kind);
  double best = 1e30;
  size_t sink = 0;
  Py_BEGIN_ALLOW_THREADS
  std::string out;
  for (int r = 0; r < repeat; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    if (k == "memchr") {
      const char* p = b.data();
      const char* end = p + b.size();
      while (const void* hit = std::memchr(p, '<', static_cast<size_t>(end - p))) {
        ++sink;
        p = static_cast<const char*>(hit) + 1;
      }
    } else if (k == "validate") {
      sink += whatwg::utf8_is_valid(b);
    } else if (k == "decode") {
      out.clear();
      whatwg::decode_append(*e, b, out);
      sink += out.size();
    } else {
      sink += entities::decode(b, false).bytes().size();
    }
    std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    best = std::min(best, dt.count());
  }
  Py_END_ALLOW_THREADS
  return Py_BuildValue("(dk)", best, static_cast<unsigned long>(sink & 0xFFFF));
}

PyObject* dump_list(const std::vector<Selector>& list, bool css) {
  Ref out(PyList_New(0));
  if (!out) return nullptr;
  for (const Selector& sel : list) {
    // Every selector a front end returns must satisfy the model's invariants;
    // a violation surfaces as the internal-fault exception.
    std::optional<std::string> v = model_violation(sel);
    // Only paths from the context element carry an anchor: the context itself
    // (0) or its children (1), never with the `relative` flag.
    if (!v && css && sel.anchor) v = "anchor set by the CSS parser";
    if (!v && sel.anchor && (*sel.anchor > 1 || sel.relative)) v = "anchor beside the relative flag";
    if (v) {
      Fault f{FaultKind::kInternal, "larkspine: internal fault: model invariant: " + *v};
      return raise_fault(f);
    }
    Ref d(str_from(dump(sel)));
    if (!d || PyList_Append(out.get(), d.get()) < 0) return nullptr;
  }
  return out.release();
}

// Dumps of what a query compiles to. which: "query" (the router), "css"
// (parse_list), "xpath" (compile_members_depth), "one" (compile_one),
// "sub" (compile_sub).
PyObject* t_compile(PyObject*, PyObject* args) {
  const char* which;
  PyObject* obj;
  if (!PyArg_ParseTuple(args, "sO", &which, &obj)) return nullptr;
  std::string q;
  if (!convert_str(obj, q)) return nullptr;
  std::vector<Selector> list;
  Fault f = guarded([&] {
    Bytes w(which);
    if (w == "query") {
      list = compile_query(q);
    } else if (w == "css") {
      list = parse_list(q);
    } else if (w == "xpath") {
      list = compile_members_depth(q, 0);
    } else {
      std::optional<Selector> one = w == "one" ? compile_one(q) : compile_sub(q);
      if (one) list.push_back(std::move(*one));
    }
  });
  if (f) return raise_fault(f);
  return dump_list(list, Bytes(which) == "css");
}

// css_piece(kind, text): "split" -> list, "unescape" -> str or None,
// "trim" -> str, "ident" -> bool, "anpb" -> (a, b) or None,
// "xsplit_or" -> list (split_top on " or ")
PyObject* t_css_piece(PyObject*, PyObject* args) {
  const char* kind;
  PyObject* obj;
  if (!PyArg_ParseTuple(args, "sO", &kind, &obj)) return nullptr;
  std::string text;
  if (!convert_str(obj, text)) return nullptr;
  Bytes k(kind);
  auto pieces = [](const std::vector<std::string_view>& v) -> PyObject* {
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    for (std::string_view p : v) {
      Ref s(str_from(p));
      if (!s || PyList_Append(out.get(), s.get()) < 0) return nullptr;
    }
    return out.release();
  };
  if (k == "split") return pieces(split_top_commas(text));
  if (k == "xsplit_or") return pieces(split_top(text, " or "));
  if (k == "trim") return str_from(trim_css(text));
  if (k == "ident") return PyBool_FromLong(is_css_ident(text));
  if (k == "unescape" || k == "unescape_string") {
    auto u = unescape_css(text, k == "unescape_string");
    if (!u) Py_RETURN_NONE;
    return str_from(*u);
  }
  if (k == "anpb") {
    auto ab = parse_anpb(text);
    if (!ab) Py_RETURN_NONE;
    return Py_BuildValue("(ii)", ab->first, ab->second);
  }
  PyErr_SetString(PyExc_ValueError, kind);
  return nullptr;
}

// time_compile(queries, repeat) -> best seconds to compile them all once.
PyObject* t_time_compile(PyObject*, PyObject* args) {
  PyObject* obj;
  int repeat;
  if (!PyArg_ParseTuple(args, "Oi", &obj, &repeat)) return nullptr;
  std::vector<std::string> queries;
  if (!convert_str_list(obj, queries)) return nullptr;
  double best = 1e30;
  size_t selectors = 0;
  Py_BEGIN_ALLOW_THREADS
  for (int r = 0; r < repeat; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    selectors = 0;
    for (const std::string& q : queries) selectors += compile_query(q).size();
    std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    best = std::min(best, dt.count());
  }
  Py_END_ALLOW_THREADS
  return Py_BuildValue("(dn)", best, static_cast<Py_ssize_t>(selectors));
}

PyObject* t_reason(PyObject*, PyObject* arg) {
  std::string q;
  if (!convert_str(arg, q)) return nullptr;
  std::string r;
  Fault f = guarded([&] { r = reason(q); });
  if (f) return raise_fault(f);
  return str_from(r);
}

// schema_dump(flat, groups) -> the compiled schema's debug dump.
PyObject* t_schema_dump(PyObject*, PyObject* args) {
  PyObject *flat_obj, *groups_obj;
  if (!PyArg_ParseTuple(args, "OO", &flat_obj, &groups_obj)) return nullptr;
  std::vector<std::string> flat;
  std::vector<GroupQuery> groups;
  if (!convert_str_list(flat_obj, flat) || !convert_groups(groups_obj, groups)) return nullptr;
  std::string out;
  Fault f = guarded([&] { out = dump(CompiledSchema::compile(compile_schema(flat, groups))); });
  if (f) return raise_fault(f);
  return str_from(out);
}

// plan_scan(doc, flat, first_only) -> (flat columns, bytes scanned)
PyObject* t_plan_scan(PyObject*, PyObject* args) {
  PyObject *doc_obj, *flat_obj, *flags_obj;
  if (!PyArg_ParseTuple(args, "OOO", &doc_obj, &flat_obj, &flags_obj)) return nullptr;
  Bytes doc;
  std::vector<std::string> flat;
  std::vector<bool> flags;
  if (!get_bytes(doc_obj, doc) || !convert_str_list(flat_obj, flat) || !convert_first_only(flags_obj, flags))
    return nullptr;
  Plan plan;
  if (Fault f = compile_first_only(flat, {}, flags, plan)) return raise_fault(f);
  ExtractResult result;
  if (Fault f = plan.extract(doc, std::nullopt, result)) return raise_fault(f);
  return Py_BuildValue("(Nn)", build_flat(result.flat), static_cast<Py_ssize_t>(result.scanned));
}

// held_split(pages, flat) -> (scan, build, teardown, free, values): seconds
// spent over the pages in each phase of Plan.extract. The scan runs with the
// interpreter lock released; the other three are the share a call holds it
// for: building the Python result, destroying the core result, and freeing
// the Python result (as a caller dropping it would). Times are this thread's
// CPU time, so that preemption by other work on a busy machine is not counted.
PyObject* t_held_split(PyObject*, PyObject* args) {
  PyObject *pages_obj, *flat_obj;
  if (!PyArg_ParseTuple(args, "OO", &pages_obj, &flat_obj)) return nullptr;
  std::vector<std::string> flat;
  if (!convert_str_list(flat_obj, flat)) return nullptr;
  std::vector<Bytes> pages;
  const Py_ssize_t count = PyList_Size(pages_obj);  // a list of bytes
  if (count < 0) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Bytes b;
    if (!get_bytes(PyList_GetItem(pages_obj, i), b)) return nullptr;
    pages.push_back(b);
  }
  Plan plan;
  if (Fault f = compile_first_only(flat, {}, {}, plan)) return raise_fault(f);
  struct ThreadClock {  // CLOCK_THREAD_CPUTIME_ID, in nanoseconds
    static int64_t now() {
      timespec ts;
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
      return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
    }
  };
  int64_t scan = 0, build = 0, teardown = 0, free_time = 0;
  unsigned long long values = 0;
  for (Bytes page : pages) {
    auto result = std::make_unique<ExtractResult>();
    const int64_t t0 = ThreadClock::now();
    Fault f;
    Py_BEGIN_ALLOW_THREADS
    f = plan.extract(page, std::nullopt, *result);
    Py_END_ALLOW_THREADS
    if (f) return raise_fault(f);
    const int64_t t1 = ThreadClock::now();
    Ref built(build_flat(result->flat));
    if (!built) return nullptr;
    const int64_t t2 = ThreadClock::now();
    for (const Column& c : result->flat) values += c.size();
    const int64_t t2b = ThreadClock::now();
    result.reset();
    const int64_t t3 = ThreadClock::now();
    built = Ref();
    const int64_t t4 = ThreadClock::now();
    scan += t1 - t0;
    build += t2 - t1;
    teardown += t3 - t2b;
    free_time += t4 - t3;
  }
  auto sec = [](int64_t ns) { return static_cast<double>(ns) * 1e-9; };
  return Py_BuildValue("(ddddK)", sec(scan), sec(build), sec(teardown), sec(free_time), values);
}

// fuzz_check(target, data) -> None, or what the target's oracle found.
// The checks run outside the lock, as the fuzz targets run them.
PyObject* t_fuzz_check(PyObject*, PyObject* args) {
  const char* target;
  PyObject* data_obj;
  if (!PyArg_ParseTuple(args, "sO", &target, &data_obj)) return nullptr;
  Bytes data;
  if (!get_bytes(data_obj, data)) return nullptr;
  const std::string_view t = target;
  auto check = t == "extract" ? &fuzz::check_extract
               : t == "decode" ? &fuzz::check_decode
               : t == "query"  ? &fuzz::check_query
               : t == "reader" ? &fuzz::check_reader
                               : nullptr;
  if (!check) {
    PyErr_SetString(PyExc_ValueError, target);
    return nullptr;
  }
  std::optional<std::string> failure;
  Fault f;
  Py_BEGIN_ALLOW_THREADS
  f = guarded([&] { failure = check(data); });
  Py_END_ALLOW_THREADS
  if (f) return raise_fault(f);
  if (!failure) Py_RETURN_NONE;
  return str_from(*failure);
}

// Runs a core call whose invariant check fails, to observe how a fault
// surfaces at the interpreter boundary.
PyObject* t_internal_fault(PyObject*, PyObject*) {
  Fault f = guarded([] { LS_CHECK(1 + 1 == 3); });
  return raise_fault(f);
}

PyMethodDef kMethods[] = {
    {"tokenize", t_tokenize, METH_VARARGS, "tokenize(doc, stop_after=-1, isa=None) -> list of events"},
    {"count_events", t_count_events, METH_VARARGS, "count_events(doc, isa=None) -> (events, attrs, text bytes)"},
    {"isas", t_isas, METH_NOARGS, "isas() -> scan variants available here, the default last"},
    {"count_lt", t_count_lt, METH_O, "count_lt(doc) -> number of '<' found by memchr"},
    {"normalize", t_normalize, METH_VARARGS, "normalize(doc, strip_bom, owned) -> (bytes, offset|None)"},
    {"prepare", t_prepare, METH_VARARGS, "prepare(doc, label=None) -> (bytes, encoding)"},
    {"check_prepared_size", t_check_prepared_size, METH_O, "raises for a size over the limit"},
    {"meta_prescan", t_meta_prescan, METH_O, "meta_prescan(doc) -> name or None"},
    {"meta_attrs", t_meta_attrs, METH_VARARGS, "meta_attrs(doc, start, end) -> (attrs, end)"},
    {"scan_comment", t_scan_comment, METH_VARARGS, "scan_comment(doc, lt) -> end"},
    {"raw_kind", t_raw_kind, METH_O, "raw_kind(name) -> 0..3"},
    {"decode", t_decode, METH_VARARGS, "decode(label, bytes) -> str"},
    {"trim", t_trim, METH_O, "trim(str) -> str without White_Space at either end"},
    {"budget", t_budget, METH_VARARGS, "budget(flat, groups) -> (members, sib_bits)"},
    {"entities", t_entities, METH_VARARGS, "entities(bytes, in_attribute) -> (str, borrowed)"},
    {"value", t_value, METH_VARARGS, "value(kind, bytes, label) -> (str, borrowed)"},
    {"normalize_space", t_normalize_space, METH_O, "normalize_space(str) -> str"},
    {"raw_source", t_raw_source, METH_VARARGS, "raw_source(bytes, label, start, end) -> str"},
    {"named", t_named, METH_VARARGS, "named(name, legacy) -> replacement or None"},
    {"time_pass", t_time_pass, METH_VARARGS, "time_pass(kind, label, data, repeat)"},
    {"compile", t_compile, METH_VARARGS, "compile(which, query) -> list of model dumps"},
    {"time_compile", t_time_compile, METH_VARARGS, "time_compile(queries, repeat)"},
    {"css_piece", t_css_piece, METH_VARARGS, "css_piece(kind, text)"},
    {"plan_scan", t_plan_scan, METH_VARARGS, "plan_scan(doc, flat, first_only) -> (columns, scanned)"},
    {"reason", t_reason, METH_O, "reason(query) -> the diagnostic message"},
    {"schema_dump", t_schema_dump, METH_VARARGS, "schema_dump(flat, groups) -> compiled schema dump"},
    {"route", t_route, METH_O, "route(query) -> 'xpath' or 'css'"},
    {"route_sub", t_route_sub, METH_O, "route_sub(field) -> (via, query, anchor)"},
    {"held_split", t_held_split, METH_VARARGS, "held_split(pages, flat) -> seconds per phase, values"},
    {"read_archive", t_read_archive, METH_VARARGS,
     "read_archive(data, max_page_size, only_2xx, read_size, bodies, hints) -> (kind, items, counts, consumed)\n"
     "bodies: 1 as read, 0 dropped, 2 each replaced by its buffer's capacity (as text); hints: None,\n"
     "True (the data's own size and last four bytes), or (remaining, last_word) as a lying source says"},
    {"archive_part_starts", t_archive_part_starts, METH_VARARGS,
     "archive_part_starts(path, parts) -> [start or None]: where each part of the file would start"},
    {"archive_run_simulated", t_archive_run_simulated, METH_VARARGS,
     "archive_run_simulated(path, query, marker, batch_pages) -> [(values, failures)]"},
    {"fuzz_check", t_fuzz_check, METH_VARARGS, "fuzz_check(target, data) -> None or the failed oracle"},
    {"internal_fault", t_internal_fault, METH_NOARGS, "raises the internal-fault exception"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_larkspine_testing", "Test-only views of the Larkspine core.", 0,
    kMethods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace ls::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__larkspine_testing(void) {
  return PyModuleDef_Init(&ls::py::kModule);
}
